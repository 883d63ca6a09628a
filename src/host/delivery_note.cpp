// The note of appends whose source is still to be deleted (see the header).
#include "host/delivery_note.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <sstream>

#include "host/partial_file_store.h"

namespace quodra::host {
namespace {

// Far beyond what a note holds: it is written anew above kCompactAbove.
constexpr size_t kLongestNote = 1 << 24;
constexpr size_t kCompactAbove = 16384;

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

std::string EntryLine(uint64_t dev, uint64_t ino, uint64_t after, const std::string& key) {
  return "+" + std::to_string(dev) + " " + std::to_string(ino) + " " + std::to_string(after) + " " + key + "\n";
}

// Whether the destination is still the file of the entry and holds its bytes.
bool Holds(const std::string& target, const TEntry& e) {
  struct stat st {};
  return ::stat(target.c_str(), &st) == 0 && static_cast<uint64_t>(st.st_dev) == e.Dev &&
         static_cast<uint64_t>(st.st_ino) == e.Ino && static_cast<uint64_t>(st.st_size) >= e.After;
}

// Appends at the end of the note, which the caller holds locked.
int AppendLine(int fd, const std::string& line) {
  const off_t end = ::lseek(fd, 0, SEEK_END);
  if (end < 0) return errno;
  for (;;) {
    ssize_t n = ::pwrite(fd, line.data(), line.size(), end);
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
  int fd = OpenLocked(path, true, true);
  if (fd < 0) return -fd;
  int err = AppendLine(fd, EntryLine(static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino), after,
                                     LineSafe(key)));
  if (!err && ::fdatasync(fd) != 0) err = errno;
  ::close(fd);
  return err;
}

bool WasDelivered(const std::string& target, const std::string& key) {
  if (key.empty()) return false;
  int fd = ::open(DeliveryNotePathOf(target).c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return false;
  const auto open = Replay(ReadWorkFile(fd, kLongestNote));
  ::close(fd);
  auto it = open.find(LineSafe(key));
  return it != open.end() && Holds(target, it->second);
}

void EndDelivery(const std::string& target, const std::string& key) {
  // A run killed between this note and the end of its journal left the journal: it goes now,
  // while the note still says the append was whole, or a later repair would undo the append.
  RepairCutAppend(target);
  const std::string path = DeliveryNotePathOf(target);
  int fd = OpenLocked(path, false, true);
  if (fd < 0) return;
  // Not synced: should the line be lost, the entry names a source that is gone.
  AppendLine(fd, "-" + LineSafe(key) + "\n");
  const std::string text = ReadWorkFile(fd, kLongestNote);
  std::string kept;
  for (const auto& [k, e] : Replay(text)) {
    if (Holds(target, e))
      kept += EntryLine(e.Dev, e.Ino, e.After, k);
  }
  const std::string aside = path + "-new";
  if (kept.empty()) {
    UnlinkIfSame(path, fd);
    ::unlink(aside.c_str());  // of a run killed while it wrote the note anew
  } else if (text.size() > kCompactAbove) {
    // Entries that stay open (a source whose delete keeps failing) would let the note grow by
    // two lines with every later append here: it is written anew with the open ones alone,
    // beside it and renamed over it, so that a crash leaves the old note or the new one.
    // Only the holder of the note's lock writes the aside file.
    int nfd = ::open(aside.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
    bool written = nfd >= 0 && AppendLine(nfd, kept) == 0 && ::fdatasync(nfd) == 0;
    if (nfd >= 0) ::close(nfd);
    if (written && OnNoteStep) OnNoteStep("compacted");
    if (!written || ::rename(aside.c_str(), path.c_str()) != 0) ::unlink(aside.c_str());
  }
  ::close(fd);
}

}  // namespace quodra::host
