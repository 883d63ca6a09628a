#pragma once
// A local file written all-or-nothing. Until Commit, a failure or an abort leaves the destination
// as it was: an append is cut back to the length the file had when it was opened, and a
// replacement goes to a temporary file beside the destination that is renamed over it only at
// the end. A committed file is on disk (fsync) with every byte.
#include <cstddef>
#include <cstdint>
#include <string>
#include <sys/types.h>

namespace quodra::host {

// Creates a new file `folder/.<stem>.XXXXXX.part` that did not exist before (O_CREAT|O_EXCL|
// O_NOFOLLOW|O_CLOEXEC, mode 0600). Returns the descriptor, or -errno; the path goes to pathOut.
int CreateUniqueFile(const std::string& folder, const std::string& stem, std::string& pathOut);

// fsyncs the folder that holds `path`, so that a new name in it survives a crash. 0 or errno.
int SyncFolderOf(const std::string& path);

class TLocalOutputFile {
 public:
  enum class TMode { Append, Replace, WriteAt };

  TLocalOutputFile() = default;
  TLocalOutputFile(const TLocalOutputFile&) = delete;
  TLocalOutputFile& operator=(const TLocalOutputFile&) = delete;
  ~TLocalOutputFile();  // an open, uncommitted file is rolled back

  // Append: bytes go after the current end. Replace: bytes go to a unique temporary file in the
  // destination's folder (a symbolic link at the destination is resolved to its target first);
  // the destination is untouched until Commit. WriteAt: bytes go from `offset` on (a restarted
  // download). Returns 0 or errno.
  int Open(const std::string& path, TMode mode, uint64_t offset = 0);
  bool IsOpen() const { return Fd_ >= 0; }
  int Fd() const { return Fd_; }

  // Every byte or errno (EINTR retried); 0 on success.
  int Write(const void* data, size_t size);

  // fsync; Replace: the temporary file is renamed over the destination, keeping an existing
  // destination's mode, then the folder is synced. Returns 0 or errno; a failed Commit has
  // rolled back.
  int Commit();

  // Append/WriteAt: when anything was written, the file is cut back to the length it had at
  // Open (WriteAt restores the length only: a restart writes from the old end, so nothing
  // before it is rewritten); Replace: the temporary file is removed. Closes the file.
  // Idempotent. Returns 0 or errno.
  int Rollback();

  uint64_t StartLength() const { return StartLength_; }
  uint64_t Written() const { return Written_; }
  const std::string& Path() const { return Path_; }
  const std::string& WritePath() const { return WritePath_; }

 private:
  int Close();

  int Fd_ = -1;
  TMode Mode_ = TMode::Append;
  std::string Path_;       // the destination as given
  std::string Target_;     // the destination with a symbolic link resolved (Replace)
  std::string WritePath_;  // where the bytes go now
  uint64_t StartLength_ = 0;
  uint64_t Written_ = 0;
  bool Existed_ = false;
  mode_t ExistingMode_ = 0;
};

}  // namespace quodra::host
