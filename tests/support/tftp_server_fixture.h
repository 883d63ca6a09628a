#pragma once
// Local TFTP servers for tests, on loopback ports: TTftpdServer runs tftpd-hpa (or atftpd,
// which also answers "windowsize") over a folder; TScriptedTftpServer (scripted_tftp_server.py) serves a folder too but bends the
// conversation as asked, and records every packet the client sends.
#include <string>
#include <vector>

#include "support/server_process.h"
#include "support/temp_dir.h"

namespace quodra::test {

class TTftpdServer {
 public:
  enum TKind { kTftpdHpa, kAtftpd };
  explicit TTftpdServer(TKind kind = kTftpdHpa) : Kind(kind) {}
  // Serves `rootDir` on 127.0.0.1; false when the server did not answer within a few seconds.
  bool Start(const std::string& rootDir);
  void Stop() { Process.Stop(); }
  int Port() const { return ServerPort; }
  // The name a client asks for to get `fileName` of the served folder.
  std::string RemoteName(const std::string& fileName) const;

 private:
  bool Answers(int port, int timeoutMs) const;
  std::vector<std::string> Command(int port) const;
  TKind Kind;
  TTempDir Work;
  TServerProcess Process;
  std::string Root;
  bool Chrooted = false;
  int ServerPort = 0;
};

class TScriptedTftpServer {
 public:
  // `behaviour`: KEY or KEY=VALUE items, see scripted_tftp_server.py.
  bool Start(const std::string& rootDir, const std::vector<std::string>& behaviour = {});
  void Stop() { Process.Stop(); }
  int Port() const { return ServerPort; }
  // Every record line so far ("rrq ...", "ack 3", "error 5 ...", "foreign error 5 ...").
  std::vector<std::string> Received() const;
  // Waits (handling events) until `count` record lines equal to `line` appeared.
  bool WaitForLine(const std::string& line, size_t count = 1, int timeoutMs = 5000) const;
  std::string Log() const { return ReadFile(Work.File("server.log")); }

 private:
  TTempDir Work;
  TServerProcess Process;
  int ServerPort = 0;
};

}  // namespace quodra::test
