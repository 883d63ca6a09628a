#include "source_list.h"

#include "host/partial_file_store.h"
#include "host/text_util.h"

std::vector<std::string> SplitItems(const std::string& list, char delimiter) {
  // The whole list, however long: names past a fixed length would be dropped unsaid.
  const std::string text = quodra::host::Trim(list);
  std::vector<std::string> items;
  std::string item;
  for (char c : text) {
    if (c == delimiter) {
      while (!item.empty() && item.back() == ' ') item.pop_back();
      items.push_back(std::move(item));
      item.clear();
    } else if (!(c == ' ' && !item.empty() && item.back() == ' ')) {
      item += c;
    }
  }
  while (!item.empty() && item.back() == ' ') item.pop_back();
  if (!item.empty()) items.push_back(std::move(item));
  return items;
}

std::string ItemAt(const std::vector<std::string>& items, int number) {
  const size_t at = number < 1 ? 0 : static_cast<size_t>(number) - 1;
  return at < items.size() ? items[at] : std::string();
}

namespace {

bool IsStar(char c) { return c == '*' || c == '%'; }

// One mask position against one name character; `width` is how many mask characters it took.
bool MatchOne(char n, const std::string& mask, size_t j, size_t& width) {
  width = 1;
  if (mask[j] == '?') return true;
  if (mask[j] == '\\' && j + 1 < mask.size()) {
    width = 2;
    return n == '*' || n == '%' || n == '?';
  }
  return n == mask[j];
}

// Linear-time wildcard match: on a mismatch the last star takes one more character.
bool MatchPlain(const std::string& name, const std::string& mask) {
  size_t i = 0, j = 0;
  size_t starJ = std::string::npos, starI = 0;
  while (i < name.size()) {
    size_t width = 1;
    if (j < mask.size() && IsStar(mask[j])) {
      starJ = j++;
      starI = i;
    } else if (j < mask.size() && MatchOne(name[i], mask, j, width)) {
      ++i;
      j += width;
    } else if (starJ != std::string::npos) {
      j = starJ + 1;
      i = ++starI;
    } else {
      return false;
    }
  }
  while (j < mask.size() && IsStar(mask[j])) ++j;
  return j == mask.size();
}

}  // namespace

bool MatchMask(const std::string& name, const std::string& mask) {
  if (!mask.empty() && mask[0] == '!') return !MatchPlain(name, mask.substr(1));
  return MatchPlain(name, mask);
}

bool IsMask(const std::string& item) { return item.find_first_of("*?") != std::string::npos; }

bool IsSafeLocalName(const std::string& name, bool fromListing) {
  if (name.empty()) return false;
  for (unsigned char c : name)
    if (c < 0x20 || c == 0x7f) return false;
  if (name[0] == '/' || name[0] == '\\') return false;
  if (name.size() >= 2 && name[1] == ':') return false;  // a drive letter
  if (fromListing && name.find_first_of("/\\") != std::string::npos) return false;
  size_t start = 0;
  while (start <= name.size()) {
    size_t end = name.find_first_of("/\\", start);
    if (end == std::string::npos) end = name.size();
    std::string part = name.substr(start, end - start);
    if (part == ".." || (fromListing && part == ".")) return false;
    // A file of the shape of our own beside a destination would be taken for one of them (a
    // partial, a resume record, a journal): swept away, resumed or cut back by a later run.
    if (end == name.size() && quodra::host::IsWorkFileName(part)) return false;
    start = end + 1;
  }
  return true;
}

std::string FolderPart(const std::string& name) {
  size_t last = name.find_last_of("/\\:");
  return last == std::string::npos ? std::string() : name.substr(0, last + 1);
}

std::vector<std::string> SplitListing(const std::string& listing) {
  std::vector<std::string> lines;
  std::string line;
  bool cut = false;  // a NUL was seen: the rest of this line is dropped
  size_t i = 0;
  auto endLine = [&] {
    lines.push_back(std::move(line));
    line.clear();
    cut = false;
  };
  while (i < listing.size()) {
    char c = listing[i++];
    if (c == '\n') {
      endLine();
    } else if (c == '\r') {
      if (i < listing.size() && listing[i] == '\n') ++i;
      endLine();
    } else if (c == '\0') {
      cut = true;
    } else if (!cut) {
      line += c;
    }
  }
  if (!line.empty() || cut) endLine();
  return lines;
}

std::string EscapeControl(const std::string& text) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(text.size());
  for (unsigned char c : text) {
    if (c >= 0x20 && c != 0x7f) {
      out += static_cast<char>(c);
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\t') {
      out += "\\t";
    } else {
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}
