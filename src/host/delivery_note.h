#pragma once
// Appends whose source is still to be deleted. An append is not idempotent: a run killed after
// the bytes are in place but before its source is deleted (a remote file, a hand-over file)
// would append the same source a second time on the next run. So such an append notes its
// source beside the destination (`.NAME.quodra-delivered`), durably, before the caller deletes
// the source, and the caller ends the note once the source is gone. A later run that meets the
// same source (the same key) while the destination still holds those bytes (the same file, at
// least as long as the append left it) deletes the source without appending it again.
//
// A key names one version of a source: where it is and what it was (size and time), so that
// a new file under the same name is another key.
//
// The note is only ever appended to: "+DEV INO AFTER KEY" when an append is in place, "-KEY"
// when its source is gone. A line a crash cut (no line end) was never written. The note goes
// once none of its entries is open; one that keeps an entry open (a source whose delete keeps
// failing) is written anew with its open entries alone once it grows beyond 16 KiB, beside it
// and renamed over it (a reader sees the old note or the new one, never a part).
#include <cstdint>
#include <functional>
#include <string>

namespace quodra::host {

// Notes that the destination `target` (open as `destFd`, `after` bytes long once the append is
// in place) holds the bytes of `key`. The note's bytes are synced before it returns; a new
// note's name is on disk only once the caller syncs the folder (the append's end does, before
// anything relies on the note). 0 or errno.
int NoteDelivered(const std::string& target, int destFd, uint64_t after, const std::string& key);
// Whether `target` holds the bytes of `key` by an append whose source was never deleted.
bool WasDelivered(const std::string& target, const std::string& key);
// The source of `key` is gone: its entry is closed, and the note goes once nothing is open.
void EndDelivery(const std::string& target, const std::string& key);

// Called with "compacted" once a note written anew is whole beside the old one and before it
// takes its place, so that crash tests can stop the process there. Empty in the program.
inline std::function<void(const char* step)> OnNoteStep;

}  // namespace quodra::host
