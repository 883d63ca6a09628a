// The ledger of files put in place whose sync is still owed, and the one call that pays it.
#include "host/pending_durability.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <set>
#include <utility>
#include <vector>

#include "host/partial_file_store.h"

namespace quodra::host {
namespace {

// Up to this many files a sync of each (and of its folder) costs less than syncing whole
// file systems, which also waits for every other program's dirty data there.
constexpr size_t kOneByOne = 4;

std::mutex Lock;
// The first kOneByOne files noted, and the folders of all: past that many only the folders
// count, so the ledger of a run of a million files is as small as that of a few.
std::vector<std::string> Files;
std::set<std::string> Folders;
size_t Noted = 0;

int SyncFile(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  // Removed or renamed by someone else meanwhile: nothing of ours is left to sync.
  if (fd < 0) return errno == ENOENT ? 0 : errno;
  int err = ::fsync(fd) == 0 || errno == EINVAL ? 0 : errno;
  ::close(fd);
  return err;
}

}  // namespace

void TPendingDurability::Add(const std::string& path) {
  std::string folder = FolderOf(path);
  std::lock_guard<std::mutex> hold(Lock);
  if (++Noted <= kOneByOne) Files.push_back(path);
  Folders.insert(std::move(folder));
  ++Added;
}

size_t TPendingDurability::Pending() {
  std::lock_guard<std::mutex> hold(Lock);
  return Noted;
}

int TPendingDurability::FlushBeforeDeleting(const std::string& name, std::string& why) {
  const int err = Flush();
  if (err != 0) why = "Local files could not be synced, " + name + " not deleted: " + std::strerror(err);
  return err;
}

int TPendingDurability::Flush() {
  std::vector<std::string> files;
  std::set<std::string> folders;
  size_t noted = 0;
  {
    std::lock_guard<std::mutex> hold(Lock);
    files.swap(Files);
    folders.swap(Folders);
    std::swap(noted, Noted);
  }
  if (noted == 0) return 0;
  int first = 0;
  auto note = [&first](int err) {
    if (err != 0 && first == 0) first = err;
  };
  if (noted <= kOneByOne) {
    for (const std::string& f : files) note(SyncFile(f));
    for (const std::string& d : folders) {
      int err = SyncFolder(d);
      note(err == ENOENT ? 0 : err);  // a folder removed meanwhile took our files with it
    }
    return first;
  }
  // syncfs writes back every dirty file and commits the folders' entries, and reports write
  // errors the file system met since the descriptor was opened or not yet reported.
  std::set<dev_t> synced;
  for (const std::string& d : folders) {
    int fd = ::open(d.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
      if (errno != ENOENT) note(errno);
      continue;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
      note(errno);
    } else if (synced.insert(st.st_dev).second && ::syncfs(fd) != 0) {
      note(errno);
    }
    ::close(fd);
  }
  return first;
}

}  // namespace quodra::host
