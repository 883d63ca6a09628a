#include "host_log_link.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace quodra::host {

std::string HostFolder() {
  if (const char* rt = std::getenv("XDG_RUNTIME_DIR"); rt && *rt) return std::string(rt) + "/quodra-host/";
  return "/tmp/quodra-host-" + std::to_string(::getuid()) + "/";
}

THostLogLink::~THostLogLink() {
  if (Socket >= 0) ::close(Socket);
}

bool THostLogLink::ConnectTo(const std::string& path) {
  sockaddr_un addr{};
  if (path.size() >= sizeof(addr.sun_path)) return false;
  int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
    ::close(fd);
    return false;
  }
  Socket = fd;
  SocketPath = path;
  return true;
}

bool THostLogLink::FindHostWindow(const std::string& hostTitle) {
  if (Socket >= 0) {
    ::close(Socket);
    Socket = -1;
    SocketPath.clear();
  }
  std::string folder = HostFolder();
  return ConnectTo(folder + "TTransForm1.TMemo") || ConnectTo(folder + hostTitle + ".TransferBox1");
}

bool THostLogLink::SendByte(char c) {
  for (int tries = 0; tries < 2; ++tries) {
    if (::send(Socket, &c, 1, MSG_DONTWAIT | MSG_NOSIGNAL) == 1) return true;
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return false;
    // The host's queue is full: give it a moment to read, but never hang the transfer.
    pollfd p{Socket, POLLOUT, 0};
    if (::poll(&p, 1, 1000) <= 0) return false;
  }
  return false;
}

void THostLogLink::SendLine(const std::string& line) {
  if (Socket < 0 || line.empty()) return;
  for (char c : line)
    if (!SendByte(c)) return;  // the host went away: drop the rest of the line
  SendByte('\n');
}

}  // namespace quodra::host
