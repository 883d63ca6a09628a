#include "dg_stream.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace quodra::tftp {
namespace {

void WriteAll(int fd, const char* data, size_t count) {
  while (count > 0) {
    ssize_t n = ::write(fd, data, count);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw EWriteError(n < 0 ? errno : ENOSPC);
    data += n;
    count -= static_cast<size_t>(n);
  }
}

// Write-back is started every few megabytes, so that the sync at the end finds little left
// and the disk works while the blocks still arrive.
constexpr uint64_t kWriteBehind = 8u * 1024 * 1024;

void WriteBehind(int fd, size_t count, uint64_t& unsynced) {
  unsynced += count;
  if (unsynced < kWriteBehind) return;
  unsynced = 0;
  ::sync_file_range(fd, 0, 0, SYNC_FILE_RANGE_WRITE);  // a device or pipe: nothing to start
}

void SyncFd(int fd) {
  if (::fsync(fd) != 0 && errno != EINVAL && errno != EROFS) throw EWriteError(errno);  // EINVAL: a device
}

}  // namespace

TDgFileStream::TDgFileStream(const std::string& fileName) {
  if (fileName.find('\0') == std::string::npos)
    Fd = ::open(fileName.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (Fd < 0) throw EFCreateError(fileName);
}

TDgFileStream::~TDgFileStream() {
  if (Fd >= 0) ::close(Fd);
}

void TDgFileStream::WriteBuffer(const char* data, size_t count) {
  WriteAll(Fd, data, count);
  WriteBehind(Fd, count, Unsynced);
}

void TDgFileStream::Flush() { SyncFd(Fd); }

void TDgFileStream::Close() {
  const int fd = Fd;
  Fd = -1;
  if (fd >= 0 && ::close(fd) != 0 && errno != EINTR) throw EWriteError(errno);
}

void TDgFdStream::WriteBuffer(const char* data, size_t count) {
  WriteAll(Fd, data, count);
  WriteBehind(Fd, count, Unsynced);
}

void TDgFdStream::Flush() { SyncFd(Fd); }

}  // namespace quodra::tftp
