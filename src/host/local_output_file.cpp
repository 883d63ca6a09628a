// All-or-nothing local files: staging, commit by rename or journalled append, rollback, and
// the resumable partial (see the header).
#include "host/local_output_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <memory>
#include <random>

#include <QThreadPool>

#include "host/delivery_note.h"
#include "host/partial_file_store.h"
#include "host/pending_durability.h"

namespace quodra::host {
namespace {

// A destination that is a symbolic link is written at its target, so the link stays a link.
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

// What a plain create with mode 0666 would have given: the partial file starts private.
mode_t NewFileMode() {
  mode_t mask = ::umask(0);
  ::umask(mask);
  return 0666 & ~mask;
}

// Copies `length` bytes of `from` (from its start) to `to` at `at`. The kernel copies without
// a trip through user space where it can; other file systems get a read/write loop.
int CopyStaged(int from, int to, uint64_t at, uint64_t length) {
  off_t in = 0;
  off_t out = static_cast<off_t>(at);
  uint64_t left = length;
  while (left > 0) {
    ssize_t n = ::copy_file_range(from, &in, to, &out, std::min<uint64_t>(left, 1u << 30), 0);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP)) break;
    if (n < 0) return errno;
    if (n == 0) return EIO;  // the partial is shorter than it was written
    left -= static_cast<uint64_t>(n);
  }
  constexpr size_t kChunk = 1u << 20;
  std::unique_ptr<char[]> buf;
  while (left > 0) {
    if (!buf) buf.reset(new char[kChunk]);
    ssize_t n = ::pread(from, buf.get(), std::min<uint64_t>(left, kChunk), in);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    if (n == 0) return EIO;
    for (ssize_t done = 0; done < n;) {
      ssize_t w = ::pwrite(to, buf.get() + done, static_cast<size_t>(n - done), out);
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) return w < 0 ? errno : ENOSPC;
      done += w;
      out += w;
    }
    in += n;
    left -= static_cast<uint64_t>(n);
  }
  return 0;
}

}  // namespace

int SyncFolderOf(const std::string& path) { return SyncFolder(FolderOf(path)); }

int CreateUniqueFile(const std::string& folder, const std::string& stem, std::string& pathOut, const char* suffix) {
  static const char kAlphabet[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  std::random_device seed;
  std::mt19937_64 rng((static_cast<uint64_t>(seed()) << 32) ^ seed() ^ static_cast<uint64_t>(::getpid()));
  std::string dir = folder.empty() ? "." : folder;
  if (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string tag;
    for (int i = 0; i < 6; ++i) tag += kAlphabet[rng() % (sizeof kAlphabet - 1)];
    std::string path = (dir == "/" ? "" : dir) + "/." + stem + "." + tag + suffix;
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
      if (errno != EEXIST && errno != EINTR) return -errno;
      continue;
    }
    // Locked, and still under its name: a sweep of another run may have taken it between the
    // create and the lock.
    struct stat held {}, named {};
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0 && ::fstat(fd, &held) == 0 && ::lstat(path.c_str(), &named) == 0 &&
        held.st_ino == named.st_ino && held.st_dev == named.st_dev) {
      NoteOwnFile(fd, path);
      pathOut = path;
      return fd;
    }
    ::close(fd);
  }
  return -EEXIST;
}

TLocalOutputFile::~TLocalOutputFile() { Rollback(); }

int TLocalOutputFile::Open(const std::string& path, TMode mode, uint64_t offset) {
  if (mode == TMode::WriteAt) return OpenInPlace(path, mode, offset);
  return OpenStaged(path, mode, nullptr);
}

int TLocalOutputFile::OpenResumable(const std::string& path, TMode mode, const TRemoteFileIdentity& remote) {
  if (mode == TMode::WriteAt) return EINVAL;
  return OpenStaged(path, mode, remote.Resumable() && remote.Size >= ResumeWorthBytes ? &remote : nullptr);
}

