// The UDP component over real loopback sockets: sending, receiving with time-outs,
// oversized datagrams, the binding's life and the broadcast option.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <future>
#include <thread>

#include "tftp/dg_exception.h"
#include "tftp/dg_udp_client.h"

using namespace quodra::tftp;

namespace {

// A plain loopback socket as the other end.
class TPeer {
 public:
  TPeer() {
    Fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(Fd, reinterpret_cast<sockaddr*>(&a), sizeof(a));
    socklen_t len = sizeof(a);
    ::getsockname(Fd, reinterpret_cast<sockaddr*>(&a), &len);
    Port = ntohs(a.sin_port);
  }
  ~TPeer() { ::close(Fd); }
  // Receives one datagram (blocking) and remembers its sender.
  std::string Receive() {
    char buf[70000];
    sockaddr_in from{};
    socklen_t len = sizeof(from);
    ssize_t n = ::recvfrom(Fd, buf, sizeof(buf), 0, reinterpret_cast<sockaddr*>(&from), &len);
    FromPort = ntohs(from.sin_port);
    return std::string(buf, n > 0 ? static_cast<size_t>(n) : 0);
  }
  void SendTo(int port, const std::string& bytes) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::sendto(Fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof(a));
  }
  int Fd;
  int Port = 0;
  int FromPort = 0;
};

// Sends a datagram from the client to the peer, so that the peer knows the client's port.
int ClientPortSeenBy(TPeer& peer, TDgUDPClient& client) {
  client.SendBuffer("127.0.0.1", peer.Port, "x");
  peer.Receive();
  return peer.FromPort;
}

// A receive that outlives its own time-out by far is ended by a datagram of the watchdog, so
// that the step fails instead of hanging the run.
std::string ReceiveGuarded(TDgUDPClient& client, TPeer& peer, int clientPort, int timeoutMs) {
  std::promise<void> returned;
  std::thread watchdog([&, done = returned.get_future()] {
    if (done.wait_for(std::chrono::seconds(20)) == std::future_status::timeout) peer.SendTo(clientPort, "watchdog");
  });
  std::string ip;
  int port = 0;
  std::string got = client.ReceiveString(ip, port, timeoutMs);
  returned.set_value();
  watchdog.join();
  return got;
}

}  // namespace

TEST(DgUdp, DatagramsTravelBothWaysWithPeerAddress) {
  TPeer peer;
  TDgUDPClient client;
  client.Host = "localhost";
  client.Port = peer.Port;
  EXPECT_FALSE(client.Active());
  client.Send(std::string("hello\0world", 11));
  EXPECT_TRUE(client.Active());  // the first send opened the socket
  EXPECT_EQ(peer.Receive(), std::string("hello\0world", 11));

  peer.SendTo(peer.FromPort, "reply");
  std::string ip;
  int port = 0;
  EXPECT_EQ(client.ReceiveString(ip, port, 5000), "reply");
  EXPECT_EQ(ip, "127.0.0.1");
  EXPECT_EQ(port, peer.Port);
}

TEST(DgUdp, ReceiveWithTimeoutZeroReturnsAtOnceWithEmptyPeer) {
  TDgUDPClient client;
  client.SetActive(true);
  std::string ip = "stale";
  int port = 99;
  EXPECT_EQ(client.ReceiveString(ip, port, 0), "");
  EXPECT_EQ(ip, "");
  EXPECT_EQ(port, 0);
}

TEST(DgUdp, InfiniteReceiveWaitsForTheDatagram) {
  TPeer peer;
  TDgUDPClient client;
  const int clientPort = ClientPortSeenBy(peer, client);
  std::thread late([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    peer.SendTo(clientPort, "late");
  });
  std::string ip;
  int port = 0;
  client.ReceiveTimeout = DgTimeoutInfinite;
  std::string got = client.ReceiveString(ip, port);  // DgTimeoutDefault -> ReceiveTimeout
  late.join();
  EXPECT_EQ(got, "late");
}

// One socket waits with whatever time-out each receive asks for: a long or endless wait
// before must not stay behind for a short one after it, nor a short one for a long one.
TEST(DgUdp, EachReceiveWaitsWithItsOwnTimeOut) {
  TPeer peer;
  TDgUDPClient client;
  const int clientPort = ClientPortSeenBy(peer, client);
  const struct {
    int TimeoutMs;
    const char* Sent;      // sent by the peer before the receive (nullptr: nothing)
    const char* Expected;  // "" for a wait that ends without a datagram
  } steps[] = {
      {DgTimeoutInfinite, "first", "first"}, {50, nullptr, ""}, {60000, "second", "second"},
      {30, nullptr, ""},                      {1, nullptr, ""},  {DgTimeoutInfinite, "third", "third"},
  };
  for (const auto& step : steps) {
    SCOPED_TRACE(step.TimeoutMs);
    if (step.Sent) peer.SendTo(clientPort, step.Sent);
    EXPECT_EQ(ReceiveGuarded(client, peer, clientPort, step.TimeoutMs), step.Expected);
  }
}

