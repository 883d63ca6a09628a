#pragma once
// OpenSSH's sshd for tests: in the foreground on a free loopback port, with host keys,
// configuration, authorized keys and pid file of its own in a temporary folder. Client keys,
// known_hosts files and an ssh-agent are made here too, with OpenSSH's own tools.
#include <sys/types.h>

#include <string>
#include <vector>

#include "support/server_process.h"
#include "support/temp_dir.h"

namespace quodra::test {

class TSshdServer {
 public:
  struct TOptions {
    std::string HostKeyType = "ed25519";
    // Bytes a second the server sends file data at (a relay in front of the SFTP server);
    // 0: full speed (internal-sftp).
    long SlowBytesPerSecond = 0;
    // The most bytes one read request gets answered with (the relay shortens larger ones);
    // 0: as asked.
    long ReadCap = 0;
    // The SFTP program ends at once after this many bytes of answers (the relay cuts the one
    // under way); 0: never.
    long CutAfterBytes = 0;
    // Passwords only through keyboard-interactive (PAM's prompt), not the password method.
    bool KeyboardInteractiveOnly = false;
    // Host keys of further kinds beside HostKeyType ("rsa", "ecdsa"); the server shows
    // HostKeyType's first.
    std::vector<std::string> MoreHostKeyTypes;
    // The SFTP subsystem's command: blank internal-sftp, "-" none at all.
    std::string SftpSubsystem;
    // sshd_config lines ahead of the fixture's own (the first value of a keyword wins).
    std::vector<std::string> ExtraConfig;
  };

  TSshdServer();
  ~TSshdServer();
  bool Start(const TOptions& options);
  bool Start() { return Start(TOptions{}); }
  void Stop() { Process.Stop(); }
  int Port() const { return ServerPort; }
  std::string Log() const { return ReadFile(Work.File("sshd.log")); }
  const TTempDir& Folder() const { return Work; }

  // The host key as `ssh-keygen -lf` names it ("SHA256:...").
  std::string HostKeyFingerprint() const;
  // The fingerprint of the host key of a kind ("rsa", "ecdsa"; "" the first key).
  std::string HostKeyFingerprint(const std::string& type) const;
  // A known_hosts file naming this server with its key (hashed: as `ssh-keygen -H` leaves it),
  // or with another key of the same type (a server whose key changed).
  void WriteKnownHosts(const std::string& path, bool hashed, bool otherKey = false) const;
  // A new client key pair accepted by the server; returns the private key's path.
  std::string AddClientKey(const std::string& name, const std::string& type, const std::string& passphrase = {});
  // The session processes sshd forked for its connections (killing them cuts a connection).
  std::vector<pid_t> SessionProcesses() const;
  // The current user's name (the one the authorized keys log in as).
  static std::string UserName();

 private:
  TTempDir Work;
  TServerProcess Process;
  std::string HostKeyPath;
  std::vector<std::string> MoreHostKeyPaths;
  int ServerPort = 0;
};

// ssh-agent in the foreground with a socket in a temporary folder.
class TSshAgent {
 public:
  bool Start();
  bool Add(const std::string& keyPath);
  std::string Socket() const { return Work.File("agent.sock"); }

 private:
  TTempDir Work;
  TServerProcess Process;
};

// A throwaway system user with a password, removed again. Only when running as root.
class TSystemUser {
 public:
  ~TSystemUser();
  bool Create(const std::string& password);
  const std::string& Name() const { return UserName_; }

 private:
  std::string UserName_;
};

// Runs a command (argv[0] searched in PATH), its output to `outPath` or nowhere. Exit status.
int RunCommand(const std::vector<std::string>& argv, const std::string& outPath = {},
               const std::vector<std::string>& env = {});

}  // namespace quodra::test
