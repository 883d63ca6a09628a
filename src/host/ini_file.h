#pragma once
// Settings (INI) files with the reading rules of the classic private-profile functions:
// section and key names match without regard to case, blanks around a value are removed,
// one pair of matching quotes is removed, and a missing file, section or key reads as the
// empty text. A value is read whole, however long: a source list or a path cut at a fixed
// length would drop names unsaid or write another file. Writing keeps the order of existing
// keys, ends lines with CR LF and replaces the file atomically; new files are owner-only (0600).
#include <string>
#include <utility>
#include <vector>

namespace quodra::host {

class TIniFile {
 public:
  // Reads `path`; a missing or unreadable file gives an empty document.
  explicit TIniFile(std::string path);

  const std::string& Path() const { return FilePath; }
  bool Exists() const { return FileExisted; }

  std::string ReadString(const std::string& section, const std::string& key) const;
  bool HasKey(const std::string& section, const std::string& key) const;
  // The section names in file order, and the keys of a section with their values as
  // ReadString gives them.
  std::vector<std::string> SectionNames() const;
  std::vector<std::pair<std::string, std::string>> Keys(const std::string& section) const;
  // Changes the key in place, or appends it to its section (created at the end when missing).
  void WriteString(const std::string& section, const std::string& key, const std::string& value);
  void DeleteKey(const std::string& section, const std::string& key);
  // Writes the document back. False (with errno set) when the file cannot be written.
  bool Save();

 private:
  struct TLine {
    std::string Text;  // the line as it stands, without its line end
  };
  int FindSection(const std::string& section) const;  // index of the "[...]" line or -1
  int FindKey(int sectionLine, const std::string& key) const;

  std::string FilePath;
  bool FileExisted = false;
  std::vector<TLine> Lines;
};

// One-key convenience calls, as the profile code uses them.
std::string ReadProfileValue(const std::string& path, const std::string& section, const std::string& key);
// False when the file could not be written.
bool WriteProfileValue(const std::string& path, const std::string& section, const std::string& key,
                       const std::string& value);

}  // namespace quodra::host
