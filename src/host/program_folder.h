#pragma once
#include <string>

namespace quodra::host {

// Full path of the running executable (/proc/self/exe).
std::string ProgramPath();
// Its folder, ending with "/".
std::string ProgramFolder();
// The executable's file name without folder ("quodra-ftp").
std::string ProgramFileName();

}  // namespace quodra::host
