#include "program_folder.h"

#include <unistd.h>

#include <climits>
#include <vector>

namespace quodra::host {

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

}  // namespace quodra::host
