#pragma once
// A plain loopback peer for the socket tests: a listening socket (or a client socket) driven
// without the code under test, read and written without blocking while the event loop runs.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <QTimer>

#include <cerrno>
#include <functional>
#include <string>

#include "host/clock.h"
#include "host/event_wait.h"

namespace quodra::test {

// Runs the event loop until `done` holds; a short repeating timer wakes the loop so that
// conditions on plain sockets are looked at again. False after `ms`.
inline bool WaitFor(const std::function<bool()>& done, int ms = 5000) {
  QTimer tick;
  tick.start(5);
  return host::WaitUntil(done, host::NowMs() + ms);
}

inline sockaddr_in Loopback(uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}

class TPeer {
 public:
  // Listens on a free loopback port.
  TPeer() {
    Listener = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in a = Loopback(0);
    ::bind(Listener, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(Listener, 5);
    socklen_t len = sizeof a;
    ::getsockname(Listener, reinterpret_cast<sockaddr*>(&a), &len);
    Port = ntohs(a.sin_port);
  }
  ~TPeer() {
    Close();
    if (Listener >= 0) ::close(Listener);
  }

  bool AcceptWait() {
    return WaitFor([this] {
      Conn = ::accept4(Listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
      return Conn >= 0;
    });
  }
  // Connects out to `port` (blocking connect on loopback, then non-blocking).
  bool ConnectTo(uint16_t port) {
    Conn = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = Loopback(port);
    if (::connect(Conn, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return false;
    int flags = 1;
    ::ioctl(Conn, FIONBIO, &flags);
    return true;
  }

  void Send(const std::string& bytes) {
    size_t done = 0;
    WaitFor([&] {
      ssize_t n = ::send(Conn, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
      if (n > 0) done += static_cast<size_t>(n);
      return done == bytes.size();
    });
  }
  // Everything that has arrived so far (appended to Received).
  const std::string& Drain() {
    char buf[65536];
    for (;;) {
      ssize_t n = ::recv(Conn, buf, sizeof buf, 0);
      if (n > 0) {
        Received.append(buf, static_cast<size_t>(n));
        continue;
      }
      if (n == 0) Eof = true;
      break;
    }
    return Received;
  }
  // Waits until at least `count` bytes have arrived; answers (and removes) them all.
  std::string Take(size_t count, int ms = 5000) {
    WaitFor([&] { return Drain().size() >= count; }, ms);
    std::string r = Received;
    Received.clear();
    return r;
  }
  bool WaitEof() {
    return WaitFor([this] {
      Drain();
      return Eof;
    });
  }
  void Close() {
    if (Conn >= 0) ::close(Conn);
    Conn = -1;
  }
  // Closes with a reset instead of an orderly close.
  void Reset() {
    linger l{1, 0};
    ::setsockopt(Conn, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    Close();
  }

  int Listener = -1;
  int Conn = -1;
  uint16_t Port = 0;
  std::string Received;
  bool Eof = false;
};

}  // namespace quodra::test
