#pragma once
// Destinations of a download: a local file, or bytes in memory.
#include <cstdint>
#include <stdexcept>
#include <string>

namespace quodra::tftp {

class EStreamError : public std::runtime_error {
 public:
  explicit EStreamError(const std::string& message) : std::runtime_error(message) {}
};
class EFCreateError : public EStreamError {
 public:
  explicit EFCreateError(const std::string& fileName) : EStreamError("Cannot create file " + fileName) {}
};
class EWriteError : public EStreamError {
 public:
  explicit EWriteError(int error = 0) : EStreamError("Stream write error"), Errno(error) {}
  int Errno;  // the system's reason, 0 when unknown
};

class TDgStream {
 public:
  virtual ~TDgStream() = default;
  // Writes all bytes at the current position or raises (EWriteError).
  virtual void WriteBuffer(const char* data, size_t count) = 0;
  // Called before the last block is acknowledged: what was written must be on disk then.
  virtual void Flush() {}
};

// Writes through a descriptor the caller owns (an all-or-nothing local file). Blocks are
// gathered and written some tens of kilobytes at a time: a write per 512-byte block would
// sit between every block and its acknowledgement. What is gathered is written before
// Flush returns, so the last acknowledgement still follows the whole file on disk.
class TDgFdStream : public TDgStream {
 public:
  explicit TDgFdStream(int fd);
  void WriteBuffer(const char* data, size_t count) override;  // EWriteError
  void Flush() override;                                      // writes and syncs; EWriteError

 protected:
  void WritePending();  // EWriteError
  int Fd;

 private:
  static constexpr size_t kGatherBytes = 64 * 1024;
  void WriteToFile(const char* data, size_t count);
  std::string Pending;
  uint64_t Unsynced = 0;  // bytes written since write-back was last started
};

// A file created (or emptied) when the stream is made, closed when it is destroyed.
// A failed download leaves what was received.
class TDgFileStream : public TDgFdStream {
 public:
  explicit TDgFileStream(const std::string& fileName);  // EFCreateError
  ~TDgFileStream() override;
  TDgFileStream(const TDgFileStream&) = delete;
  TDgFileStream& operator=(const TDgFileStream&) = delete;

  void Close();  // EWriteError when the system reports a failure on close
};

class TDgMemoryStream : public TDgStream {
 public:
  void WriteBuffer(const char* data, size_t count) override { Bytes.append(data, count); }
  std::string Bytes;
};

}  // namespace quodra::tftp
