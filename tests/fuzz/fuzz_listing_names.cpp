// A listing as a server sends it: split into lines, each line a name that is kept only when
// it is safe below the destination folder. Besides memory safety: the lines put together
// with their line ends give the listing back, no line holds a line end, and a name passed as
// safe is neither absolute nor climbs out with "..".
#include <cstdint>
#include <cstdlib>
#include <string>

#include "app/ftp_source_list.h"
#include "app/listing_lines.h"

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
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string listing(reinterpret_cast<const char*>(data), size);
  const auto lines = ListingLines(listing);
  size_t at = 0;
  for (const auto& line : lines) {
    Check(line.find('\n') == std::string::npos);
    Check(listing.compare(at, line.size(), line) == 0);
    at += line.size();
    if (at < listing.size() && listing[at] == '\r' && (at + 1 == listing.size() || listing[at + 1] == '\n')) ++at;
    if (at < listing.size()) {
      Check(listing[at] == '\n');
      ++at;
    }
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
  Check(at == listing.size());
  return 0;
}
