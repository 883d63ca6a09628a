#include "host_log_link.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QSocketNotifier>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "host/clock.h"
#include "host/event_wait.h"

namespace quodra::host {
namespace {

// Sent characters are dropped from the outbox's front once they are this many and half of it.
constexpr size_t kCompactAt = 64 * 1024;

}  // namespace

std::string HostFolder() {
  if (const char* rt = std::getenv("XDG_RUNTIME_DIR"); rt && *rt) return std::string(rt) + "/quodra-host/";
  return "/tmp/quodra-host-" + std::to_string(::getuid()) + "/";
}

THostLogLink::THostLogLink() = default;
THostLogLink::~THostLogLink() { Disconnect(); }

void THostLogLink::Disconnect() {
  Room.reset();
  DropHost();
}

void THostLogLink::DropHost() {
  // The notifier may be the caller: it is only switched off here.
  if (Room) Room->setEnabled(false);
  if (Socket >= 0) ::close(Socket);
  Socket = -1;
  SocketPath.clear();
  Outbox.clear();
  Sent = 0;
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
  Disconnect();
  NotedFull = false;
  std::string folder = HostFolder();
  return ConnectTo(folder + "TTransForm1.TMemo") || ConnectTo(folder + hostTitle + ".TransferBox1");
}

void THostLogLink::Flush() {
  const size_t before = Sent;
  if (Sent == Outbox.size()) LastTakenMs = NowMs();  // nothing waited: the host owes nothing
  while (Socket >= 0 && Sent < Outbox.size()) {
    if (::send(Socket, &Outbox[Sent], 1, MSG_DONTWAIT | MSG_NOSIGNAL) == 1) {
      ++Sent;
      continue;
    }
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) {
      DropHost();  // the host went away
      return;
    }
    break;  // the host's queue is full: the rest waits
  }
  if (Socket < 0) return;
  if (Sent != before) LastTakenMs = NowMs();
  if (Sent == Outbox.size()) {
    Outbox.clear();
    Sent = 0;
  } else if (Sent > kCompactAt && Sent > Outbox.size() / 2) {
    Outbox.erase(0, Sent);
    Sent = 0;
  }
  const bool waiting = Socket >= 0 && Sent < Outbox.size();
  if (waiting && !Room && QCoreApplication::instance()) {
    Room = std::make_unique<QSocketNotifier>(Socket, QSocketNotifier::Write);
    QObject::connect(Room.get(), &QSocketNotifier::activated, [this] { Flush(); });
  }
  if (Room) Room->setEnabled(waiting);
}

bool THostLogLink::Drain(int64_t stallMs) {
  Flush();
  while (Socket >= 0 && Waiting() > 0) {
    const size_t before = Waiting();
    // The notifier's Flush runs inside this wait whenever the host has made room.
    if (WaitUntil([&] { Flush(); return Socket < 0 || Waiting() < before; }, NowMs() + stallMs)) continue;
    GiveUp(stallMs);
    return false;
  }
  return Socket >= 0;
}

void THostLogLink::GiveUp(int64_t stallMs) {
  std::fprintf(stderr, "The host log box %s took nothing for %lld ms: %zu characters of the log not delivered\n",
               SocketPath.c_str(), static_cast<long long>(stallMs), Waiting());
  DropHost();
}

void THostLogLink::SendLine(const std::string& line) {
  if (Socket < 0 || line.empty()) return;
  Flush();
  if (Socket < 0) return;
  if (Waiting() > 0 && NowMs() - LastTakenMs >= kDrainStallMs) {
    GiveUp(kDrainStallMs);  // it stopped reading
    return;
  }
  // The line feed always fits: a cut line still ends where the host expects it.
  const size_t room = kOutboxLimit - std::min(kOutboxLimit, Waiting());
  if (line.size() > room) {
    if (!NotedFull) {
      NotedFull = true;
      std::fprintf(stderr, "The host log box %s is %zu characters behind: log lines to it are cut short\n",
                   SocketPath.c_str(), Waiting());
    }
    if (room == 0) return;
  }
  Outbox.append(line, 0, std::min(room, line.size()));
  Outbox.push_back('\n');
  Flush();
}

}  // namespace quodra::host
