// Names, locks, resume records and append journals of partial downloads (see the header).
#include "host/partial_file_store.h"

#include "host/delivery_note.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <vector>

namespace quodra::host {
namespace {

const char kPartSuffix[] = ".quodra-part";
const char kRecordSuffix[] = ".quodra-resume";
const char kJournalSuffix[] = ".quodra-journal";
const char kDeliverySuffix[] = ".quodra-delivered";
const char kRecordMagic[] = "quodra-resume 1";
const char kJournalMagic[] = "quodra-journal 1";
// What the longest work file adds to its stem: the "." before it and ".XXXXXX.quodra-part" (a
// unique partial; the others, and the record's aside name ".quodra-resume-new", are shorter).
constexpr size_t kLongestAddition = 1 + 7 + (sizeof kPartSuffix - 1);
constexpr size_t kStemHashDigits = 16;

// FNV-1a, fixed by its definition: every build and every run gives a name the same stem.
uint64_t NameHash(const std::string& name) {
  uint64_t h = 14695981039346656037ull;
  for (unsigned char c : name) {
    h ^= c;
    h *= 1099511628211ull;
  }
  return h;
}

bool EndsWith(const std::string& s, const std::string& tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

std::string Beside(const std::string& target, const char* suffix) {
  std::string folder = FolderOf(target);
  return (folder == "/" ? "" : folder) + "/." + WorkStemOf(BaseOf(target)) + suffix;
}

int WriteAll(int fd, const std::string& text) {
  const char* p = text.data();
  size_t left = text.size();
  while (left > 0) {
    ssize_t n = ::write(fd, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return n < 0 ? errno : ENOSPC;
    p += n;
    left -= static_cast<size_t>(n);
  }
  return 0;
}

std::string ReadAll(int fd) { return ReadWorkFile(fd, 65536); }  // no record of ours is this long

// Our records and journals: key=value lines between a first line `magic` and a last line
// "end", so that one cut while being written is never taken for a whole one.
bool IsWhole(const std::string& text, const char* magic) {
  return text.rfind(std::string(magic) + "\n", 0) == 0 && EndsWith(text, "\nend\n");
}

std::string ValueOf(const std::string& text, const std::string& key) {
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);)
    if (line.rfind(key + "=", 0) == 0) return line.substr(key.size() + 1);
  return {};
}

bool ToUnsigned(const std::string& text, uint64_t& out) {
  if (text.empty() || text.size() > 19) return false;
  uint64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<uint64_t>(c - '0');
  }
  out = v;
  return true;
}

// Names and paths go into the record one per line: line ends inside would forge a key.
std::string Escaped(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\\') out += "\\\\";
    else if (c == '\n') out += "\\n";
    else if (c == '\r') out += "\\r";
    else out += c;
  }
  return out;
}

std::string Unescaped(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 1 < text.size()) {
      char n = text[++i];
      out += n == 'n' ? '\n' : n == 'r' ? '\r' : n;
    } else {
      out += text[i];
    }
  }
  return out;
}

// A unique partial of ours: ".NAME.XXXXXX.quodra-part", or a TFTP download's
// ".temp.tftp.XXXXXX.part". Other hidden names ending in ".part" may be anybody's.
bool IsUniquePartialName(const std::string& name) {
  std::string rest;
  if (EndsWith(name, kPartSuffix))
    rest = name.substr(0, name.size() - (sizeof kPartSuffix - 1));
  else if (EndsWith(name, ".part") && name.rfind(".temp.tftp.", 0) == 0)
    rest = name.substr(0, name.size() - 5);
  else
    return false;
  if (rest.size() < 9 || rest[0] != '.' || rest[rest.size() - 7] != '.') return false;
  for (size_t i = rest.size() - 6; i < rest.size(); ++i) {
    char c = rest[i];
    if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'))) return false;
  }
  return true;
}

std::mutex gOwnLock;
// Made by CreateUniqueFile in this process: FileKey and the name, since an inode number alone
// comes back for another file once the first is gone.
std::set<std::string> gOwnFiles;

std::string FileKey(const struct stat& st) {
  return std::to_string(major(st.st_dev)) + ":" + std::to_string(minor(st.st_dev)) + ":" +
         std::to_string(static_cast<unsigned long long>(st.st_ino));
}

