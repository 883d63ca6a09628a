#include "dg_stream.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace quodra::tftp {

TDgFileStream::TDgFileStream(const std::string& fileName) {
  if (fileName.find('\0') == std::string::npos)
    Fd = ::open(fileName.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (Fd < 0) throw EFCreateError(fileName);
}

TDgFileStream::~TDgFileStream() {
  if (Fd >= 0) ::close(Fd);
}

void TDgFileStream::WriteBuffer(const char* data, size_t count) {
  while (count > 0) {
    ssize_t n = ::write(Fd, data, count);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw EWriteError();
    data += n;
    count -= static_cast<size_t>(n);
  }
}

}  // namespace quodra::tftp
