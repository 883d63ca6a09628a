// Compiles a message-table source folder into the "STR0" table layout.
//
//   str0_compiler <output file> <source folder>
//
// Every *.txt of the folder is read (in name order). Each line is "<id><TAB><text>"; the text
// may use the escapes \\ \t \r \n. Lines starting with # are comments, blank lines are
// ignored. A malformed line or a duplicate id fails the build with the file and line named.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

struct TSourceText {
  std::string Text;  // UTF-8
  std::string Where;
};

bool Fail(const std::string& where, const std::string& what) {
  std::cerr << where << ": error: " << what << "\n";
  return false;
}

bool Unescape(const std::string& in, std::string& out, const std::string& where) {
  out.clear();
  for (size_t i = 0; i < in.size(); ++i) {
    if (in[i] != '\\') {
      out += in[i];
      continue;
    }
    if (i + 1 >= in.size()) return Fail(where, "a backslash ends the line");
    switch (in[++i]) {
      case '\\': out += '\\'; break;
      case 't': out += '\t'; break;
      case 'r': out += '\r'; break;
      case 'n': out += '\n'; break;
      default: return Fail(where, std::string("unknown escape \\") + in[i]);
    }
  }
  return true;
}

// UTF-8 -> UTF-16 code units; false on a malformed sequence.
bool ToUtf16(const std::string& s, std::vector<uint16_t>& out) {
  out.clear();
  for (size_t i = 0; i < s.size();) {
    uint8_t b = static_cast<uint8_t>(s[i]);
    uint32_t cp = 0;
    size_t len = 0;
    if (b < 0x80) { cp = b; len = 1; }
    else if ((b & 0xE0) == 0xC0) { cp = b & 0x1F; len = 2; }
    else if ((b & 0xF0) == 0xE0) { cp = b & 0x0F; len = 3; }
    else if ((b & 0xF8) == 0xF0) { cp = b & 0x07; len = 4; }
    else return false;
    if (i + len > s.size()) return false;
    for (size_t k = 1; k < len; ++k) {
      uint8_t c = static_cast<uint8_t>(s[i + k]);
      if ((c & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (c & 0x3F);
    }
    i += len;
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out.push_back(static_cast<uint16_t>(0xD800 + (cp >> 10)));
      out.push_back(static_cast<uint16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      out.push_back(static_cast<uint16_t>(cp));
    }
  }
  return true;
}

bool ReadFolder(const fs::path& folder, std::map<uint32_t, TSourceText>& texts) {
  std::vector<fs::path> files;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(folder, ec))
    if (e.is_regular_file() && e.path().extension() == ".txt") files.push_back(e.path());
  if (ec) return Fail(folder.string(), ec.message());
  if (files.empty()) return Fail(folder.string(), "no .txt sources");
  std::sort(files.begin(), files.end());

  bool ok = true;
  for (const auto& file : files) {
    std::ifstream in(file, std::ios::binary);
    if (!in) return Fail(file.string(), "cannot be read");
    std::string line;
    for (int lineNo = 1; std::getline(in, line); ++lineNo) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      std::string where = file.string() + ":" + std::to_string(lineNo);
      if (line.empty() || line[0] == '#') continue;
      if (line.find_first_not_of(" \t") == std::string::npos) continue;
      size_t tab = line.find('\t');
      std::string idText = line.substr(0, tab);
      if (tab == std::string::npos || idText.empty() ||
          idText.find_first_not_of("0123456789") != std::string::npos || idText.size() > 9) {
        ok = Fail(where, "expected <id><TAB><text>");
        continue;
      }
      uint32_t id = static_cast<uint32_t>(std::stoul(idText));
      std::string text;
      if (!Unescape(line.substr(tab + 1), text, where)) {
        ok = false;
        continue;
      }
      auto [it, added] = texts.emplace(id, TSourceText{text, where});
      if (!added) ok = Fail(where, "duplicate id " + idText + " (first at " + it->second.Where + ")");
    }
  }
  return ok;
}

void PutU32(std::string& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out += static_cast<char>((v >> (8 * i)) & 0xFF);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::cerr << "usage: str0_compiler <output file> <source folder>\n";
    return 2;
  }
  std::map<uint32_t, TSourceText> texts;  // sorted by id
  if (!ReadFolder(argv[2], texts)) return 1;

  std::vector<std::vector<uint16_t>> units;
  for (const auto& [id, t] : texts) {
    units.emplace_back();
    if (!ToUtf16(t.Text, units.back())) {
      Fail(t.Where, "text is not valid UTF-8");
      return 1;
    }
  }
  std::string header, body;
  header += "STR0";
  PutU32(header, static_cast<uint32_t>(texts.size()));
  uint64_t offset = 8 + 12 * static_cast<uint64_t>(texts.size());
  size_t k = 0;
  for (const auto& [id, t] : texts) {
    const auto& u = units[k++];
    PutU32(header, id);
    PutU32(header, static_cast<uint32_t>(offset));
    PutU32(header, static_cast<uint32_t>(u.size()));
    for (uint16_t c : u) {
      body += static_cast<char>(c & 0xFF);
      body += static_cast<char>(c >> 8);
    }
    offset += 2 * u.size();
  }
  std::string tmp = std::string(argv[1]) + ".tmp";
  {
    std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
    out << header << body;
    if (!out.flush()) {
      std::cerr << tmp << ": error: cannot be written\n";
      return 1;
    }
  }
  std::error_code ec;
  fs::rename(tmp, argv[1], ec);
  if (ec) {
    std::cerr << argv[1] << ": error: " << ec.message() << "\n";
    return 1;
  }
  return 0;
}