// The files some process holds a lock or lease on, as "major:minor:inode" (/proc/locks). A
// sweep asks here before it opens anything: opening a file another process holds a lease on
// would break the lease (and stall until it is given up).
std::set<std::string> LockedFiles() {
  std::set<std::string> held;
  int fd = ::open("/proc/locks", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return held;
  std::string text;
  char buf[8192];
  for (ssize_t n; (n = ::read(fd, buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR);)
    if (n > 0) text.append(buf, static_cast<size_t>(n));
  ::close(fd);
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    std::istringstream words(line);
    for (std::string w; words >> w;) {
      unsigned major = 0, minor = 0;
      unsigned long long ino = 0;
      if (std::count(w.begin(), w.end(), ':') == 2 && std::sscanf(w.c_str(), "%x:%x:%llu", &major, &minor, &ino) == 3) {
        held.insert(std::to_string(major) + ":" + std::to_string(minor) + ":" + std::to_string(ino));
        break;
      }
    }
  }
  return held;
}

// Whether a live process still uses the file: this one made it, or some process locks it.
bool InUse(const std::set<std::string>& held, const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return true;  // gone, or nothing of ours
  const std::string key = FileKey(st);
  std::lock_guard<std::mutex> guard(gOwnLock);
  return held.count(key) > 0 || gOwnFiles.count(key + "/" + BaseOf(path)) > 0;
}

// Removes a partial of a dead writer; a locked one belongs to a live writer and stays.
void RemoveIfFree(const std::string& path) {
  int fd = OpenLocked(path, false);
  if (fd < 0) return;
  UnlinkIfSame(path, fd);
  ::close(fd);
}

}  // namespace

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

std::string WorkStemOf(const std::string& name) {
  if (name.size() + kLongestAddition <= NAME_MAX) return name;  // as every earlier run named it
  size_t keep = NAME_MAX - kLongestAddition - 1 - kStemHashDigits;
  // Not inside a character (its continuation bytes are 10xxxxxx): the stem stays valid UTF-8.
  while (keep > 0 && (static_cast<unsigned char>(name[keep]) & 0xC0) == 0x80) --keep;
  char tail[4 + kStemHashDigits];
  std::snprintf(tail, sizeof tail, "~%016llx", static_cast<unsigned long long>(NameHash(name)));
  return name.substr(0, keep) + tail;
}

std::string PartialPathOf(const std::string& target) { return Beside(target, kPartSuffix); }
std::string ResumeRecordPathOf(const std::string& target) { return Beside(target, kRecordSuffix); }
std::string JournalPathOf(const std::string& target) { return Beside(target, kJournalSuffix); }
std::string DeliveryNotePathOf(const std::string& target) { return Beside(target, kDeliverySuffix); }

std::string ReadWorkFile(int fd, size_t limit) {
  std::string text;
  char buf[4096];
  ::lseek(fd, 0, SEEK_SET);
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    text.append(buf, static_cast<size_t>(n));
    if (text.size() > limit) break;
  }
  return text;
}

int SyncFolder(const std::string& folder) {
  int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return errno;
  int err = ::fsync(fd) == 0 || errno == EINVAL ? 0 : errno;
  ::close(fd);
  return err;
}

int OpenLocked(const std::string& path, bool create, bool wait) {
  for (int attempt = 0; attempt < 8; ++attempt) {
    int flags = O_RDWR | O_NOFOLLOW | O_CLOEXEC | (create ? O_CREAT : 0);
    int fd = ::open(path.c_str(), flags, 0600);
    if (fd < 0) return -errno;
    int locked;
    do locked = ::flock(fd, LOCK_EX | (wait ? 0 : LOCK_NB));
    while (locked != 0 && errno == EINTR && wait);
    if (locked != 0) {
      int err = errno;
      ::close(fd);
      return -(err == EWOULDBLOCK ? EWOULDBLOCK : err);
    }
    // The previous holder may have removed the name before letting go, or put another file
    // under it (written anew and renamed over it): then this file is no longer the one the
    // name leads to, and the one it now leads to (if any) is tried instead.
    struct stat held {}, named {};
    const bool regular = ::fstat(fd, &held) == 0 && S_ISREG(held.st_mode);
    const bool isNamed = ::lstat(path.c_str(), &named) == 0;
    if (regular && isNamed && named.st_dev == held.st_dev && named.st_ino == held.st_ino) return fd;
    ::close(fd);
    if (!regular) return -EINVAL;
    if (!create && !isNamed) return -ENOENT;
  }
  return -EAGAIN;
}

