#pragma once
// The host-key rule: a pinned fingerprint must match exactly; without one the key must be
// the one known_hosts holds for the server. Nothing here ever adds a key anywhere.
#include <string>

namespace quodra::sftp {

enum class THostKeyState { Known, Unknown, Changed, Error };

// "SHA256:abc" from what a user pasted: blanks around it and base64 padding dropped, the
// prefix added when missing. Blank stays blank.
std::string NormalizeFingerprint(const std::string& pinned);

// The log line for a key that is not trusted, or "" when it is. `pinned` is the profile's
// fingerprint (blank: known_hosts decides through `state`).
std::string HostKeyVerdict(const std::string& host, const std::string& fingerprint, const std::string& pinned,
                           THostKeyState state, const std::string& knownHostsFile);

}  // namespace quodra::sftp
