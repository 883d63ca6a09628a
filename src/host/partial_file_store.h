#pragma once
// The files a download keeps beside its destination `folder/NAME` while it is not whole, and
// the rules for finding them again after a run that was killed or lost its power:
//
//   .NAME.quodra-part          the staged bytes (stable name: a later run can resume them)
//   .NAME.XXXXXX.quodra-part   staged bytes of a second writer of the same destination
//   .NAME.quodra-resume        which remote file the stable partial holds the start of
//   .NAME.quodra-journal       an append in progress: the destination's length before it
//   .NAME.quodra-delivered     appends whose source is still to be deleted (delivery_note.h)
//
// NAME stands for WorkStemOf(NAME): the name itself, or for a name too long to carry the
// longest of these additions within NAME_MAX, a shorter stem derived from it.
//
// Every one of them is held with flock(LOCK_EX) by the process that uses it, so that another
// run tells a live writer's files (locked) from those of a dead one (free). A free journal
// means an append was cut: the destination is cut back to the length it records. A free
// partial is reused by a download of the same remote file, or removed.
#include <cstdint>
#include <string>

#include "host/remote_file_identity.h"

namespace quodra::host {

std::string FolderOf(const std::string& path);
std::string BaseOf(const std::string& path);
// The destination's name itself when `.NAME.XXXXXX.quodra-part` fits in NAME_MAX. A longer
// name becomes its start, cut on a UTF-8 character boundary, then "~" and 16 hex digits of a
// hash of the whole name: the same name always gives the same stem (a later run finds its
// files again), and names that share their start get stems of their own.
std::string WorkStemOf(const std::string& name);
std::string PartialPathOf(const std::string& target);
std::string ResumeRecordPathOf(const std::string& target);
std::string JournalPathOf(const std::string& target);
std::string DeliveryNotePathOf(const std::string& target);

// The content of a work file from its start, cut after a little more than `limit` bytes.
std::string ReadWorkFile(int fd, size_t limit);

// fsync of a folder (EINVAL from file systems that cannot is no error). 0 or errno.
int SyncFolder(const std::string& folder);

// Opens `path` (created with mode 0600 when `create`) and locks it without waiting. The name
// is checked to still lead to the locked file, so a file another run removed or replaced
// meanwhile is never taken. Returns the descriptor or -errno: -EWOULDBLOCK while a live
// process holds it, -ENOENT when it is missing (and not to be created). `wait`: waits for a
// live holder instead (for files held for a few writes at most).
int OpenLocked(const std::string& path, bool create, bool wait = false);

// Removes `path` if it is still the file open as `fd` (which the caller has locked).
void UnlinkIfSame(const std::string& path, int fd);

// What the record beside a resumable partial says.
struct TResumeRecord {
  TRemoteFileIdentity Remote;
  uint64_t Checked = 0;  // bytes of the partial known to be on disk (synced)
  std::string Boot;      // the boot the partial was written in
};

bool ReadResumeRecord(const std::string& path, TResumeRecord& record);
// Written aside and renamed into place, so a reader sees the old record or the new one.
// `durable`: synced, with its folder, before it returns; without, a power loss may leave the
// old record, none, or one that is not whole (which no reader takes).
int WriteResumeRecord(const std::string& path, const TResumeRecord& record, bool durable = true);
// Identifies this boot: bytes written since it began are in the page cache if not on disk.
const std::string& BootId();

// An append cut by a dead process: the destination goes back to the length recorded in its
// journal (when it is still the same file and longer), then the journal goes. 0 when there
// was nothing to repair or it is repaired, EWOULDBLOCK while a live writer appends, or errno.
int RepairCutAppend(const std::string& target);
// Same, with the journal already open and locked as `journalFd`; the journal stays.
int RepairFromJournal(int journalFd, const std::string& target);
// Records `length` and the identity of `destFd` in the locked journal, durably (the journal's
// name too) before the destination may grow; `created`: the append made the destination, so
// undoing it removes the file again; `source`: the key the append will note as delivered
// once it is whole (delivery_note.h), so that a run killed after that note is not undone.
// 0 or errno.
int WriteJournal(int journalFd, const std::string& journalPath, int destFd, uint64_t length, bool created,
                 const std::string& source = "");

// Files this process made for itself (CreateUniqueFile): its own sweeps leave them alone, also
// once their descriptor is closed and their lock gone.
void NoteOwnFile(int fd, const std::string& path);

// Once per folder and process: repairs the cut appends of the folder and removes partial
// files that no live process holds (nor locks, nor leases: /proc/locks is asked before a file
// is opened) and that cannot be resumed (unique ones, stable ones without a record, a TFTP
// download's .temp.tftp.XXXXXX.part).
void SweepFolderOnce(const std::string& folder);

// Whether `name` (without a folder) has the shape of the files this program keeps beside a
// destination; a remote file of that name would be taken for one of them.
bool IsWorkFileName(const std::string& name);

}  // namespace quodra::host
