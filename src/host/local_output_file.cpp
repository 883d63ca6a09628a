#include "host/local_output_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <random>

namespace quodra::host {
namespace {

std::string FolderOf(const std::string& path) {
  auto slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string BaseOf(const std::string& path) {
  auto slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// A destination that is a symbolic link is replaced at its target, so the link stays a link.
std::string ResolveLink(const std::string& path) {
  std::string current = path;
  for (int hops = 0; hops < 40; ++hops) {
    struct stat st {};
    if (::lstat(current.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return current;
    char buf[PATH_MAX];
    ssize_t n = ::readlink(current.c_str(), buf, sizeof buf - 1);
    if (n <= 0) return current;
    std::string link(buf, static_cast<size_t>(n));
    current = link[0] == '/' ? link : FolderOf(current) + "/" + link;
  }
  return current;
}

int SyncFolder(const std::string& folder) {
  int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return errno;
  int err = ::fsync(fd) == 0 || errno == EINVAL ? 0 : errno;
  ::close(fd);
  return err;
}

// What a plain create with mode 0666 would have given: the temporary file starts private.
mode_t NewFileMode() {
  mode_t mask = ::umask(0);
  ::umask(mask);
  return 0666 & ~mask;
}

}  // namespace

int SyncFolderOf(const std::string& path) { return SyncFolder(FolderOf(path)); }

int CreateUniqueFile(const std::string& folder, const std::string& stem, std::string& pathOut) {
  static const char kAlphabet[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  std::random_device seed;
  std::mt19937_64 rng((static_cast<uint64_t>(seed()) << 32) ^ seed() ^ static_cast<uint64_t>(::getpid()));
  std::string dir = folder.empty() ? "." : folder;
  if (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string tag;
    for (int i = 0; i < 6; ++i) tag += kAlphabet[rng() % (sizeof kAlphabet - 1)];
    std::string path = (dir == "/" ? "" : dir) + "/." + stem + "." + tag + ".part";
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd >= 0) {
      pathOut = path;
      return fd;
    }
    if (errno != EEXIST && errno != EINTR) return -errno;
  }
  return -EEXIST;
}

TLocalOutputFile::~TLocalOutputFile() { Rollback(); }

int TLocalOutputFile::Open(const std::string& path, TMode mode, uint64_t offset) {
  Rollback();
  Path_ = path;
  Mode_ = mode;
  Written_ = 0;
  StartLength_ = 0;
  Existed_ = false;
  if (mode == TMode::Replace) {
    Target_ = ResolveLink(path);
    struct stat st {};
    if (::stat(Target_.c_str(), &st) == 0) {
      if (S_ISDIR(st.st_mode)) return EISDIR;
      Existed_ = true;
      ExistingMode_ = st.st_mode & 07777;
      StartLength_ = static_cast<uint64_t>(st.st_size);
    }
    std::string temp;
    int fd = CreateUniqueFile(FolderOf(Target_), BaseOf(Target_), temp);
    if (fd < 0) return -fd;
    Fd_ = fd;
    WritePath_ = temp;
    return 0;
  }
  Target_ = path;
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) return errno;
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    int err = errno;
    ::close(fd);
    return err;
  }
  if (S_ISDIR(st.st_mode)) {
    ::close(fd);
    return EISDIR;
  }
  StartLength_ = static_cast<uint64_t>(st.st_size);
  Existed_ = true;
  off_t pos = mode == TMode::Append ? ::lseek(fd, 0, SEEK_END)
                                    : ::lseek(fd, static_cast<off_t>(offset), SEEK_SET);
  if (pos < 0) {
    int err = errno;
    ::close(fd);
    return err;
  }
  Fd_ = fd;
  WritePath_ = path;
  return 0;
}

int TLocalOutputFile::Write(const void* data, size_t size) {
  if (Fd_ < 0) return EBADF;
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    ssize_t n = ::write(Fd_, p, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (n == 0) return ENOSPC;
    p += n;
    size -= static_cast<size_t>(n);
    Written_ += static_cast<uint64_t>(n);
  }
  return 0;
}

int TLocalOutputFile::Commit() {
  if (Fd_ < 0) return EBADF;
  int err = 0;
  if (Mode_ == TMode::Replace && ::fchmod(Fd_, Existed_ ? ExistingMode_ : NewFileMode()) != 0) err = errno;
  if (!err && ::fsync(Fd_) != 0) err = errno;
  if (err) {
    Rollback();
    return err;
  }
  if (Mode_ != TMode::Replace) {
    int closeErr = Close();
    return closeErr;
  }
  if (::close(Fd_) != 0) {
    Fd_ = -1;
    err = errno;
    ::unlink(WritePath_.c_str());
    return err;
  }
  Fd_ = -1;
  if (::rename(WritePath_.c_str(), Target_.c_str()) != 0) {
    err = errno;
    ::unlink(WritePath_.c_str());
    return err;
  }
  WritePath_ = Target_;
  SyncFolderOf(Target_);
  return 0;
}

int TLocalOutputFile::Rollback() {
  if (Fd_ < 0) return 0;
  int err = 0;
  if (Mode_ == TMode::Replace) {
    ::close(Fd_);
    Fd_ = -1;
    if (::unlink(WritePath_.c_str()) != 0 && errno != ENOENT) err = errno;
    return err;
  }
  // Nothing written by us: the file is left alone (it may be another writer's meanwhile).
  if (Written_ > 0) {
    if (::ftruncate(Fd_, static_cast<off_t>(StartLength_)) != 0) err = errno;
    if (::fsync(Fd_) != 0 && !err) err = errno;
  }
  int closeErr = Close();
  return err ? err : closeErr;
}

int TLocalOutputFile::Close() {
  if (Fd_ < 0) return 0;
  int fd = Fd_;
  Fd_ = -1;
  return ::close(fd) == 0 ? 0 : errno;
}

}  // namespace quodra::host
