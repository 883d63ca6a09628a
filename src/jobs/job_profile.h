#pragma once
// A profile as a fetch job needs it: a plain value, read from the profile (or the dialog)
// once when the job starts, so that the walk never looks at widgets and runs without any.
#include <cstdint>
#include <string>

namespace quodra::jobs {

struct TJobProfile {
  // --- the remote side ---
  std::string ServerName;
  std::string Port;  // a number or a service name; "" for the protocol's default
  std::string Login;
  std::string Password;
  std::string DefaultFolder;  // the remote folder to change into; "" stays in the login folder
  bool Passive = true;
  bool Binary = true;
  std::string Security;     // FTP: "" plain, "E" explicit TLS, "I" implicit TLS
  std::string Fingerprint;  // certificate fingerprint to pin ("" checks CA and name)
  int32_t TransferTimeOut = 1000;  // ticks of 55 ms, as the profile stores them
  int32_t ConnectTimeOut = 300;

  // --- the walk ---
  std::string SourceFile;       // ";"-separated names and masks
  std::string DestinationFile;  // a folder when it ends in "/" or "\"
  bool Overwrite = false;       // replace the destination; otherwise append
  bool DeleteRemote = true;     // delete each remote file after its whole, verified fetch
  bool AutoDisconnect = false;

  // --- retries of transient failures ---
  int32_t Retries = 0;      // attempts after the first
  int32_t RetryDelay = 10;  // seconds before the first retry, doubled for each further one

  static constexpr int32_t kDefaultRetries = 0;
  static constexpr int32_t kDefaultRetryDelay = 10;
  static constexpr int32_t kMaxRetries = 99;
  static constexpr int32_t kMaxRetryDelay = 300;
};

}  // namespace quodra::jobs
