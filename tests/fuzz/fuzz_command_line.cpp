// The command line, split at NUL bytes into arguments. Besides memory safety: the profile
// named is one of the arguments and not a switch, and the start decisions agree with the
// switches found.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "app/command_line.h"

using namespace quodra::app;

namespace {
void Check(bool ok) {
  if (!ok) std::abort();
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  TArguments args;
  if (size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    size_t start = 0;
    for (;;) {
      size_t end = text.find('\0', start);
      args.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
      if (end == std::string::npos) break;
      start = end + 1;
    }
  }
  const std::string profile = ProfileArgument(args);
  if (!profile.empty()) {
    Check(!IsSwitchArgument(profile));
    bool found = false;
    for (const auto& a : args) found |= a == profile;
    Check(found);
  }
  for (const char* sw : {"/VISIBLE", "/CONFIG", "/DEFAULT"}) {
    const int at = FindSwitch(args, sw);
    Check(at == -1 || (at >= 1 && static_cast<size_t>(at) <= args.size() && IsSwitchArgument(args[at - 1])));
  }
  const bool hasDefault = FindSwitch(args, "/DEFAULT") > 0;
  const bool hasConfig = FindSwitch(args, "/CONFIG") > 0;
  Check(UsesLastProfile(args) == (args.empty() || hasDefault || profile.empty()));
  Check(StartsUnattended(args) == ((!args.empty() && !hasConfig) || hasDefault));
  Check(StartsMinimised(args) == (!args.empty() && FindSwitch(args, "/VISIBLE") < 0 && !hasConfig));
  return 0;
}