int TLocalOutputFile::OpenStaged(const std::string& path, TMode mode, const TRemoteFileIdentity* remote) {
  Rollback();
  Path_ = path;
  Mode_ = mode;
  Written_ = WrittenBehind_ = StartLength_ = ResumeOffset_ = Checkpoint_ = 0;
  Existed_ = Staged_ = Resumable_ = false;
  DeliveryKey_.clear();
  Target_ = ResolveLink(path);
  // Refused before a byte is fetched: no rename could put it in place.
  if (BaseOf(Target_).size() > NAME_MAX) return ENAMETOOLONG;
  const std::string folder = FolderOf(Target_);
  // What dead runs left goes first: a cut append would otherwise count as the old length.
  SweepFolderOnce(folder);
  if (int err = RepairCutAppend(Target_); err != 0 && err != EWOULDBLOCK) return err;
  struct stat st {};
  if (::stat(Target_.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) return EISDIR;
    // An append learns only at the end that it may not write: better refuse at once.
    if (mode == TMode::Append && ::access(Target_.c_str(), W_OK) != 0) return errno;
    Existed_ = true;
    ExistingMode_ = st.st_mode & 07777;
    StartLength_ = static_cast<uint64_t>(st.st_size);
    if (mode == TMode::Append) {
      if (int err = LockDestination()) return err;
    }
  }
  int err = TakeStablePartial(remote);
  if (err == EWOULDBLOCK || err == EACCES || err == EPERM || err == ELOOP || err == EINVAL || err == EISDIR) {
    // Another live writer stages this destination (or the stable name is taken by something
    // that is not ours to open): this one goes to a file of its own.
    std::string unique;
    int fd = CreateUniqueFile(folder, WorkStemOf(BaseOf(Target_)), unique, ".quodra-part");
    err = fd < 0 ? -fd : 0;
    if (fd >= 0) {
      Fd_ = fd;
      WritePath_ = unique;
    }
  }
  if (err == EACCES || err == EPERM || err == EROFS) {
    // A writable file in a folder we may not write: appended in place, cut back on failure.
    if (mode == TMode::Append) return OpenInPlace(path, mode, 0);
  }
  if (err) {
    Close();
    return err;
  }
  Staged_ = true;
  return 0;
}

int TLocalOutputFile::TakeStablePartial(const TRemoteFileIdentity* remote) {
  const std::string part = PartialPathOf(Target_);
  const std::string record = ResumeRecordPathOf(Target_);
  int fd = OpenLocked(part, true);
  if (fd < 0) return -fd;
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    int err = errno;
    ::close(fd);
    return err;
  }
  const uint64_t length = static_cast<uint64_t>(st.st_size);
  uint64_t keep = 0;
  TResumeRecord kept;
  const bool hadRecord = remote && ReadResumeRecord(record, kept);
  if (hadRecord && kept.Remote == *remote && length <= static_cast<uint64_t>(remote->Size)) {
    // In the boot that wrote them the bytes are in the page cache at least; after a crash
    // only those the record saw synced.
    keep = !kept.Boot.empty() && kept.Boot == BootId() ? length : std::min(length, kept.Checked);
  }
  int err = 0;
  if (keep < length && ::ftruncate(fd, static_cast<off_t>(keep)) != 0) err = errno;
  if (!err && ::lseek(fd, static_cast<off_t>(keep), SEEK_SET) < 0) err = errno;
  if (!err && keep > 0 && ::fdatasync(fd) != 0) err = errno;
  if (err) {
    ::close(fd);
    return err;
  }
  Fd_ = fd;
  WritePath_ = part;
  if (!remote) {
    ::unlink(record.c_str());  // whatever it described is gone
    return 0;
  }
  Resumable_ = true;
  Remote_ = *remote;
  ResumeOffset_ = keep;
  // A first record vouches for nothing yet: lost in a power loss, the partial only starts
  // from 0. One that replaces another (perhaps of another remote file, whose bytes the
  // partial no longer holds) must be on disk before new bytes are.
  if ((err = WriteRecord(keep, hadRecord)) != 0) {
    Resumable_ = false;
    ::unlink(record.c_str());
    UnlinkIfSame(part, fd);
    Close();
    return err;
  }
  return 0;
}

// Another program's write lock on the destination means it is in use: refused, as an append
// in place refused it; held until the end, so that other lockers see ours.
int TLocalOutputFile::LockDestination() {
  int fd = ::open(Target_.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0) return errno;
  struct flock fl {};
  fl.l_type = F_WRLCK;
  fl.l_whence = SEEK_SET;
  if (::fcntl(fd, F_OFD_SETLK, &fl) != 0) {
    int err = errno;
    ::close(fd);
    return err == EACCES ? EAGAIN : err;
  }
  DestLockFd_ = fd;
  return 0;
}

