#pragma once
// The text file a trace or dispatch log is written to: created (replacing an old one) or
// opened for appending. Failures are answered as negated file error codes (-3 path not found,
// -4 too many open files, -5 access denied, -101 disk write error).
#include <cstdio>
#include <string>

namespace quodra::port {

class TRecordFile {
 public:
  TRecordFile() = default;
  ~TRecordFile();
  TRecordFile(const TRecordFile&) = delete;
  TRecordFile& operator=(const TRecordFile&) = delete;

  // 0 or a negated file error.
  int Open(const std::string& fileName, bool append);
  void Write(const std::string& text);
  // Flushes and closes; 0 or a negated file error (a full disk shows here at the latest).
  int Close();

 private:
  FILE* File = nullptr;
  int Error = 0;
};

int FileErrorFromErrno(int err, bool writing);

}  // namespace quodra::port
