#pragma once
// Files already in place under their names whose bytes and names are not yet known to be on
// disk. A run that replaces many small files renames each into place at once (the rename is
// atomic: a killed process leaves the old file or the whole new one) and makes them all
// durable together, instead of syncing every file and its folder on its own.
//
// Flush before anything relies on them surviving a power loss: before the only other copy
// of one is removed (a remote delete) and before the run reports its outcome.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

namespace quodra::host {

class TPendingDurability {
 public:
  // Notes a file renamed into place without a sync of its bytes or its folder.
  static void Add(const std::string& path);
  // Makes every noted file durable: a few one by one (the file, then its folder), many with
  // one sync of each file system they are on. Returns 0 or the first errno; nothing is noted
  // afterwards either way (a failed sync cannot be repeated with any better hope).
  static int Flush();
  // Flush before the remote copy of `name` goes: 0, or the errno with `why` saying for the
  // log that the file was not deleted.
  static int FlushBeforeDeleting(const std::string& name, std::string& why);
  static size_t Pending();

  // Files ever noted; for tests that check what took this path.
  static inline std::atomic<uint64_t> Added{0};
};

}  // namespace quodra::host
