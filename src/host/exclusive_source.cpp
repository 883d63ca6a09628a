#include "host/exclusive_source.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace quodra::host {
namespace {

bool IsNumber(const char* s) {
  if (!*s) return false;
  for (; *s; ++s)
    if (*s < '0' || *s > '9') return false;
  return true;
}

// The access mode of an open file, from the "flags:" line of its fdinfo (octal).
bool FdInfoOpenForWriting(const std::string& fdinfoPath) {
  FILE* f = std::fopen(fdinfoPath.c_str(), "re");
  if (!f) return false;
  bool writing = false;
  char line[256];
  while (std::fgets(line, sizeof line, f)) {
    if (std::strncmp(line, "flags:", 6) != 0) continue;
    long flags = std::strtol(line + 6, nullptr, 8);
    writing = (flags & O_ACCMODE) != O_RDONLY;
    break;
  }
  std::fclose(f);
  return writing;
}

bool ProcessWrites(const std::string& pidFolder, dev_t device, ino_t inode) {
  std::string fdFolder = pidFolder + "/fd";
  DIR* fds = ::opendir(fdFolder.c_str());
  if (!fds) return false;
  bool writes = false;
  while (!writes) {
    dirent* e = ::readdir(fds);
    if (!e) break;
    if (!IsNumber(e->d_name)) continue;
    struct stat st {};
    if (::stat((fdFolder + "/" + e->d_name).c_str(), &st) != 0) continue;
    if (st.st_dev != device || st.st_ino != inode) continue;
    writes = FdInfoOpenForWriting(pidFolder + "/fdinfo/" + e->d_name);
  }
  ::closedir(fds);
  return writes;
}

bool SameTimes(const timespec& a, const timespec& b) { return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec; }

}  // namespace

bool ProcessesHoldOpenForWriting(dev_t device, ino_t inode) {
  DIR* proc = ::opendir("/proc");
  if (!proc) return false;
  bool found = false;
  while (!found) {
    dirent* e = ::readdir(proc);
    if (!e) break;
    if (IsNumber(e->d_name)) found = ProcessWrites(std::string("/proc/") + e->d_name, device, inode);
  }
  ::closedir(proc);
  return found;
}

int TExclusiveSource::Open(const std::string& path) {
  Close();
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return errno;
  Fd_ = fd;
  if (::fstat(fd, &Start_) != 0) {
    int err = errno;
    Close();
    return err;
  }
  if (!S_ISREG(Start_.st_mode)) {
    Close();
    return S_ISDIR(Start_.st_mode) ? EISDIR : EINVAL;
  }
  int flags = ::fcntl(fd, F_GETFL);
  if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);

  if (::fcntl(fd, F_SETLEASE, F_WRLCK) == 0) {
    // Nobody is to be signalled when the lease is broken: the break is seen by asking.
    ::fcntl(fd, F_SETOWN, 0);
    Leased_ = true;
  } else if (errno == EAGAIN || errno == EBUSY) {
    Close();
    return EBUSY;
  } else if (ProcessesHoldOpenForWriting(Start_.st_dev, Start_.st_ino)) {
    Close();
    return EBUSY;
  }
  // Programs that do lock their writes are kept out for the whole copy.
  struct flock fl {};
  fl.l_type = F_RDLCK;
  fl.l_whence = SEEK_SET;
  if (::fcntl(fd, F_OFD_SETLK, &fl) != 0) {
    Close();
    return EBUSY;
  }
  return 0;
}

void TExclusiveSource::Close() {
  if (Fd_ < 0) return;
  if (Leased_) ::fcntl(Fd_, F_SETLEASE, F_UNLCK);
  ::close(Fd_);
  Fd_ = -1;
  Leased_ = false;
}

bool TExclusiveSource::Unchanged() const {
  if (Fd_ < 0) return false;
  struct stat now {};
  if (::fstat(Fd_, &now) != 0) return false;
  if (now.st_size != Start_.st_size || !SameTimes(now.st_mtim, Start_.st_mtim)) return false;
  if (Leased_) return ::fcntl(Fd_, F_GETLEASE) == F_WRLCK;
  return !ProcessesHoldOpenForWriting(Start_.st_dev, Start_.st_ino);
}

bool TExclusiveSource::IsAt(const std::string& path) const {
  struct stat st {};
  return Fd_ >= 0 && ::stat(path.c_str(), &st) == 0 && st.st_dev == Start_.st_dev && st.st_ino == Start_.st_ino;
}

}  // namespace quodra::host
