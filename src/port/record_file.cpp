#include "port/record_file.h"

#include <cerrno>

#include "port/qp_error_codes.h"

namespace quodra::port {

int FileErrorFromErrno(int err, bool writing) {
  switch (err) {
    case ENOENT: case ENOTDIR: case ENAMETOOLONG: return ecPathNotFound;
    case EMFILE: case ENFILE: return ecTooManyFiles;
    case EACCES: case EPERM: case EROFS: case EISDIR: case ETXTBSY: return ecAccessDenied;
    case ENOMEM: return ecOutOfMemory;
    default: return writing ? ecDiskFull : ecAccessDenied;
  }
}

TRecordFile::~TRecordFile() { Close(); }

int TRecordFile::Open(const std::string& fileName, bool append) {
  Close();
  Error = 0;
  File = std::fopen(fileName.c_str(), append ? "ab" : "wb");
  if (!File) return FileErrorFromErrno(errno, false);
  return 0;
}

void TRecordFile::Write(const std::string& text) {
  if (!File || Error || text.empty()) return;
  if (std::fwrite(text.data(), 1, text.size(), File) != text.size()) Error = FileErrorFromErrno(errno, true);
}

int TRecordFile::Close() {
  if (!File) return Error;
  if (std::fflush(File) != 0 && !Error) Error = FileErrorFromErrno(errno, true);
  if (std::fclose(File) != 0 && !Error) Error = FileErrorFromErrno(errno, true);
  File = nullptr;
  return Error;
}

}  // namespace quodra::port
