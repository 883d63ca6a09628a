#pragma once
#include <string>

namespace quodra::host {

// Full path of the running executable (/proc/self/exe).
std::string ProgramPath();
// Its folder, ending with "/".
std::string ProgramFolder();
// The executable's file name without folder ("quodra-ftp").
std::string ProgramFileName();

// The documentation folder of an installed program: PREFIX/share/doc/quodra-ftp/ for a
// program in PREFIX/bin/. Ends with "/".
std::string InstalledDocFolder(const std::string& programFolder);
// True when the program runs as installed rather than from a build or a portable copy:
// its folder is not writable by the user, or it sits in a bin/ folder beside its own
// documentation folder (so that root's runs of /usr/bin/quodra-ftp do not fill /usr/bin).
bool RunsInstalled(const std::string& programFolder);
// Where documents such as "new.txt" are read for a program in `programFolder`: that folder,
// or the documentation folder when installed.
std::string DocumentFolder(const std::string& programFolder);
// $XDG_CONFIG_HOME, or ~/.config without it; ends with "/".
std::string UserConfigFolder();
// Creates `folder` and its missing parents with mode 0700. True when it exists afterwards.
bool MakePrivateFolders(const std::string& folder);

}  // namespace quodra::host