int TLocalOutputFile::WriteRecord(uint64_t checked, bool durable) {
  TResumeRecord record{Remote_, checked, BootId()};
  int err = WriteResumeRecord(ResumeRecordPathOf(Target_), record, durable);
  if (!err) Checkpoint_ = checked;
  return err;
}

int TLocalOutputFile::OpenInPlace(const std::string& path, TMode mode, uint64_t offset) {
  Rollback();
  Path_ = path;
  Mode_ = mode;
  Written_ = WrittenBehind_ = StartLength_ = ResumeOffset_ = Checkpoint_ = 0;
  Existed_ = Staged_ = Resumable_ = false;
  DeliveryKey_.clear();
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
  off_t pos = mode == TMode::Append ? ::lseek(fd, 0, SEEK_END) : ::lseek(fd, static_cast<off_t>(offset), SEEK_SET);
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
  return CountWritten(0);
}

// Counts bytes written and keeps the resume record's promise: every CheckpointBytes the
// bytes so far are synced and the record says so, on a worker, while the writes go on.
int TLocalOutputFile::CountWritten(uint64_t n) {
  ForgetSyncAhead();  // it may have missed these bytes: Commit syncs anew
  Written_ += n;
  if (Written_ - WrittenBehind_ >= kWriteBehindBytes) StartWriteBehind();
  if (!Resumable_) return 0;
  if (int err = TakeCheckpoint(false)) return err;
  const uint64_t length = ResumeOffset_ + Written_;
  if (!CheckpointAhead_.valid() && length - Checkpoint_ >= CheckpointBytes) StartCheckpoint(length);
  return 0;
}

void TLocalOutputFile::StartWriteBehind() {
  if (WriteBehind_.valid()) {
    if (WriteBehind_.wait_for(std::chrono::seconds(0)) != std::future_status::ready) return;
    WriteBehind_.get();
  }
  WrittenBehind_ = Written_;
  auto done = std::make_shared<std::promise<void>>();
  WriteBehind_ = done->get_future();
  // Nothing to start on a device or a pipe; a write error shows in the sync that follows.
  QThreadPool::globalInstance()->start([fd = Fd_, done] {
    ::sync_file_range(fd, 0, 0, SYNC_FILE_RANGE_WRITE);
    done->set_value();
  });
}

void TLocalOutputFile::StartCheckpoint(uint64_t length) {
  // Only bytes synced before the record is written count: those after `length` may still be
  // on their way, and the record does not speak for them.
  auto done = std::make_shared<std::promise<int>>();
  CheckpointAhead_ = done->get_future();
  CheckpointLength_ = length;
  TResumeRecord record{Remote_, length, BootId()};
  QThreadPool::globalInstance()->start(
      [fd = Fd_, path = ResumeRecordPathOf(Target_), record = std::move(record), done] {
        const int err = ::fdatasync(fd) != 0 ? errno : WriteResumeRecord(path, record, true);
        if (err == 0 && OnCheckpoint) OnCheckpoint(record.Checked);
        done->set_value(err);
      });
}

int TLocalOutputFile::TakeCheckpoint(bool wait) {
  if (!CheckpointAhead_.valid()) return 0;
  if (!wait && CheckpointAhead_.wait_for(std::chrono::seconds(0)) != std::future_status::ready) return 0;
  const int err = CheckpointAhead_.get();
  if (!err) {
    Checkpoint_ = CheckpointLength_;
    return 0;
  }
  // A failed sync is reported once: a later one would vouch for bytes that may be lost, so
  // nothing of this partial is kept for a later attempt.
  Resumable_ = false;
  return err;
}

ssize_t TLocalOutputFile::WriteFrom(int fd, size_t size, bool& readFailed) {
  readFailed = false;
  if (Fd_ < 0) return -EBADF;
  for (;;) {
    ssize_t n = ::copy_file_range(fd, nullptr, Fd_, nullptr, size, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n >= 0) {
      int err = CountWritten(static_cast<uint64_t>(n));
      return err ? -err : n;
    }
    // Not possible between these two files, or a failure: user space copies, and a failure
    // shows there on the side it belongs to (nothing was copied by the failed call).
    break;
  }
  constexpr size_t kChunk = 1u << 20;
  std::unique_ptr<char[]> buf(new char[std::min(size, kChunk)]);
  ssize_t n;
  do {
    n = ::read(fd, buf.get(), std::min(size, kChunk));
  } while (n < 0 && errno == EINTR);
  if (n < 0) {
    readFailed = true;
    return -errno;
  }
  if (n == 0) return 0;
  if (int err = Write(buf.get(), static_cast<size_t>(n))) return -err;
  return n;
}

