#include "append_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "app/main_frm.h"
#include "host/event_wait.h"
#include "host/text_util.h"

namespace {

constexpr size_t kBlockSize = 32767;

// An open file that closes itself; its lock goes with the open file description.
class TOpenFile {
 public:
  TOpenFile() = default;
  ~TOpenFile() {
    if (Fd >= 0) ::close(Fd);
  }
  TOpenFile(const TOpenFile&) = delete;
  TOpenFile& operator=(const TOpenFile&) = delete;
  int Fd = -1;
};

// Exclusive access for the whole copy: an open-file-description lock, which conflicts with
// every other program's fcntl lock on the file and is released when the file is closed.
bool LockWhole(int fd, short type) {
  struct flock fl {};
  fl.l_type = type;
  fl.l_whence = SEEK_SET;
  fl.l_start = 0;
  fl.l_len = 0;
  return ::fcntl(fd, F_OFD_SETLK, &fl) == 0;
}

// The source is opened for writing too when we may, so that its lock is exclusive; a
// read-only source still gets a shared lock, which keeps writers out.
bool OpenSource(const std::string& path, TOpenFile& f) {
  f.Fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOCTTY);
  short lock = F_WRLCK;
  if (f.Fd < 0 && (errno == EACCES || errno == EROFS || errno == ETXTBSY)) {
    f.Fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
    lock = F_RDLCK;
  }
  if (f.Fd < 0) return false;
  struct stat st {};
  if (::fstat(f.Fd, &st) != 0 || !S_ISREG(st.st_mode)) return false;
  return LockWhole(f.Fd, lock);
}

bool WriteAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    ssize_t n = ::write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

bool NamesSameFile(const std::string& a, const std::string& b) {
  using quodra::host::TrimRight;
  using quodra::host::UpperCase;
  if (UpperCase(TrimRight(a)) == UpperCase(TrimRight(b))) return true;
  struct stat sa {}, sb {};
  return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
         sa.st_ino == sb.st_ino;
}

uint16_t AppendFile(TMainFrm& frm, const std::string& source, const std::string& dest) {
  if (NamesSameFile(source, dest)) return kAppendSameFile;

  std::vector<char> buffer(kBlockSize);
  TOpenFile src;
  if (!OpenSource(source, src)) return kAppendCannotOpen;
  struct stat st {};
  if (::fstat(src.Fd, &st) == 0 && st.st_size == 0) return kAppendOk;

  // Created empty when missing; O_EXCL never replaces a file that appears meanwhile.
  if (::access(dest.c_str(), F_OK) != 0) {
    int fd = ::open(dest.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0) ::close(fd);
  }
  quodra::host::ProcessPendingEvents();

  TOpenFile dst;
  dst.Fd = ::open(dest.c_str(), O_RDWR | O_CLOEXEC | O_NOCTTY);
  if (dst.Fd < 0 || !LockWhole(dst.Fd, F_WRLCK)) return kAppendCannotOpen;
  quodra::host::ProcessPendingEvents();
  if (::lseek(dst.Fd, 0, SEEK_END) < 0) return kAppendSeekFailed;

  uint64_t total = 0;
  for (;;) {
    ssize_t n = ::read(src.Fd, buffer.data(), buffer.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return kAppendReadFailed;
    total += static_cast<uint64_t>(n);
    frm.Log("Appending..." + std::to_string(total) + " bytes");
    frm.SetByteCounter(std::to_string(total) + " bytes");
    quodra::host::ProcessPendingEvents();
    if (n > 0 && !WriteAll(dst.Fd, buffer.data(), static_cast<size_t>(n))) return kAppendWriteFailed;
    if (n == 0 || frm.AbortRequested) break;
  }
  // A copy only counts once its bytes are on the disk.
  if (::fsync(dst.Fd) != 0 && errno != EINVAL && errno != EROFS) return kAppendWriteFailed;
  return kAppendOk;
}
