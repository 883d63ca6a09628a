#include "app/command_line.h"

#include "host/text_util.h"

namespace quodra::app {

using quodra::host::EqualsNoCase;
using quodra::host::UpperCase;

int FindSwitch(const TArguments& args, const std::string& sw) {
  for (size_t i = 0; i < args.size(); ++i)
    if (EqualsNoCase(args[i], sw)) return static_cast<int>(i) + 1;
  return -1;
}

bool IsSwitchArgument(const std::string& arg) {
  if (arg.empty() || arg[0] != '/') return false;
  std::string up = UpperCase(arg);
  if (up == "/VISIBLE" || up == "/CONFIG" || up == "/DEFAULT" || up.rfind("/ENTITY:", 0) == 0) return true;
  // Unknown switches are ignored, but on this platform a path that begins with "/" is the
  // usual way to name a profile file.
  return arg.find('/', 1) == std::string::npos;
}

std::string ProfileArgument(const TArguments& args) {
  std::string name;
  for (const auto& arg : args)
    if (!arg.empty() && !IsSwitchArgument(arg)) name = arg;  // an empty argument names nothing
  return name;
}

bool UsesLastProfile(const TArguments& args) {
  return args.empty() || FindSwitch(args, "/DEFAULT") > 0 || ProfileArgument(args).empty();
}

bool StartsMinimised(const TArguments& args) {
  return !args.empty() && FindSwitch(args, "/VISIBLE") < 0 && FindSwitch(args, "/CONFIG") < 0;
}

bool StartsUnattended(const TArguments& args) {
  return (!args.empty() && FindSwitch(args, "/CONFIG") < 0) || FindSwitch(args, "/DEFAULT") > 0;
}

}  // namespace quodra::app
