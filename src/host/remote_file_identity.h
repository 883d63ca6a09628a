#pragma once
// What identifies the remote file behind a download, so that a partial download is continued
// only from the very file it began with: the server, the remote path, the size and, where the
// server tells it, the modification time (14 digits YYYYMMDDHHMMSS).
#include <cstdint>
#include <string>

namespace quodra::host {

struct TRemoteFileIdentity {
  std::string Server;   // host name or address, with the port where it is not the default
  std::string Path;     // the remote path as the server was asked for it
  int64_t Size = -1;    // -1: unknown
  std::string ModTime;  // "" when unknown

  // Only a file of known size can be resumed safely: without it a changed file is not seen.
  bool Resumable() const { return !Server.empty() && !Path.empty() && Size >= 0; }
  bool operator==(const TRemoteFileIdentity&) const = default;
};

}  // namespace quodra::host
