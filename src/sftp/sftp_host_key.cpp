#include "sftp/sftp_host_key.h"

#include "host/text_util.h"

namespace quodra::sftp {

std::string NormalizeFingerprint(const std::string& pinned) {
  std::string fp = quodra::host::Trim(pinned);
  if (fp.empty()) return fp;
  while (!fp.empty() && fp.back() == '=') fp.pop_back();
  if (fp.compare(0, 7, "SHA256:") != 0) fp = "SHA256:" + fp;
  return fp;
}

std::string HostKeyVerdict(const std::string& host, const std::string& fingerprint, const std::string& pinned,
                           THostKeyState state, const std::string& knownHostsFile) {
  if (!pinned.empty()) {
    if (NormalizeFingerprint(pinned) == fingerprint) return "";
    return "Host key of " + host + " does not match HostKeyFingerprint: the server offers " + fingerprint +
           ", the profile expects " + NormalizeFingerprint(pinned);
  }
  switch (state) {
    case THostKeyState::Known:
      return "";
    case THostKeyState::Changed:
      return "WARNING: the host key of " + host + " has changed (now " + fingerprint +
             "); someone may be intercepting the connection. Not connecting.";
    case THostKeyState::Unknown:
      return "Unknown host key of " + host + ": " + fingerprint + " (not in " + knownHostsFile +
             "; set HostKeyFingerprint to trust it)";
    case THostKeyState::Error:
      break;
  }
  return "Host key of " + host + " could not be checked against " + knownHostsFile;
}

}  // namespace quodra::sftp
