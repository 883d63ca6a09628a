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

// Waits (handling events, sleeping between checks) until `path` holds a port number.
int WaitForPortFile(const std::string& path, int timeoutMs = 10000);

}  // namespace quodra::test
