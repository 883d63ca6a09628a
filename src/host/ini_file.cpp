#include "ini_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "text_util.h"

namespace quodra::host {
namespace {

std::string TrimBlanks(const std::string& s) {
  size_t b = s.find_first_not_of(" \t");
  if (b == std::string::npos) return {};
  size_t e = s.find_last_not_of(" \t");
  return s.substr(b, e - b + 1);
}

// "[name]" -> name (trimmed); empty optional when the line is not a section header.
bool SectionName(const std::string& line, std::string& name) {
  std::string t = TrimBlanks(line);
  if (t.size() < 2 || t.front() != '[') return false;
  size_t close = t.find(']');
  if (close == std::string::npos) return false;
  name = TrimBlanks(t.substr(1, close - 1));
  return true;
}

bool KeyOf(const std::string& line, std::string& key, std::string& value) {
  std::string t = TrimBlanks(line);
  if (t.empty() || t[0] == ';' || t[0] == '[') return false;
  size_t eq = line.find('=');
  if (eq == std::string::npos) return false;
  key = TrimBlanks(line.substr(0, eq));
  value = line.substr(eq + 1);
  return true;
}

std::string Unquote(std::string v) {
  if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
    v = v.substr(1, v.size() - 2);
  return v;
}

// A value must stay on its own line.
std::string OneLine(std::string v) {
  for (char& c : v)
    if (c == '\r' || c == '\n' || c == '\0') c = ' ';
  return v;
}

}  // namespace

TIniFile::TIniFile(std::string path) : FilePath(std::move(path)) {
  std::ifstream in(FilePath, std::ios::binary);
  if (!in) return;
  FileExisted = true;
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    Lines.push_back({line});
  }
}

int TIniFile::FindSection(const std::string& section) const {
  std::string name;
  for (size_t i = 0; i < Lines.size(); ++i)
    if (SectionName(Lines[i].Text, name) && EqualsNoCase(name, section)) return static_cast<int>(i);
  return -1;
}

int TIniFile::FindKey(int sectionLine, const std::string& key) const {
  std::string name, k, v;
  for (size_t i = sectionLine + 1; i < Lines.size(); ++i) {
    if (SectionName(Lines[i].Text, name)) break;
    if (KeyOf(Lines[i].Text, k, v) && EqualsNoCase(k, key)) return static_cast<int>(i);
  }
  return -1;
}

namespace {
std::string ReadValue(const std::string& raw) { return Unquote(TrimBlanks(raw)); }
}  // namespace

std::string TIniFile::ReadString(const std::string& section, const std::string& key) const {
  int s = FindSection(section);
  if (s < 0) return {};
  int k = FindKey(s, key);
  if (k < 0) return {};
  std::string name, value;
  KeyOf(Lines[k].Text, name, value);
  return ReadValue(value);
}

bool TIniFile::HasKey(const std::string& section, const std::string& key) const {
  int s = FindSection(section);
  return s >= 0 && FindKey(s, key) >= 0;
}

std::vector<std::string> TIniFile::SectionNames() const {
  std::vector<std::string> names;
  std::string name;
  for (const auto& l : Lines)
    if (SectionName(l.Text, name)) names.push_back(name);
  return names;
}

std::vector<std::pair<std::string, std::string>> TIniFile::Keys(const std::string& section) const {
  std::vector<std::pair<std::string, std::string>> keys;
  int s = FindSection(section);
  if (s < 0) return keys;
  std::string name, key, value;
  for (size_t i = s + 1; i < Lines.size() && !SectionName(Lines[i].Text, name); ++i)
    if (KeyOf(Lines[i].Text, key, value)) keys.emplace_back(key, ReadValue(value));
  return keys;
}

void TIniFile::DeleteKey(const std::string& section, const std::string& key) {
  int s = FindSection(section);
  if (s < 0) return;
  for (int k = FindKey(s, key); k >= 0; k = FindKey(s, key)) Lines.erase(Lines.begin() + k);
}

void TIniFile::WriteString(const std::string& section, const std::string& key, const std::string& value) {
  std::string line = OneLine(key) + "=" + OneLine(value);
  int s = FindSection(section);
  if (s < 0) {
    Lines.push_back({"[" + section + "]"});
    Lines.push_back({line});
    return;
  }
  int k = FindKey(s, key);
  if (k >= 0) {
    Lines[k].Text = line;
    return;
  }
  // After the section's last non-blank line.
  size_t insertAt = s + 1;
  std::string name;
  for (size_t i = s + 1; i < Lines.size(); ++i) {
    if (SectionName(Lines[i].Text, name)) break;
    if (!TrimBlanks(Lines[i].Text).empty()) insertAt = i + 1;
  }
  Lines.insert(Lines.begin() + insertAt, {line});
}

bool TIniFile::Save() {
  std::string text;
  for (const auto& l : Lines) text += l.Text + "\r\n";

  mode_t mode = 0600;
  struct stat st {};
  if (::stat(FilePath.c_str(), &st) == 0) mode = st.st_mode & 07777;

  std::string tmpl = FilePath + ".XXXXXX";
  int fd = ::mkstemp(tmpl.data());
  if (fd < 0) return false;
  bool ok = ::fchmod(fd, mode) == 0;
  size_t done = 0;
  while (ok && done < text.size()) {
    ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) ok = false; else done += n;
  }
  ok = ok && ::fsync(fd) == 0;
  int savedErrno = errno;
  ok = (::close(fd) == 0) && ok;
  if (ok && ::rename(tmpl.c_str(), FilePath.c_str()) == 0) {
    FileExisted = true;
    return true;
  }
  savedErrno = errno ? errno : savedErrno;
  ::unlink(tmpl.c_str());
  errno = savedErrno;
  return false;
}

std::string ReadProfileValue(const std::string& path, const std::string& section, const std::string& key) {
  return TIniFile(path).ReadString(section, key);
}

bool WriteProfileValue(const std::string& path, const std::string& section, const std::string& key,
                       const std::string& value) {
  TIniFile ini(path);
  ini.WriteString(section, key, value);
  return ini.Save();
}

}  // namespace quodra::host
