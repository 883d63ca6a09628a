#pragma once
// Destinations of a download: a local file, or bytes in memory.
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
  EWriteError() : EStreamError("Stream write error") {}
};

class TDgStream {
 public:
  virtual ~TDgStream() = default;
  // Writes all bytes at the current position or raises (EWriteError).
  virtual void WriteBuffer(const char* data, size_t count) = 0;
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

 private:
  int Fd = -1;
};

class TDgMemoryStream : public TDgStream {
 public:
  void WriteBuffer(const char* data, size_t count) override { Bytes.append(data, count); }
  std::string Bytes;
};

}  // namespace quodra::tftp
