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

// A file created (or emptied) when the stream is made, closed when it is destroyed.
// Every block goes straight to the file, so a failed download leaves what was written.
class TDgFileStream : public TDgStream {
 public:
  explicit TDgFileStream(const std::string& fileName);  // EFCreateError
  ~TDgFileStream() override;
  TDgFileStream(const TDgFileStream&) = delete;
  TDgFileStream& operator=(const TDgFileStream&) = delete;

  void WriteBuffer(const char* data, size_t count) override;
  void Flush() override;  // fsync; EWriteError
  void Close();           // EWriteError when the system reports a failure on close

 private:
  int Fd = -1;
  uint64_t Unsynced = 0;  // bytes written since write-back was last started
};

// Writes through a descriptor the caller owns (an all-or-nothing local file).
class TDgFdStream : public TDgStream {
 public:
  explicit TDgFdStream(int fd) : Fd(fd) {}
  void WriteBuffer(const char* data, size_t count) override;
  void Flush() override;

 private:
  int Fd;
  uint64_t Unsynced = 0;
};

class TDgMemoryStream : public TDgStream {
 public:
  void WriteBuffer(const char* data, size_t count) override { Bytes.append(data, count); }
  std::string Bytes;
};

}  // namespace quodra::tftp
