#include "tftp_server_fixture.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <grp.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <sstream>

#include "host/clock.h"
#include "host/event_wait.h"

namespace quodra::test {

std::string TTftpdServer::RemoteName(const std::string& fileName) const {
  return Chrooted ? fileName : Root + fileName;
}

bool TTftpdServer::Answers(int port, int timeoutMs) const {
  // A request for a file that does not exist: any reply shows the server is listening. The
  // server forks a child to answer each request, which on a loaded machine may take far
  // longer than any fixed short wait: the request is repeated now and then on one socket,
  // and an answer to any of them counts, however late.
  int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  static const char probe[] = "\0\1quodra-readiness-probe\0octet";
  const int64_t deadline = host::NowMs() + timeoutMs;
  int64_t nextProbe = 0;
  bool answered = false;
  for (int64_t now = host::NowMs(); !answered && now < deadline; now = host::NowMs()) {
    if (now >= nextProbe) {
      ::sendto(fd, probe, sizeof(probe), 0, reinterpret_cast<sockaddr*>(&a), sizeof(a));
      nextProbe = now + 500;
    }
    pollfd p{fd, POLLIN, 0};
    answered = ::poll(&p, 1, static_cast<int>(std::min(nextProbe, deadline) - now)) == 1 && (p.revents & POLLIN);
  }
  ::close(fd);
  return answered;
}

std::vector<std::string> TTftpdServer::Command(int port) const {
  const passwd* pw = ::getpwuid(::geteuid());
  const std::string user = pw ? pw->pw_name : "root";
  if (Kind == kAtftpd) {
    const group* gr = ::getgrgid(::getegid());
    const std::string group = gr ? gr->gr_name : user;
    // Runs in the foreground as the same user and serves names relative to the folder.
    return {"/opt/quodra-peers/atftpd/usr/sbin/atftpd", "--daemon", "--no-fork", "--port", std::to_string(port),
            "--bind-address", "127.0.0.1", "--user", user, "--group", group, "--logfile", "-", "--no-multicast",
            Root};
  }
  std::vector<std::string> argv = {"/usr/sbin/in.tftpd", "-L", "-a", "127.0.0.1:" + std::to_string(port)};
  if (Chrooted) argv.insert(argv.end(), {"-u", user, "-s", Root});
  return argv;
}

bool TTftpdServer::Start(const std::string& rootDir) {
  Root = rootDir;
  if (!Root.empty() && Root.back() != '/') Root += '/';
  // Only root can confine tftpd-hpa to the folder; it then runs as the same user, so it
  // can read the private test folders. atftpd always serves relative names.
  Chrooted = Kind == kAtftpd || ::geteuid() == 0;
  for (int attempt = 0; attempt < 3; ++attempt) {
    int port = FreeUdpPort();
    if (!Process.Start(Command(port), Work.File("server.log"))) return false;
    bool up = Answers(port, 15000);
    if (up) {
      ServerPort = port;
      return true;
    }
    Process.Stop();  // the port was taken meanwhile: try another
  }
  return false;
}

bool TScriptedTftpServer::Start(const std::string& rootDir, const std::vector<std::string>& behaviour) {
  std::vector<std::string> argv = {SystemPython(), SupportDir() + "/scripted_tftp_server.py", rootDir,
                                   Work.File("port"), Work.File("received")};
  argv.insert(argv.end(), behaviour.begin(), behaviour.end());
  if (!Process.Start(argv, Work.File("server.log"))) return false;
  PollUntil([&] { return (ServerPort = std::atoi(ReadFile(Work.File("port")).c_str())) > 0; }, 10000);
  return ServerPort > 0;
}

std::vector<std::string> TScriptedTftpServer::Received() const {
  std::vector<std::string> lines;
  std::istringstream in(ReadFile(Work.File("received")));
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

bool TScriptedTftpServer::WaitForLine(const std::string& line, size_t count, int timeoutMs) const {
  // The server writes without telling us; look again now and then.
  return PollUntil(
      [&] {
        auto lines = Received();
        return static_cast<size_t>(std::count(lines.begin(), lines.end(), line)) >= count;
      },
      timeoutMs);
}

}  // namespace quodra::test
