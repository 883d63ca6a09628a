#pragma once
// The command line: switches ("/VISIBLE", "/CONFIG", "/DEFAULT", "/ENTITY:...") and profile
// names. Switches match the whole argument in any letter case.
#include <string>
#include <vector>

namespace quodra::app {

using TArguments = std::vector<std::string>;  // without the program itself

// 1-based index of the first argument equal to `sw` in any letter case; -1 when none is.
int FindSwitch(const TArguments& args, const std::string& sw);

// "--help" and "--version" are answered before anything else looks at the arguments: the
// first of them among the arguments wins. Any other argument keeps the rules below.
enum class TInfoRequest { None, Help, Version };
TInfoRequest FindInfoRequest(const TArguments& args);
// The texts printed for them (standard output, exit status 0).
std::string HelpText(const std::string& programName);
std::string VersionText(const std::string& programName);

// True when the argument is a switch rather than a profile name. An argument beginning
// with "/" is a switch, except that an absolute path ("/srv/profiles/daily", a "/" after
// the first character) names a profile.
bool IsSwitchArgument(const std::string& arg);

// The profile named on the command line: the last argument that is not a switch; empty
// when there is none.
std::string ProfileArgument(const TArguments& args);

// True when the profile to use is the remembered last one: no argument at all, "/DEFAULT",
// or no profile name among the arguments.
bool UsesLastProfile(const TArguments& args);

// True when the window starts minimised: there are arguments, and neither "/VISIBLE" nor
// "/CONFIG" is among them.
bool StartsMinimised(const TArguments& args);

// True when the transfer starts by itself (once the profile exists): arguments without
// "/CONFIG", or "/DEFAULT".
bool StartsUnattended(const TArguments& args);

}  // namespace quodra::app