// A wake descriptor ends a wait as soon as it is readable (a stop of the run), however long
// the wait and whatever is queued; until then, and once it is read, receiving is as ever.
TEST(DgUdp, AReadableWakeDescriptorEndsTheWait) {
  TPeer peer;
  TDgUDPClient client;
  const int clientPort = ClientPortSeenBy(peer, client);
  int wake[2];
  ASSERT_EQ(::pipe(wake), 0);
  client.WakeFd = wake[0];
  peer.SendTo(clientPort, "before");
  EXPECT_EQ(ReceiveGuarded(client, peer, clientPort, 60000), "before");
  EXPECT_FALSE(client.Woken());
  EXPECT_EQ(ReceiveGuarded(client, peer, clientPort, 30), "");  // a plain time-out
  EXPECT_FALSE(client.Woken());
  ASSERT_EQ(::write(wake[1], "s", 1), 1);
  EXPECT_EQ(ReceiveGuarded(client, peer, clientPort, 60000), "");
  EXPECT_TRUE(client.Woken());
  EXPECT_EQ(ReceiveGuarded(client, peer, clientPort, DgTimeoutInfinite), "");
  EXPECT_TRUE(client.Woken());
  // The wake wins over a datagram queued meanwhile, which stays for the next receive.
  peer.SendTo(clientPort, "queued");
  ASSERT_TRUE(client.GetBinding().Readable(60000));
  for (int timeout : {60000, DgTimeoutInfinite}) {
    EXPECT_EQ(ReceiveGuarded(client, peer, clientPort, timeout), "");
    EXPECT_TRUE(client.Woken());
  }
  char byte;
  ASSERT_EQ(::read(wake[0], &byte, 1), 1);
  EXPECT_EQ(ReceiveGuarded(client, peer, clientPort, 60000), "queued");
  EXPECT_FALSE(client.Woken());
  ::close(wake[0]);
  ::close(wake[1]);
}

// A wake that comes while the receive sleeps already, with no signal to interrupt it (a timer
// turns the descriptor readable, or a thread that waits for the timer sets the flag), still
// ends the wait long before its time-out: a long wait is waited in slices, the wake looked
// at between them. A receive that starts after the timer sees the wake at once.
TEST(DgUdp, AWakeDuringTheReceiveEndsItWithinASlice) {
  for (const bool byFlag : {true, false}) {
    SCOPED_TRACE(byFlag ? "flag" : "descriptor");
    TPeer peer;
    TDgUDPClient client;
    const int clientPort = ClientPortSeenBy(peer, client);
    const int timer = ::timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC);
    ASSERT_GE(timer, 0);
    const itimerspec in300ms{{0, 0}, {0, 300 * 1000 * 1000}};
    ASSERT_EQ(::timerfd_settime(timer, 0, &in300ms, nullptr), 0);
    volatile sig_atomic_t flag = 0;
    std::thread waker;
    if (byFlag) {
      client.WakeFlag = &flag;
      waker = std::thread([&] {
        uint64_t expirations = 0;
        EXPECT_EQ(::read(timer, &expirations, sizeof expirations), static_cast<ssize_t>(sizeof expirations));
        flag = 1;
      });
    } else {
      client.WakeFd = timer;
    }
    EXPECT_EQ(ReceiveGuarded(client, peer, clientPort, 60000), "");  // the watchdog comes after 20 s
    if (waker.joinable()) waker.join();
    EXPECT_TRUE(client.Woken());
    ::close(timer);
  }
}

TEST(DgUdp, DatagramLongerThanBufferFailsWithMessageTooLong) {
  TPeer peer;
  TDgUDPClient client;
  peer.SendTo(ClientPortSeenBy(peer, client), std::string(600, 'a'));
  client.BufferSize = 516;
  std::string ip;
  int port = 0;
  try {
    client.ReceiveString(ip, port, 5000);
    FAIL() << "no exception";
  } catch (const EDgSocketError& e) {
    EXPECT_EQ(e.LastError, 10040);
    EXPECT_STREQ(e.what(), "Socket Error # 10040\r\nMessage too long.");
  }
  // The cut datagram is gone; the next one is received whole.
  peer.SendTo(peer.FromPort, std::string(516, 'b'));
  EXPECT_EQ(client.ReceiveString(ip, port, 5000), std::string(516, 'b'));
}

TEST(DgUdp, SendFailuresRaiseTheirExceptions) {
  TDgUDPClient client;
  EXPECT_THROW(client.SendBuffer("127.0.0.1", 9, std::string(70000, 'z')), EDgPackageSizeTooBig);
  try {
    client.SendBuffer("127.0.0.1", 70000, "x");  // no such port: never sent to port 4464
    FAIL() << "no exception";
  } catch (const EDgSocketError& e) {
    EXPECT_EQ(e.LastError, 10022);
    EXPECT_STREQ(e.what(), "Socket Error # 10022\r\nInvalid argument.");
  }
}

TEST(DgUdp, BindingLifeAndClosedHandles) {
  TDgUDPClient client;
  EXPECT_EQ(client.Binding(), nullptr);
  client.SetActive(true);
  ASSERT_NE(client.Binding(), nullptr);
  const int fd = client.Binding()->Handle;
  EXPECT_GE(fd, 0);
  client.Binding()->CloseSocket();
  EXPECT_FALSE(client.Active());
  EXPECT_EQ(client.Binding()->Handle, -1);
  client.Binding()->CloseSocket();  // nothing open: nothing happens
  EXPECT_THROW(client.Binding()->Readable(0), EDgConnClosedGracefully);
  client.SetActive(false);
  EXPECT_EQ(client.Binding(), nullptr);
}
