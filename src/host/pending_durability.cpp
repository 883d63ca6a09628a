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
std::vector<std::string> Files;

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
  std::lock_guard<std::mutex> hold(Lock);
  Files.push_back(path);
  ++Added;
}

size_t TPendingDurability::Pending() {
  std::lock_guard<std::mutex> hold(Lock);
  return Files.size();
}

int TPendingDurability::FlushBeforeDeleting(const std::string& name, std::string& why) {
  const int err = Flush();
  if (err != 0) why = "Local files could not be synced, " + name + " not deleted: " + std::strerror(err);
  return err;
}

int TPendingDurability::Flush() {
  std::vector<std::string> files;
  {
    std::lock_guard<std::mutex> hold(Lock);
    files.swap(Files);
  }
  if (files.empty()) return 0;
  std::set<std::string> folders;
  for (const std::string& f : files) folders.insert(FolderOf(f));
  int first = 0;
  auto note = [&first](int err) {
    if (err != 0 && first == 0) first = err;
  };
  if (files.size() <= kOneByOne) {
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
