#pragma once
// A temporary folder removed with everything in it at the end of the test.
#include <set>
#include <string>

namespace quodra::test {

class TTempDir {
 public:
  TTempDir();
  ~TTempDir();
  TTempDir(const TTempDir&) = delete;
  TTempDir& operator=(const TTempDir&) = delete;

  // The folder, ending with "/".
  const std::string& Path() const { return Dir; }
  std::string File(const std::string& name) const { return Dir + name; }

 private:
  std::string Dir;
};

void WriteFile(const std::string& path, const std::string& bytes);
std::string ReadFile(const std::string& path);  // empty when missing
bool FileExists(const std::string& path);
// The names in `folder` without "." and ".." (empty when it cannot be read).
std::set<std::string> FolderNames(const std::string& folder);
// Deterministic pseudo-random bytes (for transfer tests).
std::string PatternBytes(size_t size, unsigned seed = 1);

}  // namespace quodra::test
