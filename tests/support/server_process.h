#pragma once
// Local servers for tests: free loopback ports and child processes that are stopped
// (SIGTERM, then SIGKILL) when the test ends.
#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

namespace quodra::test {

int FreeTcpPort();
int FreeUdpPort();

// A loopback TCP port that refuses every connection for as long as this object lives: it is
// bound but never listens, so no other test can start listening on it meanwhile (a port
// that was merely free a moment ago can be taken by a server of a test running in parallel).
class TRefusingTcpPort {
 public:
  TRefusingTcpPort();
  ~TRefusingTcpPort();
  TRefusingTcpPort(const TRefusingTcpPort&) = delete;
  TRefusingTcpPort& operator=(const TRefusingTcpPort&) = delete;
  int Port() const { return PortNumber; }

 private:
  int Fd = -1;
  int PortNumber = 0;
};
// Waits (sleeping) until a TCP connection to 127.0.0.1:port succeeds; false after timeoutMs.
bool WaitForTcpPort(int port, int timeoutMs = 10000);
// Checks `ready` every 20 ms (sleeping in the event loop in between) until it holds or
// `timeoutMs` has passed: for a server that changes a file without telling anyone.
bool PollUntil(const std::function<bool()>& ready, int timeoutMs);
// The folder of tests/support in the source tree (scripted servers live there).
std::string SupportDir();
// The system python with the Debian packages (pyftpdlib).
std::string SystemPython();

class TServerProcess {
 public:
  TServerProcess() = default;
  ~TServerProcess();
  TServerProcess(const TServerProcess&) = delete;
  TServerProcess& operator=(const TServerProcess&) = delete;

  // Starts argv[0] (searched in PATH) with its arguments; output goes to `logPath` when given.
  bool Start(const std::vector<std::string>& argv, const std::string& logPath = {});
  void Stop();
  bool Running() const { return Pid > 0; }
  pid_t ProcessId() const { return Pid; }

 private:
  pid_t Pid = -1;
};

}  // namespace quodra::test
