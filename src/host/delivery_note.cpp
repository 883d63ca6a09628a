// The note of appends whose source is still to be deleted (see the header).
#include "host/delivery_note.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <sstream>

#include "host/partial_file_store.h"

namespace quodra::host {
namespace {

struct TEntry {
  uint64_t Dev = 0;
  uint64_t Ino = 0;
  uint64_t After = 0;
};

// A key is one line of the note: line ends in it would forge another.
std::string LineSafe(const std::string& key) {
  std::string out;
  for (char c : key) out += c == '\n' || c == '\r' ? '?' : c;
  return out;
}

std::string ReadNote(int fd) {
  std::string text;
  char buf[4096];
  for (off_t at = 0;;) {
    ssize_t n = ::pread(fd, buf, sizeof buf, at);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    text.append(buf, static_cast<size_t>(n));
    at += n;
  }
  return text;
}

// The open entries, the later line winning; a last line without its end is ignored.
std::map<std::string, TEntry> Replay(const std::string& text) {
  std::map<std::string, TEntry> open;
  size_t start = 0;
  for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
    const std::string line = text.substr(start, end - start);
    if (line.empty()) continue;
    if (line[0] == '-') {
      open.erase(line.substr(1));
      continue;
    }
    if (line[0] != '+') continue;
    std::istringstream in(line.substr(1));
    TEntry e;
    if (!(in >> e.Dev >> e.Ino >> e.After) || in.get() != ' ') continue;
    std::string key;
    std::getline(in, key);
    open[key] = e;
  }
  return open;
}

// Whether the destination is still the file of the entry and holds its bytes.
bool Holds(const std::string& target, const TEntry& e) {
  struct stat st {};
  return ::stat(target.c_str(), &st) == 0 && static_cast<uint64_t>(st.st_dev) == e.Dev &&
         static_cast<uint64_t>(st.st_ino) == e.Ino && static_cast<uint64_t>(st.st_size) >= e.After;
}

// The note, opened for appending and locked; a note another run removed while we waited for
// its lock is not the one the name leads to any more. -errno on failure.
int OpenNote(const std::string& path, bool create, bool& created) {
  created = false;
  for (int attempt = 0; attempt < 8; ++attempt) {
    int fd = -1;
    if (create) {
      fd = ::open(path.c_str(), O_RDWR | O_APPEND | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
      created = fd >= 0;
    }
    if (fd < 0 && (!create || errno == EEXIST)) fd = ::open(path.c_str(), O_RDWR | O_APPEND | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
      if (errno == ENOENT && create) continue;  // removed between the two opens
      return -errno;
    }
    // Held for a few writes at most: a short wait, never a long one.
    int locked;
    do locked = ::flock(fd, LOCK_EX);
    while (locked != 0 && errno == EINTR);
    struct stat held {}, named {};
    if (::fstat(fd, &held) == 0 && S_ISREG(held.st_mode) && ::lstat(path.c_str(), &named) == 0 &&
        named.st_dev == held.st_dev && named.st_ino == held.st_ino)
      return fd;
    const bool regular = S_ISREG(held.st_mode);
    ::close(fd);
    if (!regular) return -EINVAL;
    if (!create) return -ENOENT;
  }
  return -EAGAIN;
}

int AppendLine(int fd, const std::string& line) {
  for (;;) {
    ssize_t n = ::write(fd, line.data(), line.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    return static_cast<size_t>(n) == line.size() ? 0 : ENOSPC;
  }
}

}  // namespace

int NoteDelivered(const std::string& target, int destFd, uint64_t after, const std::string& key) {
  struct stat st {};
  if (::fstat(destFd, &st) != 0) return errno;
  const std::string path = DeliveryNotePathOf(target);
  bool created = false;
  int fd = OpenNote(path, true, created);
  if (fd < 0) return -fd;
  int err = AppendLine(fd, "+" + std::to_string(static_cast<uint64_t>(st.st_dev)) + " " +
                               std::to_string(static_cast<uint64_t>(st.st_ino)) + " " + std::to_string(after) + " " +
                               LineSafe(key) + "\n");
  if (!err && ::fdatasync(fd) != 0) err = errno;
  if (!err && created) err = SyncFolder(FolderOf(path));
  ::close(fd);
  return err;
}

bool WasDelivered(const std::string& target, const std::string& key) {
  if (key.empty()) return false;
  int fd = ::open(DeliveryNotePathOf(target).c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return false;
  const auto open = Replay(ReadNote(fd));
  ::close(fd);
  auto it = open.find(LineSafe(key));
  return it != open.end() && Holds(target, it->second);
}

void EndDelivery(const std::string& target, const std::string& key) {
  // A run killed between this note and the end of its journal left the journal: it goes now,
  // while the note still says the append was whole, or a later repair would undo the append.
  RepairCutAppend(target);
  const std::string path = DeliveryNotePathOf(target);
  bool created = false;
  int fd = OpenNote(path, false, created);
  if (fd < 0) return;
  // Not synced: should the line be lost, the entry names a source that is gone.
  AppendLine(fd, "-" + LineSafe(key) + "\n");
  bool anyOpen = false;
  for (const auto& [k, e] : Replay(ReadNote(fd))) anyOpen = anyOpen || Holds(target, e);
  if (!anyOpen) UnlinkIfSame(path, fd);
  ::close(fd);
}

}  // namespace quodra::host
