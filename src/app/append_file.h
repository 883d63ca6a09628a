#pragma once
// Appends one file to another, block by block, as the file-copy and TFTP jobs use it.
#include <cstdint>
#include <string>

#include "host/exclusive_source.h"

class TMainFrm;

// Result codes of AppendFile.
enum : uint16_t {
  kAppendOk = 0,
  kAppendCannotOpen = 2,     // missing, in use by another program, or changed while copied
  kAppendReadFailed = 5,
  kAppendSeekFailed = 6,
  kAppendWriteFailed = 7,    // a write failed (disk full, ...), or the copy did not reach the disk
  kAppendSameFile = 11,
};

// Whether two paths denote one file on disk (the same device and inode: links, "./"
// prefixes). Names that differ only in letter case are two files here.
bool IsSameFile(const std::string& a, const std::string& b);

// Appends `source` to the end of `dest` (created when missing; not created for an empty
// source), all or nothing: a copy that fails or is aborted leaves `dest` as it was before
// (and says so in the log); a copy that succeeds is on disk. The source must be free of
// writers (see TExclusiveSource) and must not change during the copy, else the result is 2.
// Logs "Appending..." with the running total and updates the byte counter of `frm` after
// every block, handles pending events, and stops early when frm.AbortRequested is set.
// `held` keeps the source open afterwards, so that the caller can tell whether it is still
// the file that was copied before it deletes it. With `replace` the copy takes the place of
// `dest` instead (an empty source removes it), and only once it is whole. `deliveryKey`
// names the source of an append that is deleted afterwards (host::TLocalOutputFile::
// NoteDeliveryOf); "" for none.
uint16_t AppendFile(TMainFrm& frm, const std::string& source, const std::string& dest,
                    quodra::host::TExclusiveSource& held, bool replace = false, const std::string& deliveryKey = "");
uint16_t AppendFile(TMainFrm& frm, const std::string& source, const std::string& dest);
