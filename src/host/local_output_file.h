#pragma once
// A local file written all-or-nothing, also when the process is killed (SIGKILL included) or
// the machine loses its power: the destination always holds either its old bytes or the whole
// new result, never a fragment.
//
// Append and Replace stage the bytes in a hidden partial file beside the destination
// (partial_file_store.h names them). Commit then
//   - Replace: renames the partial over the destination (keeping an existing one's mode);
//   - Append: records the destination's length in a journal beside it (synced first), appends
//     the staged bytes (copy_file_range, never rewriting the old bytes), syncs, and drops the
//     journal. A run killed during the append leaves the journal; the next writer of the
//     destination (or of any file in its folder) cuts the destination back to that length.
// Before it writes, every Open repairs a cut append of its destination and removes the partial
// files dead runs left beside it (once per folder, those of every destination there), so they
// never pile up. Files of a live writer are locked (flock) and never touched.
//
// Resumable downloads (OpenResumable) use the stable partial `.NAME.quodra-part` and a record
// of the remote file beside it. A failed download keeps both (Suspend); the next download of
// the same remote file to the same destination continues after the kept bytes, one of another
// remote file (or a changed one) starts from 0. The record is rewritten every CheckpointBytes
// with the length known to be on disk, so that after a power loss only synced bytes count; the
// sync and the record's rewrite run on a worker thread while the writes go on.
//
// An Append takes a write lock (fcntl, OFD) on an existing destination from Open to the end, and
// Open fails with EAGAIN when another program holds one: it is writing there.
//
// WriteAt writes into the destination itself from `offset` on (a restart of a file the caller
// keeps); a rollback restores its length. An Append whose folder cannot take a partial file (no
// write permission there) writes in place the same way, cut back on rollback.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <future>
#include <string>
#include <sys/types.h>
#include <utility>

#include "host/remote_file_identity.h"

namespace quodra::host {

// Creates a new file `folder/.<stem>.XXXXXX<suffix>` that did not exist before (O_CREAT|O_EXCL|
// O_NOFOLLOW|O_CLOEXEC, mode 0600), locked with flock for as long as the descriptor is open, so
// that a later run can tell it from one a killed run left. Returns the descriptor, or -errno;
// the path goes to pathOut.
int CreateUniqueFile(const std::string& folder, const std::string& stem, std::string& pathOut,
                     const char* suffix = ".part");

// fsyncs the folder that holds `path`, so that a new name in it survives a crash. 0 or errno.
int SyncFolderOf(const std::string& path);

class TLocalOutputFile {
 public:
  enum class TMode { Append, Replace, WriteAt };
  // Tests of the record's rewrites lower it.
  static inline uint64_t CheckpointBytes = 64u * 1024 * 1024;
  // Every this many bytes written, the disk's write-back of them is started (on a worker, so
  // that a busy disk does not hold up the writer): the sync at the end finds little left.
  static constexpr uint64_t kWriteBehindBytes = 8u * 1024 * 1024;
  // Remote files below this size are not resumed: fetching one again costs less than keeping
  // its record. Tests of resuming with tiny files lower it.
  static inline int64_t ResumeWorthBytes = 64 * 1024;
  // Called at the steps of a commit where a crash leaves the most to repair ("journalled":
  // the journal is durable, nothing appended yet; "appended": every byte appended and synced,
  // the journal still there; "renamed": a replacement is in place), so that crash tests can
  // stop the process exactly there. Empty in the program.
  static inline std::function<void(const char* step)> OnCommitStep;
  // Called on the worker thread once a checkpoint's record is on disk, with the length it
  // vouches for, so that tests can wait for one. Empty in the program.
  static inline std::function<void(uint64_t length)> OnCheckpoint;

  TLocalOutputFile() = default;
  TLocalOutputFile(const TLocalOutputFile&) = delete;
  TLocalOutputFile& operator=(const TLocalOutputFile&) = delete;
  ~TLocalOutputFile();  // an open, uncommitted file is rolled back

  // Append: the bytes will go after the destination's end; Replace: they will replace it (a
  // symbolic link at the destination is resolved to its target first, both modes). WriteAt:
  // bytes go into the destination from `offset` on. Returns 0 or errno.
  int Open(const std::string& path, TMode mode, uint64_t offset = 0);
  // Append or Replace through the resumable partial of `path`: when it holds the start of the
  // same remote file, writing continues after it (ResumeOffset). Without a usable identity
  // (unknown size), for a remote file below ResumeWorthBytes, or while another live writer
  // holds the partial, this is Open. 0 or errno.
  int OpenResumable(const std::string& path, TMode mode, const TRemoteFileIdentity& remote);
  bool IsOpen() const { return Fd_ >= 0; }
  int Fd() const { return Fd_; }

  // Every byte or errno (EINTR retried); 0 on success.
  int Write(const void* data, size_t size);
  // Up to `size` bytes from `fd`'s current position, copied by the kernel where it can (no
  // trip through user space). Returns the bytes copied (0 at the source's end) or -errno;
  // readFailed says whether reading the source was what failed.
  ssize_t WriteFrom(int fd, size_t size, bool& readFailed);