void UnlinkIfSame(const std::string& path, int fd) {
  struct stat held {}, named {};
  if (::fstat(fd, &held) == 0 && ::lstat(path.c_str(), &named) == 0 && named.st_dev == held.st_dev &&
      named.st_ino == held.st_ino)
    ::unlink(path.c_str());
}

const std::string& BootId() {
  static const std::string id = [] {
    int fd = ::open("/proc/sys/kernel/random/boot_id", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::string();
    std::string text = ReadAll(fd);
    ::close(fd);
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    return text;
  }();
  return id;
}

bool ReadResumeRecord(const std::string& path, TResumeRecord& record) {
  int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return false;
  std::string text = ReadAll(fd);
  ::close(fd);
  if (!IsWhole(text, kRecordMagic)) return false;
  uint64_t size = 0;
  if (!ToUnsigned(ValueOf(text, "size"), size) || !ToUnsigned(ValueOf(text, "checked"), record.Checked)) return false;
  record.Remote.Server = Unescaped(ValueOf(text, "server"));
  record.Remote.Path = Unescaped(ValueOf(text, "path"));
  record.Remote.Size = static_cast<int64_t>(size);
  record.Remote.ModTime = Unescaped(ValueOf(text, "mtime"));
  record.Boot = ValueOf(text, "boot");
  return true;
}

int WriteResumeRecord(const std::string& path, const TResumeRecord& record, bool durable) {
  std::string text = std::string(kRecordMagic) + "\nserver=" + Escaped(record.Remote.Server) +
                     "\npath=" + Escaped(record.Remote.Path) + "\nsize=" + std::to_string(record.Remote.Size) +
                     "\nmtime=" + Escaped(record.Remote.ModTime) + "\nchecked=" + std::to_string(record.Checked) +
                     "\nboot=" + record.Boot + "\nend\n";
  // Only the holder of the partial writes its record: the aside name needs no uniqueness.
  std::string aside = path + "-new";
  int fd = ::open(aside.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return errno;
  int err = WriteAll(fd, text);
  if (!err && durable && ::fsync(fd) != 0) err = errno;
  ::close(fd);
  if (!err && ::rename(aside.c_str(), path.c_str()) != 0) err = errno;
  if (err) {
    ::unlink(aside.c_str());
    return err;
  }
  return durable ? SyncFolder(FolderOf(path)) : 0;
}

int RepairFromJournal(int journalFd, const std::string& target) {
  std::string text = ReadAll(journalFd);
  // A journal without its whole content was cut before the destination was touched.
  if (!IsWhole(text, kJournalMagic)) return 0;
  uint64_t length = 0, dev = 0, ino = 0;
  if (!ToUnsigned(ValueOf(text, "length"), length) || !ToUnsigned(ValueOf(text, "dev"), dev) ||
      !ToUnsigned(ValueOf(text, "ino"), ino))
    return 0;
  int fd = ::open(target.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0) return errno == ENOENT ? 0 : errno;
  struct stat st {};
  int err = 0;
  // A destination replaced meanwhile is another file: its bytes are not ours to cut.
  if (::fstat(fd, &st) != 0) {
    err = errno;
  } else if (st.st_dev == dev && st.st_ino == ino && static_cast<uint64_t>(st.st_size) > length &&
             !WasDelivered(target, Unescaped(ValueOf(text, "source")))) {
    // (One noted as delivered is whole: its run ended between that note and this journal's end.)
    if (::ftruncate(fd, static_cast<off_t>(length)) != 0 || ::fsync(fd) != 0) err = errno;
    if (!err && length == 0 && ValueOf(text, "created") == "1") UnlinkIfSame(target, fd);
  }
  ::close(fd);
  return err;
}

int RepairCutAppend(const std::string& target) {
  std::string journal = JournalPathOf(target);
  int fd = OpenLocked(journal, false);
  // A path too long for the kernel can have no journal: no append could have made one.
  if (fd == -ENOENT || fd == -ENAMETOOLONG) return 0;
  if (fd < 0) return -fd;
  int err = RepairFromJournal(fd, target);
  if (!err) {
    UnlinkIfSame(journal, fd);
    err = SyncFolder(FolderOf(target));
  }
  ::close(fd);
  return err;
}

int WriteJournal(int journalFd, const std::string& journalPath, int destFd, uint64_t length, bool created,
                 const std::string& source) {
  struct stat st {};
  if (::fstat(destFd, &st) != 0) return errno;
  std::string text = std::string(kJournalMagic) + "\nlength=" + std::to_string(length) +
                     "\ndev=" + std::to_string(static_cast<uint64_t>(st.st_dev)) +
                     "\nino=" + std::to_string(static_cast<uint64_t>(st.st_ino)) + "\ncreated=" + (created ? "1" : "0") +
                     (source.empty() ? "" : "\nsource=" + Escaped(source)) + "\nend\n";
  if (::ftruncate(journalFd, 0) != 0 || ::lseek(journalFd, 0, SEEK_SET) != 0) return errno;
  if (int err = WriteAll(journalFd, text)) return err;
  if (::fsync(journalFd) != 0) return errno;
  return SyncFolder(FolderOf(journalPath));
}

void NoteOwnFile(int fd, const std::string& path) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) return;
  std::lock_guard<std::mutex> guard(gOwnLock);
  gOwnFiles.insert(FileKey(st) + "/" + BaseOf(path));
}

