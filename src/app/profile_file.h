#pragma once
// One transfer profile as its file holds it: the section "Options" of a settings file,
// decoded into values with the defaults a missing or empty key gets.
#include <string>

namespace quodra::app {

enum TTransferMode { tmFtp, tmFileCopy, tmTrivialFtp, tmSftp };

struct TProfile {
  std::string ServerName;
  std::string Port = "ftp";
  std::string Login;
  std::string Password;
  std::string SourceFile;
  std::string DestinationFile;
  std::string DefaultFolder;
  bool Overwrite = false;
  bool AutoDisconnect = false;
  bool DeleteRemote = true;
  bool Passive = false;
  TTransferMode TransferMode = tmFtp;
  bool Ascii = false;
  int TimeOut = 1000;        // not yet held within the dialog's limits
  int ConnectTimeOut = 300;
  bool UseDialup = false;
  std::string PhonebookEntry;  // without the blank the file adds
  std::string DialUserName;
  std::string DialPassword;
  std::string DialDomain;
  // TFTP: block size (8..65464) and window (1..64) to ask for; blank means not set.
  std::string BlockSize;
  std::string WindowSize;
  // FTP: "N" plain, "E" explicit TLS (AUTH TLS), "I" implicit TLS; blank means not set (plain).
  std::string Security;
  // FTP over TLS: SHA-256 fingerprint the server's certificate must have (blank: CA check).
  std::string CertificateFingerprint;
  // Retries of transient failures (attempts after the first) and the seconds before the
  // first of them; written only when set to other values than these defaults.
  int Retries = 0;
  int RetryDelay = 10;
  // SFTP: an OpenSSH private key (Password is then its passphrase) and the host key's
  // fingerprint to pin ("SHA256:" + base64); blank means not set, and the keys are not written.
  std::string PrivateKeyFile;
  std::string HostKeyFingerprint;

  bool operator==(const TProfile&) const = default;
};

inline constexpr char kProfileSection[] = "Options";

// Reads and decodes a profile file; a missing file gives the defaults.
TProfile ReadProfile(const std::string& path);

// Writes every key of the profile into the file in one step (created owner-only when
// missing; keys that exist keep their place, other keys and sections are kept). False when
// the file could not be written, or when it exists but cannot be read or written, in which
// case it is left as it was.
bool WriteProfile(const std::string& path, const TProfile& profile);

// The value as it is written, so that the reading rules give it back unchanged: values
// with blanks at either end, or enclosed in quotes themselves, are enclosed in quotes.
std::string EncodeProfileValue(const std::string& value);

}  // namespace quodra::app
