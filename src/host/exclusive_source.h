#pragma once
// A file opened for reading that no other program writes while we read it. Programs on Linux
// seldom lock what they write, so "in use" is asked of the kernel: a write lease is granted
// only while nobody else has the file open, and while we hold it nobody can open the file
// without our knowing (the opener waits, and the lease shows the pending break). Where no
// lease can be had (a file of another user, a file system without leases) the processes'
// open files in /proc are searched for a writer instead.
#include <sys/stat.h>

#include <cstdint>
#include <string>

namespace quodra::host {

// Whether some process has the file (device, inode) open for writing, as far as /proc lets us
// see (processes of other users are hidden from an unprivileged caller).
bool ProcessesHoldOpenForWriting(dev_t device, ino_t inode);

class TExclusiveSource {
 public:
  TExclusiveSource() = default;
  TExclusiveSource(const TExclusiveSource&) = delete;
  TExclusiveSource& operator=(const TExclusiveSource&) = delete;
  ~TExclusiveSource() { Close(); }

  // 0, or errno: EBUSY when another program has the file open (or open for writing, without a
  // lease) or holds a lock on it; EISDIR/EINVAL for what is not a regular file.
  int Open(const std::string& path);
  void Close();

  // True while nobody has opened the file since Open (or, without a lease, nobody has it
  // open for writing) and it keeps the size and modification time it had at Open.
  bool Unchanged() const;
  // True when `path` names this very file (the same device and inode).
  bool IsAt(const std::string& path) const;
  // Whether a lease guards the file (Unchanged is cheap then: no search of /proc).
  bool Leased() const { return Leased_; }

  int Fd() const { return Fd_; }
  uint64_t Size() const { return static_cast<uint64_t>(Start_.st_size); }

 private:
  int Fd_ = -1;
  bool Leased_ = false;
  struct stat Start_ {};
};

}  // namespace quodra::host