bool IsWorkFileName(const std::string& name) {
  return EndsWith(name, kPartSuffix) || EndsWith(name, kRecordSuffix) || EndsWith(name, kJournalSuffix) ||
         EndsWith(name, kDeliverySuffix) || IsUniquePartialName(name);
}

void SweepFolderOnce(const std::string& folder) {
  static std::mutex lock;
  static std::set<std::string> swept;
  {
    std::lock_guard<std::mutex> guard(lock);
    if (!swept.insert(folder).second) return;
  }
  DIR* d = ::opendir(folder.c_str());
  if (!d) return;
  std::vector<std::string> candidates;
  // A journal's name holds only the stem of the file it protects: a long name's is shortened.
  std::map<std::string, std::string> nameOfStem;
  while (dirent* e = ::readdir(d)) {
    std::string name = e->d_name;
    if (name.size() + kLongestAddition > NAME_MAX) nameOfStem.emplace(WorkStemOf(name), name);
    if (name.size() < 2 || name[0] != '.') continue;
    if (EndsWith(name, kJournalSuffix) || EndsWith(name, kPartSuffix) || EndsWith(name, ".part"))
      candidates.push_back(name);
  }
  ::closedir(d);
  if (candidates.empty()) return;
  const std::string prefix = folder == "/" ? "" : folder;
  const std::set<std::string> held = LockedFiles();
  for (const std::string& name : candidates) {
    std::string path = prefix + "/" + name;
    if (InUse(held, path)) continue;
    if (EndsWith(name, kJournalSuffix)) {
      std::string stem = name.substr(1, name.size() - 1 - (sizeof kJournalSuffix - 1));
      auto named = nameOfStem.find(stem);
      RepairCutAppend(prefix + "/" + (named != nameOfStem.end() ? named->second : stem));
    } else if (EndsWith(name, kPartSuffix) || IsUniquePartialName(name)) {
      // A stable partial without its record cannot be resumed; one with its record stays, also
      // when its destination's name ends like a unique partial's (".x.abc123.quodra-part"). A
      // shortened stem leads back to its own record; a name too long to be a stem is from a
      // run that never recorded it.
      std::string target = prefix + "/" + name.substr(1, name.size() - 1 - (sizeof kPartSuffix - 1));
      if (!EndsWith(name, kPartSuffix) || ::access(ResumeRecordPathOf(target).c_str(), F_OK) != 0) RemoveIfFree(path);
    }
  }
}

}  // namespace quodra::host
