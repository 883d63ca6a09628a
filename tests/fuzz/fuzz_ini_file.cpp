// Profile files as a user may have edited them. Besides memory safety: every key a section
// lists reads back as listed, a file saved unchanged reads exactly as before, and a value
// written reads back (line ends made blanks, blanks around it and one pair of quotes removed).
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "host/ini_file.h"
#include "host/text_util.h"

using namespace quodra::host;

namespace {
void Check(bool ok) {
  if (!ok) std::abort();
}

std::string TempPath() {
  const char* dir = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : (getenv("TMPDIR") ? getenv("TMPDIR") : "/tmp");
  return std::string(dir) + "/quodra-fuzz-ini-" + std::to_string(getpid()) + ".ini";
}

struct TView {
  std::vector<std::string> Sections;
  std::vector<std::vector<std::pair<std::string, std::string>>> Keys;
  bool operator==(const TView&) const = default;
};

TView ViewOf(const TIniFile& ini) {
  TView v;
  v.Sections = ini.SectionNames();
  for (const auto& s : v.Sections) {
    v.Keys.push_back(ini.Keys(s));
    for (const auto& [key, value] : v.Keys.back()) {
      Check(ini.HasKey(s, key));
      std::string first;
      for (const auto& [k2, v2] : v.Keys.back())
        if (EqualsNoCase(k2, key)) {
          first = v2;
          break;
        }
      Check(ini.ReadString(s, key) == first);
    }
  }
  return v;
}

std::string Expected(std::string v) {
  for (char& c : v)
    if (c == '\r' || c == '\n' || c == '\0') c = ' ';
  size_t b = v.find_first_not_of(" \t");
  v = b == std::string::npos ? std::string() : v.substr(b, v.find_last_not_of(" \t") - b + 1);
  if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front()) v = v.substr(1, v.size() - 2);
  return v;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string path = TempPath();
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  }
  TIniFile ini(path);
  const TView before = ViewOf(ini);
  Check(ini.Save());
  Check(ViewOf(TIniFile(path)) == before);

  if (size >= 2) {
    const std::string section = "S" + std::to_string(data[0] % 8), key = "K" + std::to_string(data[1] % 8);
    const std::string value(reinterpret_cast<const char*>(data) + 2, std::min<size_t>(size - 2, 64));
    ini.WriteString(section, key, value);
    Check(ini.Save());
    TIniFile back(path);
    Check(back.ReadString(section, key) == Expected(value));
    back.DeleteKey(section, key);
    Check(!back.HasKey(section, key));
  }
  std::remove(path.c_str());
  return 0;
}
