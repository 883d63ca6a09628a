#include "ftp_server_fixture.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "host/clock.h"
#include "host/event_wait.h"

namespace quodra::test {
namespace {

// Binds port 0 itself and publishes the port through a file, so no other process can take
// the port between choosing and binding it, and readiness needs no probe connection.
const char* const kPyFtpLauncher = R"PY(
import os, sys, logging
from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer
root, user, password, portfile = sys.argv[1:5]
logging.basicConfig(level=logging.INFO, stream=sys.stderr)
auth = DummyAuthorizer()
auth.add_user(user, password, root, perm='elradfmw')
class Handler(FTPHandler):
    pass
Handler.authorizer = auth
Handler.permit_foreign_addresses = False
Handler.auth_failed_timeout = 0  # answer a refused login at once
server = FTPServer(('127.0.0.1', 0), Handler)
server.max_cons = 16
tmp = portfile + '.tmp'
with open(tmp, 'w') as f:
    f.write(str(server.socket.getsockname()[1]))
os.rename(tmp, portfile)
server.serve_forever(timeout=0.5)
)PY";

}  // namespace

int WaitForPortFile(const std::string& path, int timeoutMs) {
  const int64_t deadline = host::NowMs() + timeoutMs;
  for (;;) {
    int port = std::atoi(ReadFile(path).c_str());
    if (port > 0) return port;
    if (host::NowMs() >= deadline) return 0;
    host::WaitMs(20);  // the server writes the file without telling us; look again soon
  }
}

bool TPyFtpServer::Start(const std::string& rootDir, const std::string& user,
                         const std::string& password) {
  std::string portFile = Work.File("port");
  if (!Process.Start({SystemPython(), "-c", kPyFtpLauncher, rootDir, user, password, portFile},
                     Work.File("server.log")))
    return false;
  ServerPort = WaitForPortFile(portFile);
  return ServerPort > 0;
}

bool TScriptedFtpServer::Start(const std::vector<std::string>& steps) {
  std::string script;
  for (const auto& s : steps) script += s + "\n";
  WriteFile(Work.File("script"), script);
  std::string portFile = Work.File("port");
  if (!Process.Start({SystemPython(), SupportDir() + "/scripted_ftp_server.py", Work.File("script"),
                      portFile, Work.File("received")},
                     Work.File("server.log")))
    return false;
  ServerPort = WaitForPortFile(portFile);
  return ServerPort > 0;
}

std::vector<std::string> TScriptedFtpServer::Received() const {
  std::vector<std::string> lines;
  std::istringstream in(ReadFile(Work.File("received")));
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

bool TScriptedFtpServer::WaitForReceived(size_t count, int timeoutMs) const {
  const int64_t deadline = host::NowMs() + timeoutMs;
  for (;;) {
    if (Received().size() >= count) return true;
    if (host::NowMs() >= deadline) return false;
    host::WaitMs(10);
  }
}

namespace {

const char kVsFtpd[] = "/usr/sbin/vsftpd";

// The first line a server on `port` sends, or "" (nothing listens, or it says nothing in time).
std::string BannerOf(int port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return {};
  timeval tv{2, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::string line;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
    char c = 0;
    while (line.size() < 512 && ::recv(fd, &c, 1, 0) == 1 && c != '\n') line += c;
  }
  ::close(fd);
  return line;
}

}  // namespace

std::string TVsFtpServer::AnonymousUser() { return ::getpwnam("ftp") ? "ftp" : "nobody"; }

bool TVsFtpServer::Available(std::string* why) {
  std::string reason;
  if (::access(kVsFtpd, X_OK) != 0)
    reason = "vsftpd is missing (scripts/install-deps)";
  else if (::geteuid() != 0)
    reason = "vsftpd chroots its anonymous sessions: it needs root";
  if (why) *why = reason;
  return reason.empty();
}

bool TVsFtpServer::Start(const std::string& rootDir, const std::string& certFile, const std::string& keyFile) {
  if (!Available()) return false;
  const std::string tls = certFile.empty() ? std::string()
                                           : "ssl_enable=YES\nallow_anon_ssl=YES\nforce_anon_logins_ssl=NO"
                                             "\nforce_anon_data_ssl=NO\nrequire_ssl_reuse=YES\nrsa_cert_file=" +
                                                 certFile + "\nrsa_private_key_file=" + keyFile + "\n";
  // The port is chosen before vsftpd binds it: a server of a test running beside this one
  // may take it first. The banner names this server, and another port is tried then.
  for (int attempt = 0; attempt < 5; ++attempt) {
    if (StartOn(rootDir, FreeTcpPort(), tls)) return true;
    Process.Stop();
  }
  return false;
}

bool TVsFtpServer::StartOn(const std::string& rootDir, int port, const std::string& tls) {
  const std::string banner = "quodra-test-vsftpd-" + std::to_string(::getpid()) + "-" + std::to_string(port);
  const std::string empty = Work.File("empty");
  ::mkdir(empty.c_str(), 0755);
  std::ostringstream conf;
  conf << "listen=YES\nlisten_ipv6=NO\nlisten_address=127.0.0.1\nlisten_port=" << port
       << "\nbackground=NO\nanonymous_enable=YES\nno_anon_password=YES\nanon_root=" << rootDir
       << "\nftp_username=" << AnonymousUser()
       << "\nlocal_enable=NO\nwrite_enable=YES\nanon_upload_enable=NO\nanon_mkdir_write_enable=NO"
          "\nanon_other_write_enable=YES\npasv_enable=YES\npasv_address=127.0.0.1\nport_enable=YES"
          "\nconnect_from_port_20=NO\nxferlog_enable=YES\nxferlog_std_format=NO\nlog_ftp_protocol=YES"
          "\ndirmessage_enable=NO\nuse_localtime=NO"
          "\nisolate=NO\nisolate_network=NO\nseccomp_sandbox=NO\nascii_download_enable=YES"
          "\nsecure_chroot_dir="
       << empty << "\nftpd_banner=" << banner << "\nvsftpd_log_file=" << Work.File("vsftpd.log") << "\n"
       << tls << ExtraConfig;
  WriteFile(Work.File("vsftpd.conf"), conf.str());
  if (!Process.Start({kVsFtpd, Work.File("vsftpd.conf")}, Work.File("vsftpd.out"))) return false;
  const int64_t deadline = host::NowMs() + 10000;
  while (host::NowMs() < deadline) {
    // Ended (it could not bind): looked at without reaping it, which Stop does.
    siginfo_t info{};
    if (::waitid(P_PID, static_cast<id_t>(Process.ProcessId()), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
        info.si_pid == Process.ProcessId())
      return false;
    const std::string line = BannerOf(port);
    if (line.find(banner) != std::string::npos) {
      ServerPort = port;
      return true;
    }
    if (!line.empty()) return false;  // another server has the port
    host::WaitMs(20);  // vsftpd binds without telling us; look again soon
  }
  return false;
}

}  // namespace quodra::test
