#include "app/command_line.h"

#include "host/text_util.h"
#include "version_block.h"

namespace quodra::app {

using quodra::host::EqualsNoCase;
using quodra::host::UpperCase;

int FindSwitch(const TArguments& args, const std::string& sw) {
  for (size_t i = 0; i < args.size(); ++i)
    if (EqualsNoCase(args[i], sw)) return static_cast<int>(i) + 1;
  return -1;
}

TInfoRequest FindInfoRequest(const TArguments& args) {
  for (const auto& arg : args) {
    if (arg == "--help") return TInfoRequest::Help;
    if (arg == "--version") return TInfoRequest::Version;
  }
  return TInfoRequest::None;
}

std::string HelpText(const std::string& programName) {
  return "Usage: " + programName +
         " [/VISIBLE] [/CONFIG] [/DEFAULT] [/ENTITY:text] [PROFILE]\n"
         "Fetch files by FTP, TFTP or file copy as the profile PROFILE describes.\n"
         "Without arguments the window opens with the last profile used. With a profile\n"
         "the transfer starts by itself, the log goes to standard output, and the program\n"
         "ends when the transfer is over.\n"
         "\n"
         "  PROFILE        a profile name (looked up in the profile folder) or a path;\n"
         "                 the last one given wins\n"
         "  /VISIBLE       do not minimise the window; the transfer still starts\n"
         "  /CONFIG        open the profile for editing; nothing starts by itself\n"
         "  /DEFAULT       use the last profile and start its transfer\n"
         "  /ENTITY:text   accepted, no effect\n"
         "  --help         show this help and exit\n"
         "  --version      show the version and exit\n"
         "Switches match in any letter case; other arguments beginning with / are ignored.\n"
         "\n"
         "Environment:\n"
         "  QUODRA_PROFILE_DIR  folder of the profiles (default: the program's folder, or\n"
         "                      $XDG_CONFIG_HOME/quodra-ftp/profiles when installed)\n"
         "  XDG_CONFIG_HOME     user configuration folder (default ~/.config)\n"
         "  QUODRA_ONLINE       0 or 1: whether the computer counts as online\n"
         "  QUODRA_PAUSE_MS     length in ms of one second of pauses (default 1000)\n"
         "  QUODRA_PHONEBOOK    a simulated dial-up phonebook file\n"
         "  DISPLAY, WAYLAND_DISPLAY  without either, the program runs without a window\n"
         "\n"
         "Exit status:\n"
         "  0  the transfer did what the profile asked (also for --help and --version)\n"
         "  1  the transfer reported a failure, or the profile does not exist\n"
         "\n"
         "See the manual page quodra-ftp(1) for the profile keys and the files used.\n";
}

std::string VersionText(const std::string& programName) {
  namespace v = quodra::version;
  std::string version = std::to_string(v::kFileVersion[0]);
  for (int i = 1; i < 4; ++i) version += "." + std::to_string(v::kFileVersion[i]);
  return programName + " (" + v::kProductName + ") " + version + "\n" + v::kLegalCopyright + "\n";
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
