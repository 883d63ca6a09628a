#include "server_process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "host/clock.h"
#include "host/event_wait.h"

namespace quodra::test {
namespace {

// A socket bound to a loopback port the kernel picks; `port` is that port.
int BoundLoopbackSocket(int type, int& port) {
  int fd = ::socket(AF_INET, type | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a));
  socklen_t len = sizeof(a);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  port = ntohs(a.sin_port);
  return fd;
}

int FreePort(int type) {
  int port = 0;
  ::close(BoundLoopbackSocket(type, port));
  return port;
}

}  // namespace

int FreeTcpPort() { return FreePort(SOCK_STREAM); }
int FreeUdpPort() { return FreePort(SOCK_DGRAM); }

// Never listening: a connection to it is refused.
TRefusingTcpPort::TRefusingTcpPort() { Fd = BoundLoopbackSocket(SOCK_STREAM, PortNumber); }

TRefusingTcpPort::~TRefusingTcpPort() {
  if (Fd >= 0) ::close(Fd);
}

bool WaitForTcpPort(int port, int timeoutMs) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (std::chrono::steady_clock::now() < end) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0;
    ::close(fd);
    if (ok) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

bool PollUntil(const std::function<bool()>& ready, int timeoutMs) {
  const int64_t deadline = host::NowMs() + timeoutMs;
  for (;;) {
    if (ready()) return true;
    if (host::NowMs() >= deadline) return false;
    host::WaitMs(20);
  }
}

std::string SupportDir() { return QUODRA_TEST_SUPPORT_DIR; }

std::string SystemPython() { return "/usr/bin/python3"; }

TServerProcess::~TServerProcess() { Stop(); }

bool TServerProcess::Start(const std::vector<std::string>& argv, const std::string& logPath) {
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = ::fork();
  if (pid < 0) return false;
  if (pid == 0) {
    ::setpgid(0, 0);
    int devnull = ::open("/dev/null", O_RDONLY);
    ::dup2(devnull, 0);
    int out = logPath.empty() ? ::open("/dev/null", O_WRONLY) : ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ::dup2(out, 1);
    ::dup2(out, 2);
    ::execvp(args[0], args.data());
    ::_exit(127);
  }
  Pid = pid;
  return true;
}

void TServerProcess::Stop() {
  if (Pid <= 0) return;
  ::kill(-Pid, SIGTERM);
  ::kill(Pid, SIGTERM);
  for (int i = 0; i < 100; ++i) {
    if (::waitpid(Pid, nullptr, WNOHANG) == Pid) { Pid = -1; return; }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ::kill(-Pid, SIGKILL);
  ::kill(Pid, SIGKILL);
  ::waitpid(Pid, nullptr, 0);
  Pid = -1;
}

}  // namespace quodra::test
