#include "append_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "app/main_frm.h"
#include "host/event_wait.h"
#include "host/local_output_file.h"

namespace {

using quodra::host::TExclusiveSource;
using quodra::host::TLocalOutputFile;

constexpr size_t kBlockSize = 32767;
// Blocks copied per pass through the event loop (1 MiB).
constexpr size_t kBlocksPerPass = 32;

// Exclusive access to the destination for the whole copy: an open-file-description lock,
// which conflicts with every other program's fcntl lock on the file and goes with the file.
bool LockForWriting(int fd) {
  struct flock fl {};
  fl.l_type = F_WRLCK;
  fl.l_whence = SEEK_SET;
  return ::fcntl(fd, F_OFD_SETLK, &fl) == 0;
}

// Puts the destination back as it was before the copy, and says so.
void Undo(TMainFrm& frm, TLocalOutputFile& out, const std::string& dest, bool replace, bool created) {
  uint64_t length = out.StartLength();
  out.Rollback();
  if (replace) {
    frm.Log("Copy undone: " + dest + " left as it was");
  } else if (created && ::unlink(dest.c_str()) == 0) {
    frm.Log("Copy undone: " + dest + " removed again");
  } else {
    frm.Log("Copy undone: " + dest + " cut back to its " + std::to_string(length) + " bytes");
  }
}

}  // namespace

bool IsSameFile(const std::string& a, const std::string& b) {
  struct stat sa {}, sb {};
  return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
         sa.st_ino == sb.st_ino;
}

uint16_t AppendFile(TMainFrm& frm, const std::string& source, const std::string& dest) {
  TExclusiveSource held;
  return AppendFile(frm, source, dest, held);
}

uint16_t AppendFile(TMainFrm& frm, const std::string& source, const std::string& dest, TExclusiveSource& src,
                    bool replace, const std::string& deliveryKey) {
  src.Close();
  if (IsSameFile(source, dest)) return kAppendSameFile;

  if (src.Open(source) != 0) return kAppendCannotOpen;
  if (src.Size() == 0) {
    if (replace) ::unlink(dest.c_str());
    return kAppendOk;
  }

  // Created empty when missing; O_EXCL never takes over a file that appears meanwhile.
  bool created = false;
  if (!replace && ::access(dest.c_str(), F_OK) != 0) {
    int fd = ::open(dest.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    created = fd >= 0;
    if (created) ::close(fd);
  }
  quodra::host::ProcessPendingEvents();

  TLocalOutputFile out;
  auto mode = replace ? TLocalOutputFile::TMode::Replace : TLocalOutputFile::TMode::Append;
  if (out.Open(dest, mode) != 0 || (!replace && !LockForWriting(out.Fd()))) {
    out.Rollback();  // nothing written: the file is left as it is
    return kAppendCannotOpen;
  }
  // Asked under the destination's lock, where no other run can be appending: a run that
  // appended this very source and did not delete it (killed, or running beside this one).
  if (!deliveryKey.empty() && TLocalOutputFile::DeliveredBefore(dest, deliveryKey)) {
    out.Rollback();
    frm.Log("File " + source + " was appended to " + dest + " by another run that did not delete it");
    return kAppendOk;
  }
  quodra::host::ProcessPendingEvents();

  uint16_t code = kAppendOk;
  uint64_t total = 0;
  uint64_t logged = 0;  // the last block boundary logged
  for (;;) {
    // The kernel copies many blocks at a time; the log still counts every block, as a copy
    // block by block would.
    bool readFailed = false;
    ssize_t n = out.WriteFrom(src.Fd(), kBlockSize * kBlocksPerPass, readFailed);
    if (n < 0) {
      code = readFailed ? kAppendReadFailed : kAppendWriteFailed;
      break;
    }
    total += static_cast<uint64_t>(n);
    for (; logged + kBlockSize <= total; logged += kBlockSize)
      frm.Log("Appending..." + std::to_string(logged + kBlockSize) + " bytes");
    if (n == 0) {
      // The short last block, then the end of the source, which repeats the total.
      if (logged < total) frm.Log("Appending..." + std::to_string(total) + " bytes");
      frm.Log("Appending..." + std::to_string(total) + " bytes");
    }
    frm.SetByteCounter(std::to_string(total) + " bytes");
    quodra::host::ProcessPendingEvents();
    if (n == 0) break;
    // Under a lease, a program that opens the source meanwhile waits for us: let it go soon.
    if (frm.AbortRequested || (src.Leased() && !src.Unchanged())) break;
  }
  if (code == kAppendOk && !frm.AbortRequested && (!src.Unchanged() || total != src.Size())) {
    frm.Log("Source " + source + " changed during the copy");
    code = kAppendCannotOpen;
  }
  if (code == kAppendOk && !frm.AbortRequested) {
    // A destination made by this copy is only whole on disk with its name in the folder.
    out.NoteDeliveryOf(deliveryKey);
    if (out.Commit() == 0) {
      if (created) quodra::host::SyncFolderOf(dest);
      return kAppendOk;
    }
    code = kAppendWriteFailed;
  }
  Undo(frm, out, dest, replace, created);
  src.Close();
  return code;
}
