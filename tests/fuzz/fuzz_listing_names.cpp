// A listing as a server sends it: split into lines, each line a name that is kept only when
// it is safe below the destination folder. Besides memory safety: the lines are those of a
// plain reference splitter (CR LF, LF or a lone CR ends a line, a NUL ends what is kept of
// it), and a name passed as safe is neither absolute nor climbs out with "..".
#include <cstdint>
#include <cstdlib>
#include <string>

#include "app/ftp_source_list.h"
#include <vector>

namespace {
void Check(bool ok) {
  if (!ok) std::abort();
}

bool Climbs(const std::string& name) {
  size_t start = 0;
  for (;;) {
    size_t end = name.find_first_of("/\\", start);
    std::string part = name.substr(start, end == std::string::npos ? std::string::npos : end - start);
    if (part == "..") return true;
    if (end == std::string::npos) return false;
    start = end + 1;
  }
}

// The same rules written the obvious way: every line end made a LF, split, cut at NUL.
std::vector<std::string> ReferenceLines(const std::string& listing) {
  std::string text;
  for (size_t i = 0; i < listing.size(); ++i) {
    if (listing[i] == '\r') {
      text += '\n';
      if (i + 1 < listing.size() && listing[i + 1] == '\n') ++i;
    } else {
      text += listing[i];
    }
  }
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    lines.push_back(line.substr(0, line.find('\0')));
    start = end + 1;
  }
  return lines;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string listing(reinterpret_cast<const char*>(data), size);
  const auto lines = SplitListing(listing);
  Check(lines == ReferenceLines(listing));
  for (const auto& line : lines) {
    Check(line.find_first_of(std::string("\r\n\0", 3)) == std::string::npos);
    for (bool fromListing : {true, false}) {
      if (!IsSafeLocalName(line, fromListing)) continue;
      Check(!line.empty() && line[0] != '/' && line[0] != '\\');
      Check(!(line.size() >= 2 && line[1] == ':'));
      Check(!Climbs(line));
      if (fromListing) Check(line.find_first_of("/\\") == std::string::npos && line != ".");
    }
    const std::string folder = FolderPart(line);
    Check(line.compare(0, folder.size(), folder) == 0);
  }
  return 0;
}
