#include "online_state.h"

#include <cstdlib>
#include <fstream>
#include <sstream>

namespace quodra::host {
namespace {

std::optional<bool> g_override;

std::string ReadAll(const char* path) {
  std::ifstream in(path);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

}  // namespace

void SetOnlineOverride(std::optional<bool> online) { g_override = online; }

bool HasDefaultRoute(const std::string& ipv4RouteText, const std::string& ipv6RouteText) {
  // /proc/net/route: Iface Destination Gateway Flags ...; RTF_UP is 0x1.
  std::istringstream v4(ipv4RouteText);
  std::string line;
  std::getline(v4, line);  // heading
  while (std::getline(v4, line)) {
    std::istringstream f(line);
    std::string iface, dest, gw, flags;
    if (!(f >> iface >> dest >> gw >> flags)) continue;
    if (dest == "00000000" && (std::strtoul(flags.c_str(), nullptr, 16) & 0x1) && iface != "lo") return true;
  }
  // /proc/net/ipv6_route: dest prefixlen src srcprefix nexthop metric refcnt use flags iface.
  std::istringstream v6(ipv6RouteText);
  while (std::getline(v6, line)) {
    std::istringstream f(line);
    std::string dest, plen, src, splen, hop, metric, ref, use, flags, iface;
    if (!(f >> dest >> plen >> src >> splen >> hop >> metric >> ref >> use >> flags >> iface)) continue;
    if (dest == std::string(32, '0') && plen == "00" && iface != "lo" &&
        (std::strtoul(flags.c_str(), nullptr, 16) & 0x1) && (std::strtoul(flags.c_str(), nullptr, 16) & 0x200) == 0)
      return true;  // 0x200 is RTF_REJECT (the unreachable default of an offline machine)
  }
  return false;
}

bool IsComputerOnline() {
  if (g_override) return *g_override;
  if (const char* v = std::getenv("QUODRA_ONLINE"); v && *v) return std::string(v) != "0";
  return HasDefaultRoute(ReadAll("/proc/net/route"), ReadAll("/proc/net/ipv6_route"));
}

}  // namespace quodra::host
