#pragma once
// The remembered last profile ("LASTPROFILE"), kept per executable in the user's
// configuration folder ($XDG_CONFIG_HOME/Quodra/<executable name>.ini).
#include <string>

namespace quodra::host {

class TLastProfileStore {
 public:
  // `programName` is the executable's file name; empty means the running executable.
  explicit TLastProfileStore(std::string programName = {});

  // The stored value, whole; empty when missing.
  std::string Read() const;
  void Write(const std::string& profilePath);
  std::string FilePath() const;

 private:
  std::string ProgramName;
};

}  // namespace quodra::host