int TLocalOutputFile::RestartFromZero() {
  if (Fd_ < 0 || !Staged_) return EBADF;
  ForgetSyncAhead();
  TakeCheckpoint(true);  // its record would speak for bytes about to go
  if (::ftruncate(Fd_, 0) != 0 || ::lseek(Fd_, 0, SEEK_SET) != 0) return errno;
  ResumeOffset_ = Written_ = WrittenBehind_ = 0;
  return Resumable_ ? WriteRecord(0) : 0;
}

int TLocalOutputFile::Sync() {
  if (Fd_ < 0) return EBADF;
  return ::fsync(Fd_) == 0 ? 0 : errno;
}

void TLocalOutputFile::SyncAhead() {
  if (Fd_ < 0 || SyncAhead_.valid()) return;
  // The mode belongs to what the sync makes durable; the partial is replaced or removed anyway.
  if (Staged_ && Mode_ == TMode::Replace && ::fchmod(Fd_, Existed_ ? ExistingMode_ : NewFileMode()) == 0)
    ModeSet_ = true;
  // On a pooled thread: a run of many small files would otherwise start a thread for each.
  auto synced = std::make_shared<std::promise<int>>();
  SyncAhead_ = synced->get_future();
  QThreadPool::globalInstance()->start([fd = Fd_, synced] { synced->set_value(::fsync(fd) == 0 ? 0 : errno); });
}

void TLocalOutputFile::ForgetSyncAhead() {
  if (!SyncAhead_.valid()) return;
  SyncAhead_.wait();  // its thread uses the descriptor until then
  SyncAhead_ = {};
}

int TLocalOutputFile::SyncNow() {
  if (SyncAhead_.valid()) return SyncAhead_.get();
  return ::fsync(Fd_) == 0 ? 0 : errno;
}

int TLocalOutputFile::Commit(TDurability durability) {
  if (Fd_ < 0) return EBADF;
  if (int err = TakeCheckpoint(true); err != 0) {
    Rollback();
    return err;
  }
  if (!Staged_) {
    if (int err = SyncNow(); err != 0) {
      Rollback();
      return err;
    }
    return Close();
  }
  int err = Mode_ == TMode::Replace ? CommitReplace(durability) : CommitAppend();
  if (err) {
    if (Resumable_)
      Suspend();
    else
      Rollback();
  }
  return err;
}

int TLocalOutputFile::CommitReplace(TDurability durability) {
  const bool later = durability == TDurability::Later;
  if (!ModeSet_ && ::fchmod(Fd_, Existed_ ? ExistingMode_ : NewFileMode()) != 0) return errno;
  if (int err = later ? 0 : SyncNow(); err != 0) return err;
  if (::rename(WritePath_.c_str(), Target_.c_str()) != 0) return errno;
  if (OnCommitStep) OnCommitStep("renamed");
  // The record described the partial, which is now the destination.
  if (Resumable_) ::unlink(ResumeRecordPathOf(Target_).c_str());
  Resumable_ = false;
  WritePath_ = Target_;
  int err = Close();
  if (later)
    TPendingDurability::Add(Target_);
  else
    SyncFolder(FolderOf(Target_));
  return err;
}

