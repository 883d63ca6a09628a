#pragma once
// The text rules of a fetch job's source list: items separated by ";", wildcard masks,
// and which remote names may become local file names.
#include <string>
#include <vector>

// The items of `list`, split at `delimiter`: the whole list is read (no length limit),
// trimmed, and runs of blanks become one blank; an item loses its trailing blanks. Items may
// be empty ("a;;b"); a last delimiter ends the list ("a;" is one item).
std::vector<std::string> SplitItems(const std::string& list, char delimiter);
// Item `number` of `items` (1-based; 1 or less gives the first); "" beyond the last.
std::string ItemAt(const std::vector<std::string>& items, int number);

// Whether `name` matches `mask` ("*" and "%" any run, "?" one character, "\" followed by
// any character: a literal "*", "%" or "?"; a leading "!" inverts the result). Letter case
// counts: callers upper-case both. Works for names and masks of any length.
bool MatchMask(const std::string& name, const std::string& mask);

// Whether an item is a mask (contains "*" or "?").
bool IsMask(const std::string& item);

// Whether a remote name can be used as a local path below a destination folder: not
// absolute, without a ".." component and without control characters. Names from a listing must also be plain file
// names (no folder separator at all).
bool IsSafeLocalName(const std::string& name, bool fromListing);

// The folder part of a remote name: everything up to and including its last "/", "\" or
// ":"; empty for a plain name.
std::string FolderPart(const std::string& name);

// The lines of a name listing: a line ends at CR LF, LF or a lone CR; a NUL ends the text of
// its line (the rest of that line is dropped). A last line without an end counts.
std::vector<std::string> SplitListing(const std::string& listing);

// `text` with control characters written as escapes ("\r", "\n", "\t", "\x1b"), so that a
// server's text cannot break or forge a log line.
std::string EscapeControl(const std::string& text);