  // Bytes of an earlier attempt the partial continues from (0: from the start).
  uint64_t ResumeOffset() const { return ResumeOffset_; }
  // Drops the kept bytes and writes from 0 again (the server would not continue). 0 or errno.
  int RestartFromZero();
  // fsync of what was written, nothing else. 0 or errno.
  int Sync();
  // Starts the fsync that Commit owes on a worker thread, after the last Write, for a caller
  // with other work before its Commit (asking the server whether the file held still): the
  // disk catches up meanwhile, and Commit only waits for what is left. Every other end of the
  // file waits for it too; a Write after it makes Commit sync anew.
  void SyncAhead();

  // Now: fsync, then Replace or Append as described above; WriteAt: fsync only.
  // Later (Replace only; the others are Now): the partial is renamed over the destination at
  // once and noted in TPendingDurability, whose Flush syncs it with the rest of the run's
  // files. Old-or-whole holds against a killed process; against a power loss only after the
  // flush, so a caller that is about to remove the only other copy must use Now (or flush).
  // Returns 0 or errno; a failed Commit has rolled back (a resumable partial is kept, as by
  // Suspend).
  enum class TDurability { Now, Later };
  int Commit(TDurability durability = TDurability::Now);

  // An Append whose source is deleted afterwards: its Commit notes the source `key` as
  // delivered to the destination before it returns (delivery_note.h), so that a run killed
  // before the source is gone does not append it again. Set after Open; other modes ignore it.
  void NoteDeliveryOf(std::string key) { DeliveryKey_ = std::move(key); }
  // Whether `path` (a link resolved as Open does) holds the appended bytes of `key` whose
  // source was never deleted; and the end of that note once the source is gone.
  static bool DeliveredBefore(const std::string& path, const std::string& key);
  static void EndDelivery(const std::string& path, const std::string& key);

  // Staged: the partial (and its record) is removed; the destination was never touched.
  // WriteAt and in-place appends: when anything was written, the file is cut back to the
  // length it had at Open. Closes the file. Idempotent. Returns 0 or errno.
  int Rollback();
  // The end of an unfinished attempt: a resumable partial is synced and kept with its record
  // for a later attempt; anything else is rolled back. Idempotent. Returns 0 or errno.
  int Suspend();

  uint64_t StartLength() const { return StartLength_; }  // the destination's length at Open
  uint64_t Written() const { return Written_; }          // bytes written since Open
  bool Resumable() const { return Resumable_; }
  const std::string& Path() const { return Path_; }
  const std::string& WritePath() const { return WritePath_; }

 private:
  int OpenStaged(const std::string& path, TMode mode, const TRemoteFileIdentity* remote);
  int OpenInPlace(const std::string& path, TMode mode, uint64_t offset);
  int TakeStablePartial(const TRemoteFileIdentity* remote);
  int LockDestination();
  int CountWritten(uint64_t n);
  int WriteRecord(uint64_t checked, bool durable = true);
  int CommitReplace(TDurability durability);
  int CommitAppend();
  void RemoveStaged();
  // The result of SyncAhead's fsync once it is over, or of an fsync now when none was started.
  int SyncNow();
  void ForgetSyncAhead();  // waits for a SyncAhead still running and forgets its result
  // Starts the disk's write-back of what was written so far on a worker thread, unless one
  // is still under way.
  void StartWriteBehind();
  // Starts the checkpoint of `length` bytes (sync, then the record) on a worker thread.
  void StartCheckpoint(uint64_t length);
  // The result of a checkpoint under way: 0 while it runs (unless `wait`), or when none is.
  int TakeCheckpoint(bool wait);
  int Close();

  int Fd_ = -1;
  int DestLockFd_ = -1;  // an append's destination, locked against other writers (fcntl)
  TMode Mode_ = TMode::Append;
  bool Staged_ = false;     // bytes go to a partial file, not the destination
  bool Resumable_ = false;  // the partial is the stable one with a record
  std::string Path_;        // the destination as given
  std::string Target_;      // the destination with a symbolic link resolved
  std::string WritePath_;   // where the bytes go now
  TRemoteFileIdentity Remote_;
  std::string DeliveryKey_;
  uint64_t StartLength_ = 0;
  uint64_t Written_ = 0;
  uint64_t ResumeOffset_ = 0;
  uint64_t Checkpoint_ = 0;  // partial length the record vouches for
  bool Existed_ = false;
  mode_t ExistingMode_ = 0;
  bool ModeSet_ = false;        // a replacement's final mode is set already
  std::future<int> SyncAhead_;  // the result of SyncAhead's fsync
  std::future<void> WriteBehind_;     // a write-back under way
  uint64_t WrittenBehind_ = 0;        // Written_ when the last one started
  std::future<int> CheckpointAhead_;  // the result of a checkpoint under way
  uint64_t CheckpointLength_ = 0;     // the length it vouches for
};

}  // namespace quodra::host
