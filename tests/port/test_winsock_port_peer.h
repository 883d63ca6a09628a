#pragma once
// A loopback TCP peer for the port tests: it listens on 127.0.0.1, accepts the port's
// connection and sends, reads, closes or resets it. Non-blocking; every wait sleeps in the
// event loop.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QTimer>
#include <cerrno>
#include <functional>
#include <string>

#include "host/clock.h"
#include "host/event_wait.h"

namespace quodra::port::test {

// Waits until `done` holds, handling events; a short heartbeat re-checks conditions that
// no event announces (the peer's own socket).
inline bool WaitFor(const std::function<bool()>& done, int timeoutMs = 10000) {
  QTimer beat;
  beat.setInterval(5);
  beat.start();
  return host::WaitUntil(done, host::NowMs() + timeoutMs);
}

class TLoopbackPeer {
 public:
  TLoopbackPeer() {
    Listener = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    int one = 1;
    ::setsockopt(Listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(Listener, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(Listener, 4);
    socklen_t len = sizeof a;
    ::getsockname(Listener, reinterpret_cast<sockaddr*>(&a), &len);
    PortNumber = ntohs(a.sin_port);
  }
  ~TLoopbackPeer() {
    CloseConnection();
    if (Listener >= 0) ::close(Listener);
  }
  TLoopbackPeer(const TLoopbackPeer&) = delete;
  TLoopbackPeer& operator=(const TLoopbackPeer&) = delete;

  int Port() const { return PortNumber; }
  std::string PortText() const { return std::to_string(PortNumber); }
  bool Connected() const { return Conn >= 0; }

  bool Accept(int timeoutMs = 10000) {
    return WaitFor(
        [this] {
          if (Conn >= 0) return true;
          Conn = ::accept4(Listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
          return Conn >= 0;
        },
        timeoutMs);
  }

  // Sends everything, waiting while the socket is full.
  bool Send(const std::string& bytes, int timeoutMs = 10000) {
    size_t sent = 0;
    return WaitFor(
        [&] {
          while (sent < bytes.size()) {
            ssize_t n = ::send(Conn, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
            if (n > 0) {
              sent += static_cast<size_t>(n);
              continue;
            }
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return false;
            return true;  // broken: give up
          }
          return true;
        },
        timeoutMs) &&
           sent == bytes.size();
  }

  // What has arrived so far.
  std::string Drain() {
    std::string out;
    char buf[4096];
    for (;;) {
      ssize_t n = ::recv(Conn, buf, sizeof buf, 0);
      if (n <= 0) break;
      out.append(buf, static_cast<size_t>(n));
    }
    Received += out;
    return out;
  }

  // Waits until `count` bytes in all have arrived; answers everything received.
  std::string ReceiveAtLeast(size_t count, int timeoutMs = 10000) {
    WaitFor(
        [&] {
          Drain();
          return Received.size() >= count;
        },
        timeoutMs);
    return Received;
  }

  // An orderly close (the port sees end of stream).
  void CloseConnection() {
    if (Conn >= 0) ::close(Conn);
    Conn = -1;
  }

  // Drops the connection with a reset.
  void Reset() {
    if (Conn < 0) return;
    linger l{1, 0};
    ::setsockopt(Conn, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    ::close(Conn);
    Conn = -1;
  }

  std::string Received;

 private:
  int Listener = -1;
  int Conn = -1;
  int PortNumber = 0;
};

}  // namespace quodra::port::test
