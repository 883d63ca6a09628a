#pragma once
// Whether the computer is online: true when a default route exists. The environment
// variable QUODRA_ONLINE ("0" or "1") overrides the answer, and tests can set it directly.
#include <optional>
#include <string>

namespace quodra::host {

bool IsComputerOnline();
void SetOnlineOverride(std::optional<bool> online);

// The route tables are parameters so that tests can feed their own.
bool HasDefaultRoute(const std::string& ipv4RouteText, const std::string& ipv6RouteText);

}  // namespace quodra::host
