#pragma once
// Appends one file to another, block by block, as the file-copy and TFTP jobs use it.
#include <cstdint>
#include <string>

class TMainFrm;

// Result codes of AppendFile.
enum : uint16_t {
  kAppendOk = 0,
  kAppendCannotOpen = 2,     // missing, or locked by another program
  kAppendReadFailed = 5,
  kAppendSeekFailed = 6,
  kAppendWriteFailed = 7,    // a write wrote nothing (disk full, ...)
  kAppendSameFile = 11,
};

// Whether two names denote one file: equal when upper-cased without trailing blanks, or
// naming the same file on disk (links, "./" prefixes).
bool NamesSameFile(const std::string& a, const std::string& b);

// Appends `source` to the end of `dest` (created when missing; not created for an empty
// source). Both files are held under an exclusive lock for the whole copy. Logs
// "Appending..." with the running total and updates the byte counter of `frm` after every
// block, handles pending events, and stops early when frm.AbortRequested is set.
uint16_t AppendFile(TMainFrm& frm, const std::string& source, const std::string& dest);
