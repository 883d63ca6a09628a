#pragma once
// Profile names and the files that hold them: "daily" is the file daily.FTP in the profile
// folder; a name with a folder part ("/", "\" or ":") keeps its folder.
#include <string>
#include <vector>

namespace quodra::app {

inline constexpr char kProfileExtension[] = ".FTP";

// Where profiles without a folder part live: the folder named by QUODRA_PROFILE_DIR when
// set; else the program's folder when the program runs from a build or a portable copy;
// else, installed, $XDG_CONFIG_HOME/quodra-ftp/profiles/ (created with mode 0700, since
// profiles hold passwords). Always ends with "/".
std::string ProfileFolder();
// The same choice from given facts; `installed` is host::RunsInstalled of the program's folder.
std::string ChooseProfileFolder(const char* overrideDir, const std::string& programFolder, bool installed,
                                const std::string& configFolder);

// True when the name has a folder part.
bool HasFolderPart(const std::string& name);
// Everything up to and including the last "/", "\" or ":" (empty without a folder part).
std::string FolderOf(const std::string& path);
// The file-name part: everything after the last "/", "\" or ":".
std::string FileNameOf(const std::string& path);
// `path` with the extension of its file-name part (from its last ".") replaced by `ext`;
// `ext` is appended when there is none.
std::string ChangeFileExt(const std::string& path, const std::string& ext);
// The profile name of a profile file: its file name without extension.
std::string ProfileNameOf(const std::string& path);

// The full path of the file of profile `name`: `folder` is put in front when the name has
// no folder part, the extension becomes ".FTP", and "\" separators become "/".
std::string ResolveProfilePath(const std::string& name, const std::string& folder);

// The file a path ends at once its symbolic links are followed (also one that does not
// exist yet, named by a dangling link): saving replaces that file, never the link. A path
// that is no link, or a loop of links, is given back as it is.
std::string LinkTarget(const std::string& path);

// The names (file names without extension) of the files that match `mask` ("folder/*.FTP"),
// in the order the file system returns them. Hidden files are included, folders never.
std::vector<std::string> ListProfileNames(const std::string& mask);

}  // namespace quodra::app
