#include "ftp_server_fixture.h"

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

}  // namespace quodra::test