int TLocalOutputFile::CommitAppend() {
  if (int err = SyncNow(); err != 0) return err;
  const std::string journal = JournalPathOf(Target_);
  int jfd = OpenLocked(journal, true);
  if (jfd < 0) return -jfd == EWOULDBLOCK ? EBUSY : -jfd;  // another run appends to it now
  int err = RepairFromJournal(jfd, Target_);
  bool created = false;
  int dfd = -1;
  if (!err) {
    dfd = ::open(Target_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    created = dfd >= 0;
    if (dfd < 0 && errno == EEXIST) dfd = ::open(Target_.c_str(), O_WRONLY | O_CLOEXEC);
    if (dfd < 0) err = errno;
  }
  struct stat dest {}, staged {};
  if (!err && (::fstat(dfd, &dest) != 0 || ::fstat(Fd_, &staged) != 0)) err = errno;
  if (!err && !S_ISREG(dest.st_mode)) err = EISDIR;
  const uint64_t before = static_cast<uint64_t>(dest.st_size);
  bool journalled = false;
  if (!err) {
    err = WriteJournal(jfd, journal, dfd, before, created, DeliveryKey_);
    journalled = err == 0;
  }
  if (journalled && OnCommitStep) OnCommitStep("journalled");
  const uint64_t after = before + static_cast<uint64_t>(staged.st_size);
  if (!err) err = CopyStaged(Fd_, dfd, before, static_cast<uint64_t>(staged.st_size));
  if (!err && ::fsync(dfd) != 0) err = errno;
  if (!err && OnCommitStep) OnCommitStep("appended");
  if (!err) {
    // The staged bytes go before the journal: a kept partial beside a whole destination would
    // be appended a second time by a resume. They go before the delivery note too, so that a
    // run killed after the note leaves nothing but the journal, which the note vouches for.
    const bool recorded = Resumable_;
    RemoveStaged();
    Close();
    // A kept partial that came back after a crash would be appended again by a resume; one
    // without a record is only swept away.
    if (recorded) SyncFolder(FolderOf(Target_));
    if (!DeliveryKey_.empty()) err = NoteDelivered(Target_, dfd, after, DeliveryKey_);
    if (!err && !DeliveryKey_.empty() && OnCommitStep) OnCommitStep("delivered");
  }
  if (err && journalled) {
    if (::ftruncate(dfd, static_cast<off_t>(before)) == 0) ::fsync(dfd);
  }
  if (err && created) UnlinkIfSame(Target_, dfd);
  if (dfd >= 0) ::close(dfd);
  UnlinkIfSame(journal, jfd);
  SyncFolder(FolderOf(Target_));
  ::close(jfd);
  return err;
}

void TLocalOutputFile::RemoveStaged() {
  if (Fd_ < 0 || !Staged_) return;
  // Holding the stable partial, its record is ours to drop as well.
  if (WritePath_ == PartialPathOf(Target_)) ::unlink(ResumeRecordPathOf(Target_).c_str());
  UnlinkIfSame(WritePath_, Fd_);
  Resumable_ = false;
}

bool TLocalOutputFile::DeliveredBefore(const std::string& path, const std::string& key) {
  return WasDelivered(ResolveLink(path), key);
}

void TLocalOutputFile::EndDelivery(const std::string& path, const std::string& key) {
  quodra::host::EndDelivery(ResolveLink(path), key);
}

int TLocalOutputFile::Rollback() {
  if (Fd_ < 0) return Close();
  TakeCheckpoint(true);  // before its record is removed, not after
  if (Staged_) {
    RemoveStaged();
    return Close();
  }
  int err = 0;
  // Nothing written by us: the file is left alone (it may be another writer's meanwhile).
  if (Written_ > 0) {
    if (::ftruncate(Fd_, static_cast<off_t>(StartLength_)) != 0) err = errno;
    if (::fsync(Fd_) != 0 && !err) err = errno;
  }
  int closeErr = Close();
  return err ? err : closeErr;
}

int TLocalOutputFile::Suspend() {
  if (Fd_ < 0) return 0;
  TakeCheckpoint(true);  // the record written here is the last word; a failed one keeps nothing
  if (!Resumable_) return Rollback();
  int err = ::fdatasync(Fd_) == 0 ? 0 : errno;
  if (!err) err = WriteRecord(ResumeOffset_ + Written_);
  if (err) {
    Rollback();
    return err;
  }
  return Close();
}

int TLocalOutputFile::Close() {
  if (DestLockFd_ >= 0) {
    ::close(DestLockFd_);
    DestLockFd_ = -1;
  }
  if (Fd_ < 0) return 0;
  ForgetSyncAhead();
  TakeCheckpoint(true);  // its thread uses the descriptor until then, as a write-back's does
  if (WriteBehind_.valid()) WriteBehind_.get();
  ModeSet_ = false;
  int fd = Fd_;
  Fd_ = -1;
  return ::close(fd) == 0 ? 0 : errno;
}

}  // namespace quodra::host
