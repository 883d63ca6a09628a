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

}  // namespace

TDgFdStream::TDgFdStream(int fd) : Fd(fd) { Pending.reserve(kGatherBytes); }

void TDgFdStream::WriteBuffer(const char* data, size_t count) {
  if (Pending.size() + count > kGatherBytes) WritePending();
  if (count >= kGatherBytes) {
    WriteToFile(data, count);
    return;
  }
  Pending.append(data, count);
}

void TDgFdStream::Flush() {
  WritePending();
  if (::fsync(Fd) != 0 && errno != EINVAL && errno != EROFS) throw EWriteError(errno);  // EINVAL: a device
}

void TDgFdStream::WritePending() {
  if (Pending.empty()) return;
  // Let go of either way: a failed write is reported once, not again by the next call.
  try {
    WriteToFile(Pending.data(), Pending.size());
  } catch (const EWriteError&) {
    Pending.clear();
    throw;
  }
  Pending.clear();
}

void TDgFdStream::WriteToFile(const char* data, size_t count) {
  WriteAll(Fd, data, count);
  Unsynced += count;
  if (Unsynced < kWriteBehind) return;
  Unsynced = 0;
  ::sync_file_range(Fd, 0, 0, SYNC_FILE_RANGE_WRITE);  // a device or pipe: nothing to start
}

TDgFileStream::TDgFileStream(const std::string& fileName) : TDgFdStream(-1) {
  if (fileName.find('\0') == std::string::npos)
    Fd = ::open(fileName.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (Fd < 0) throw EFCreateError(fileName);
}

TDgFileStream::~TDgFileStream() {
  if (Fd < 0) return;
  // A failed download leaves what arrived; a failure here has been or will be reported.
  try {
    WritePending();
  } catch (const EWriteError&) {
  }
  ::close(Fd);
}

void TDgFileStream::Close() {
  WritePending();
  const int fd = Fd;
  Fd = -1;
  if (fd >= 0 && ::close(fd) != 0 && errno != EINTR) throw EWriteError(errno);
}

}  // namespace quodra::tftp
