#include "program_folder.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <vector>

namespace quodra::host {
namespace {
constexpr char kPackageName[] = "quodra-ftp";

bool IsFolder(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string WithSlash(std::string folder) {
  if (folder.empty() || folder.back() != '/') folder += '/';
  return folder;
}
}  // namespace

std::string ProgramPath() {
  std::vector<char> buf(PATH_MAX + 1);
  ssize_t n = ::readlink("/proc/self/exe", buf.data(), buf.size() - 1);
  if (n <= 0) return {};
  return std::string(buf.data(), static_cast<size_t>(n));
}

std::string ProgramFolder() {
  std::string p = ProgramPath();
  size_t slash = p.rfind('/');
  return slash == std::string::npos ? std::string("./") : p.substr(0, slash + 1);
}

std::string ProgramFileName() {
  std::string p = ProgramPath();
  size_t slash = p.rfind('/');
  return slash == std::string::npos ? p : p.substr(slash + 1);
}

std::string InstalledDocFolder(const std::string& programFolder) {
  std::string folder = WithSlash(programFolder);
  folder.pop_back();
  size_t slash = folder.rfind('/');
  std::string prefix = slash == std::string::npos ? std::string() : folder.substr(0, slash + 1);
  return prefix + "share/doc/" + kPackageName + "/";
}

bool RunsInstalled(const std::string& programFolder) {
  if (::access(programFolder.c_str(), W_OK) != 0) return true;
  std::string folder = WithSlash(programFolder);
  bool inBin = folder.size() >= 5 && folder.compare(folder.size() - 5, 5, "/bin/") == 0;
  return inBin && IsFolder(InstalledDocFolder(folder));
}

std::string DocumentFolder(const std::string& programFolder) {
  return RunsInstalled(programFolder) ? InstalledDocFolder(programFolder) : programFolder;
}

std::string UserConfigFolder() {
  if (const char* dir = std::getenv("XDG_CONFIG_HOME"); dir && *dir == '/') return WithSlash(dir);
  std::string home;
  if (const char* h = std::getenv("HOME"); h && *h)
    home = h;
  else if (const passwd* pw = ::getpwuid(::getuid()))
    home = pw->pw_dir;
  return WithSlash(home) + ".config/";
}

bool MakePrivateFolders(const std::string& folder) {
  std::string path = WithSlash(folder);
  for (size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1)) {
    std::string part = path.substr(0, slash);
    if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return false;
  }
  return IsFolder(path);
}

}  // namespace quodra::host
