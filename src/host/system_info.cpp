#include "system_info.h"

#include <ifaddrs.h>
#include <net/if.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysinfo.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

namespace quodra::host {

uint64_t TotalRamBytes() {
  struct sysinfo si {};
  if (::sysinfo(&si) != 0) return 0;
  return static_cast<uint64_t>(si.totalram) * si.mem_unit;
}

bool NetworkPresent() {
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) return false;
  bool found = false;
  for (ifaddrs* i = list; i && !found; i = i->ifa_next)
    found = (i->ifa_flags & IFF_UP) && !(i->ifa_flags & IFF_LOOPBACK);
  ::freeifaddrs(list);
  return found;
}

std::string ComputerName() {
  char buf[256] = {};
  if (::gethostname(buf, sizeof(buf) - 1) != 0) return {};
  std::string s(buf);
  if (s.size() > 20) s.resize(20);
  return s;
}

std::string UserName() {
  std::string s;
  if (passwd* pw = ::getpwuid(::geteuid())) s = pw->pw_name;
  else if (const char* u = std::getenv("USER")) s = u;
  if (s.size() > 512) s.resize(512);
  return s;
}

std::string OperatingSystemNameFrom(const std::string& text) {
  std::istringstream in(text);
  std::string line, pretty, name;
  auto value = [](std::string v) {
    if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front()) v = v.substr(1, v.size() - 2);
    return v;
  };
  while (std::getline(in, line)) {
    if (line.rfind("PRETTY_NAME=", 0) == 0) pretty = value(line.substr(12));
    else if (line.rfind("NAME=", 0) == 0) name = value(line.substr(5));
  }
  return pretty.empty() ? name : pretty;
}

std::string OperatingSystemName() {
  for (const char* p : {"/etc/os-release", "/usr/lib/os-release"}) {
    std::ifstream in(p);
    if (!in) continue;
    std::stringstream ss;
    ss << in.rdbuf();
    return OperatingSystemNameFrom(ss.str());
  }
  return {};
}

std::string KernelMajorMinor() {
  utsname u{};
  if (::uname(&u) != 0) return {};
  unsigned major = 0, minor = 0;
  if (std::sscanf(u.release, "%u.%u", &major, &minor) != 2) return {};
  return std::to_string(major) + "." + std::to_string(minor);
}

std::optional<uint64_t> DiskFreeBytes(const std::string& path) {
  struct statvfs v {};
  if (::statvfs(path.c_str(), &v) != 0) return std::nullopt;
  return static_cast<uint64_t>(v.f_bavail) * v.f_frsize;
}

std::optional<TFileFacts> FileFacts(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return std::nullopt;
  return TFileFacts{static_cast<int64_t>(st.st_size), static_cast<int64_t>(st.st_mtime)};
}

}  // namespace quodra::host
