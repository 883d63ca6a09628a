#pragma once
// Plain values the SFTP session takes and gives: its settings, a listed entry, and the
// outcome of one request.
#include <cstdint>
#include <string>

namespace quodra::sftp {

struct TSftpSettings {
  std::string Host;
  std::string Port;            // a number or a service name; blank or "ftp" means 22
  std::string User;
  std::string Password;        // the key's passphrase when PrivateKeyFile is set
  std::string PrivateKeyFile;  // an OpenSSH private key; blank: password or agent
  std::string HostKeyFingerprint;  // "SHA256:" + base64; blank: known_hosts decides
  std::string KnownHostsFile;  // blank: $HOME/.ssh/known_hosts
  std::string AgentSocket;     // blank: $SSH_AUTH_SOCK
  std::string Ciphers;         // blank: libssh's preference
  int ConnectTimeoutMs = 0;    // 0: kDefaultTimeoutMs
  int TransferTimeoutMs = 0;   // silence allowed within a request; 0: kDefaultTimeoutMs
};

// A time-out of 0 in a profile would mean "wait for ever"; no wait here is unbounded.
constexpr int kDefaultTimeoutMs = 60000;

enum class TEntryKind { Missing, File, Folder, Other };

struct TSftpEntry {
  std::string Name;
  TEntryKind Kind = TEntryKind::Missing;  // of the link's target for a symbolic link
  bool Link = false;
  int64_t Size = -1;   // -1 unknown
  int64_t MTime = -1;  // seconds since the epoch, -1 unknown
};

enum class TSftpStatus {
  Ok,
  Failed,    // the server refused (no such file, permission), the session goes on
  HostKey,   // the host key was not trusted: nothing was sent to the server
  Refused,   // the login was refused
  TimedOut,  // connection or transfer time-out: the session is closed
  Aborted,   // Abort: the session is closed
  Lost,      // the connection ended or a local write failed: the session is closed
};

struct TSftpReply {
  TSftpStatus Status = TSftpStatus::Ok;
  std::string Text;  // the reason, for the log; blank when Ok
  bool Ok() const { return Status == TSftpStatus::Ok; }
  // After this reply the session can take no further request.
  bool SessionOver() const { return Status != TSftpStatus::Ok && Status != TSftpStatus::Failed; }
};

}  // namespace quodra::sftp
