#pragma once
// Local FTP servers for tests, each on a loopback port of the system's choosing:
// TPyFtpServer runs pyftpdlib over a folder with one user; TScriptedFtpServer plays one
// control session from a script (scripted_ftp_server.py) and records the commands it got.
#include <string>
#include <vector>

#include "support/server_process.h"
#include "support/temp_dir.h"

namespace quodra::test {

class TPyFtpServer {
 public:
  // Serves `rootDir` on 127.0.0.1 to `user`/`password` with write permission (DELE).
  // False when the server did not come up within a few seconds.
  bool Start(const std::string& rootDir, const std::string& user = "tester",
             const std::string& password = "secret");
  void Stop() { Process.Stop(); }
  int Port() const { return ServerPort; }
  std::string PortText() const { return std::to_string(ServerPort); }
  // The server's own log (commands and replies), for failure messages.
  std::string Log() const { return ReadFile(Work.File("server.log")); }

 private:
  TTempDir Work;
  TServerProcess Process;
  int ServerPort = 0;
};

class TScriptedFtpServer {
 public:
  // Starts the server with the script's steps, one per element. False when it did not come up.
  bool Start(const std::vector<std::string>& steps);
  void Stop() { Process.Stop(); }
  int Port() const { return ServerPort; }
  std::string PortText() const { return std::to_string(ServerPort); }
  // Every command line received so far, without line ends; markers start with "!".
  std::vector<std::string> Received() const;
  // Waits (handling events) until `count` lines were received, or `timeoutMs` passed.
  bool WaitForReceived(size_t count, int timeoutMs = 10000) const;
  std::string Log() const { return ReadFile(Work.File("server.log")); }

 private:
  TTempDir Work;
  TServerProcess Process;
  int ServerPort = 0;
};

// vsftpd, a C server with other answers than pyftpdlib's (no MLST: sizes and times come from
// SIZE and MDTM; its own listing and refusal texts), serving a folder to anonymous users who
// may delete (not upload) in folders the server's anonymous account owns. It chroots, so it
// needs root: Start is false without it (Available says why).
class TVsFtpServer {
 public:
  static bool Available(std::string* why = nullptr);
  // `rootDir` itself must not be writable by the anonymous account (root's, 0755). With a
  // certificate and key (PEM), sessions may also use explicit TLS; their data connections must
  // then resume the control connection's TLS session, as vsftpd requires by default.
  bool Start(const std::string& rootDir, const std::string& certFile = {}, const std::string& keyFile = {});
  // Lines added to the server's configuration by the next Start (e.g. "anon_max_rate=...").
  std::string ExtraConfig;
  void Stop() { Process.Stop(); }
  int Port() const { return ServerPort; }
  // The account anonymous sessions run as: files it may delete belong to it.
  static std::string AnonymousUser();
  std::string Log() const { return ReadFile(Work.File("vsftpd.log")) + ReadFile(Work.File("vsftpd.out")); }

 private:
  bool StartOn(const std::string& rootDir, int port, const std::string& tls);
  TTempDir Work;
  TServerProcess Process;
  int ServerPort = 0;
};

// Waits (handling events, sleeping between checks) until `path` holds a port number.
int WaitForPortFile(const std::string& path, int timeoutMs = 10000);

}  // namespace quodra::test
