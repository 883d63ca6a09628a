#include "app/profile_paths.h"

#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "host/program_folder.h"

namespace quodra::app {
namespace {
constexpr char kFolderMarks[] = "/\\:";
}

std::string ChooseProfileFolder(const char* overrideDir, const std::string& programFolder, bool installed,
                                const std::string& configFolder) {
  std::string folder;
  if (overrideDir && *overrideDir)
    folder = overrideDir;
  else if (!installed)
    folder = programFolder;
  else
    folder = configFolder + "quodra-ftp/profiles";
  if (folder.empty() || folder.back() != '/') folder += '/';
  return folder;
}

std::string ProfileFolder() {
  namespace host = quodra::host;
  const char* overrideDir = std::getenv("QUODRA_PROFILE_DIR");
  std::string programFolder = host::ProgramFolder();
  bool installed = !(overrideDir && *overrideDir) && host::RunsInstalled(programFolder);
  std::string folder = ChooseProfileFolder(overrideDir, programFolder, installed, host::UserConfigFolder());
  // A failure shows later, where the profile is written ("Unable to write to ...").
  if (installed) host::MakePrivateFolders(folder);
  return folder;
}

bool HasFolderPart(const std::string& name) { return name.find_first_of(kFolderMarks) != std::string::npos; }

std::string FolderOf(const std::string& path) {
  size_t mark = path.find_last_of(kFolderMarks);
  return mark == std::string::npos ? std::string() : path.substr(0, mark + 1);
}

std::string FileNameOf(const std::string& path) {
  size_t mark = path.find_last_of(kFolderMarks);
  return mark == std::string::npos ? path : path.substr(mark + 1);
}

std::string ChangeFileExt(const std::string& path, const std::string& ext) {
  size_t mark = path.find_last_of(kFolderMarks);
  size_t nameStart = mark == std::string::npos ? 0 : mark + 1;
  size_t dot = path.rfind('.');
  if (dot == std::string::npos || dot < nameStart) return path + ext;
  return path.substr(0, dot) + ext;
}

std::string ProfileNameOf(const std::string& path) { return ChangeFileExt(FileNameOf(path), ""); }

std::string ResolveProfilePath(const std::string& name, const std::string& folder) {
  std::string path = HasFolderPart(name) ? name : folder + name;
  for (char& c : path)
    if (c == '\\') c = '/';
  return ChangeFileExt(path, kProfileExtension);
}

std::string LinkTarget(const std::string& path) {
  std::string current = path;
  for (int hops = 0; hops < 40; ++hops) {
    struct stat st {};
    if (::lstat(current.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return current;
    std::string target(static_cast<size_t>(st.st_size > 0 ? st.st_size : 255) + 1, '\0');
    ssize_t n = ::readlink(current.c_str(), target.data(), target.size());
    if (n <= 0 || static_cast<size_t>(n) >= target.size()) return path;
    target.resize(static_cast<size_t>(n));
    // A relative target is relative to the folder of the link.
    size_t slash = current.rfind('/');
    current = target.front() == '/' || slash == std::string::npos ? target : current.substr(0, slash + 1) + target;
  }
  return path;
}

std::vector<std::string> ListProfileNames(const std::string& mask) {
  std::vector<std::string> names;
  std::string folder = FolderOf(mask);
  std::string pattern = FileNameOf(mask);
  for (char& c : folder)
    if (c == '\\') c = '/';
  DIR* dir = ::opendir(folder.empty() ? "." : folder.c_str());
  if (!dir) return names;
  int dirFd = ::dirfd(dir);
  while (dirent* entry = ::readdir(dir)) {
    // Without FNM_PERIOD a leading "*" matches a leading dot, so hidden profiles are listed.
    if (::fnmatch(pattern.c_str(), entry->d_name, 0) != 0) continue;
    struct stat st {};
    if (::fstatat(dirFd, entry->d_name, &st, 0) != 0 || S_ISDIR(st.st_mode)) continue;
    names.push_back(ChangeFileExt(entry->d_name, ""));
  }
  ::closedir(dir);
  return names;
}

}  // namespace quodra::app
