// The socket layer over real loopback connections: notifications of TQpSocket, and
// TWsConnection with its rings and Telnet handling, driven as the socket dispatcher drives it.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "host/winsock_errors.h"
#include "port/qp_device_socket.h"
#include "port/qp_dispatch_log.h"
#include "port/qp_except.h"
#include "port/qp_socket.h"
#include "port/ws_connection.h"
#include "test_socket_peer.h"
#include "support/server_process.h"
#include "support/temp_dir.h"

using namespace quodra::port;
using quodra::test::Loopback;
using quodra::test::TPeer;
using quodra::test::WaitFor;

namespace {

std::string B(std::initializer_list<int> bytes) {
  std::string s;
  for (int b : bytes) s += static_cast<char>(b);
  return s;
}

// Stands in for the socket dispatcher: records what the connection tells it.
struct TTestLink : TWsDispatcherLink {
  std::vector<uint32_t> Events;
  std::vector<intptr_t> Params;
  int Readable = 0;
  bool ConnectedBit = false;
  int RemoteCleared = 0;
  intptr_t AcceptAnswer = 1;
  std::vector<std::pair<int, uint32_t>> Log;
  std::string SentTerm;

  void WsReadable() override { ++Readable; }
  intptr_t WsTellPort(uint32_t event, intptr_t param) override {
    Events.push_back(event);
    Params.push_back(param);
    return event == weAccept ? AcceptAnswer : 0;
  }
  void WsSetConnected(bool c) override { ConnectedBit = c; }
  void WsClearRemoteAddress() override { ++RemoteCleared; }
  void WsLog(uint8_t type, uint8_t subtype, uint32_t data, const void* payload, uint32_t length) override {
    EXPECT_EQ(type, ltTelnet);
    Log.emplace_back(subtype, data);
    if (subtype == lsSentTerm) SentTerm.assign(static_cast<const char*>(payload), length);
  }
  bool Saw(uint32_t event) const { return std::find(Events.begin(), Events.end(), event) != Events.end(); }
};

class ConnectionTest : public ::testing::Test {
 protected:
  void TearDown() override {
    if (Conn) Device().CloseConnection(Conn);
  }
  static TQpDeviceSocket& Device() { return TQpDeviceSocket::Instance(); }

  // A client connection to the peer, connected.
  void OpenClient(bool telnet, uint32_t inSize = 4096, uint32_t outSize = 4096) {
    Conn = Device().CreateConnection(&Link, true, telnet, inSize, outSize);
    ASSERT_NE(Conn->OwnSocket(), kInvalidSocket);
    ASSERT_EQ(Device().AsyncSelect(Conn->OwnSocket(), fdAllEvents), 0);
    int rc = Device().Connect(Conn->OwnSocket(), Loopback(Peer.Port));
    if (rc != 0) {
      ASSERT_EQ(Device().LastError(), quodra::host::kWsaEWOULDBLOCK);
    }
    ASSERT_TRUE(Peer.AcceptWait());
    ASSERT_TRUE(WaitFor([&] { return Link.Saw(weConnect); }));
    ASSERT_TRUE(Conn->Connected());
    ASSERT_TRUE(Link.ConnectedBit);
    ASSERT_EQ(Conn->PeerSocket(), Conn->OwnSocket());
  }
  int Write(const std::string& s) {
    return Conn->Write(reinterpret_cast<const uint8_t*>(s.data()), static_cast<uint32_t>(s.size()));
  }
  // Reads as the dispatcher does until `count` data bytes came out (or time runs out).
  std::string ReadData(size_t count, int ms = 5000) {
    std::string out = Got;
    Got.clear();
    WaitFor(
        [&] {
          uint8_t buf[100];
          int n;
          while ((n = Conn->Read(buf, sizeof buf)) > 0) out.append(reinterpret_cast<char*>(buf), static_cast<size_t>(n));
          return out.size() >= count;
        },
        ms);
    return out;
  }
  // Runs the connection (reads) until the peer has `count` bytes.
  std::string PeerTake(size_t count) {
    WaitFor([&] {
      uint8_t buf[64];
      int n = Conn->Read(buf, sizeof buf);
      if (n > 0) Got.append(reinterpret_cast<char*>(buf), static_cast<size_t>(n));
      return Peer.Drain().size() >= count;
    });
    std::string r = Peer.Received;
    Peer.Received.clear();
    return r;
  }

  TPeer Peer;
  TTestLink Link;
  TWsConnection* Conn = nullptr;
  std::string Got;  // data read while waiting for the peer
};

}  // namespace

TEST_F(ConnectionTest, TelnetSendTransformOnTheWire) {
  OpenClient(true);
  EXPECT_EQ(Write(B({255, 65})), 2);
  EXPECT_EQ(Peer.Take(3), B({255, 255, 65}));
  EXPECT_EQ(Write("USER anonymous\r\n"), 16);
  EXPECT_EQ(Peer.Take(16), "USER anonymous\r\n");
  EXPECT_EQ(Write("a\rb"), 3);
  EXPECT_EQ(Peer.Take(4), B({'a', 13, 0, 'b'}));
  EXPECT_TRUE(WaitFor([&] { return Conn->OutCount() == 0; }));
}

TEST_F(ConnectionTest, TelnetRequestsAreAnsweredAndNotDelivered) {
  OpenClient(true);
  Peer.Send(B({255, 251, 1}));
  EXPECT_EQ(PeerTake(3), B({255, 253, 1}));
  EXPECT_EQ(ReadData(1, 100), "");
  Peer.Send(B({255, 253, 24}));
  EXPECT_EQ(PeerTake(3), B({255, 251, 24}));
  Peer.Send(B({255, 253, 31}));
  EXPECT_EQ(PeerTake(3), B({255, 252, 31}));
  Peer.Send(B({255, 250, 24, 1, 255, 240}));
  EXPECT_EQ(PeerTake(11), B({255, 250, 24, 0}) + "vt100" + B({255, 240}));
  EXPECT_EQ(Link.SentTerm, "vt100");
  Peer.Send(B({'x', 255, 255, 'y', 13, 0, 'z'}));
  EXPECT_EQ(ReadData(5), B({'x', 255, 'y', 13, 'z'}));

  const std::vector<std::pair<int, uint32_t>> expected = {
      {lsRecvWill, 1}, {lsSentDo, 1}, {lsRecvDo, 24}, {lsSentWill, 24}, {lsRecvDo, 31}, {lsSentWont, 31},
      {lsSentTerm, 0}};
  EXPECT_EQ(Link.Log, expected);
}

TEST_F(ConnectionTest, TelnetSequencesSplitAcrossReceivesAreHeldBack) {
  OpenClient(true);
  Peer.Send(B({'a', 'b', 255}));
  EXPECT_EQ(ReadData(2), "ab");
  EXPECT_TRUE(WaitFor([&] { return Conn->InCount() == 0; }));
  Peer.Send(B({255, 'c', 255, 250, 24, 1, 255}));
  EXPECT_EQ(ReadData(2), B({255, 'c'}));
  Peer.Send(B({240, 'd', 13}));
  EXPECT_EQ(PeerTake(11), B({255, 250, 24, 0}) + "vt100" + B({255, 240}));
  EXPECT_EQ(ReadData(2), B({'d', 13}));
  Peer.Send(B({0, 'e'}));
  EXPECT_EQ(ReadData(1), "e");
}

TEST_F(ConnectionTest, WithoutTelnetEveryBytePassesUnchanged) {
  OpenClient(false);
  std::string all;
  for (int i = 0; i < 256; ++i) all += static_cast<char>(i);
  all += B({255, 251, 1, 13, 0, 13});
  EXPECT_EQ(Write(all), static_cast<int>(all.size()));
  EXPECT_EQ(Peer.Take(all.size()), all);
  Peer.Send(all);
  EXPECT_EQ(ReadData(all.size()), all);
  EXPECT_EQ(Peer.Drain(), "");  // nothing was answered
}

TEST_F(ConnectionTest, SmallInputRingLosesNothing) {
  OpenClient(false, 64);
  const std::string data = quodra::test::PatternBytes(20000, 7);
  Peer.Send(data);
  std::string got;
  WaitFor([&] {
    EXPECT_LE(Conn->InCount(), 64u);
    uint8_t buf[10];
    int n = Conn->Read(buf, sizeof buf);
    if (n > 0) got.append(reinterpret_cast<char*>(buf), static_cast<size_t>(n));
    return got.size() >= data.size();
  });
  EXPECT_EQ(got, data);
}

TEST_F(ConnectionTest, OutputThatWouldBlockIsSentLaterInOrder) {
  OpenClient(false, 4096, 60000);
  // The peer does not read: fill the socket buffers and the output ring.
  const std::string block = quodra::test::PatternBytes(60000, 3);
  std::string sent;
  for (int i = 0; i < 2000; ++i) {
    int n = Write(block);
    sent += block.substr(0, static_cast<size_t>(n));
    if (n < static_cast<int>(block.size())) break;
  }
  ASSERT_GT(Conn->OutPending(), 0u);
  EXPECT_GT(Conn->OutCount(), 0u);
  // Now the peer reads; polling the output count pushes the rest.
  std::string got;
  WaitFor(
      [&] {
        Conn->OutCount();
        got += Peer.Drain();
        Peer.Received.clear();
        return got.size() >= sent.size();
      },
      30000);
  EXPECT_EQ(got.size(), sent.size());
  EXPECT_TRUE(got == sent);
  EXPECT_EQ(Conn->OutPending(), 0u);
  EXPECT_EQ(Conn->OutCount(), 0u);
}

TEST_F(ConnectionTest, OrderlyCloseByThePeerArrivesAfterItsData) {
  OpenClient(false);
  Peer.Send("bye");
  Peer.Close();
  EXPECT_EQ(ReadData(3), "bye");
  ASSERT_TRUE(WaitFor([&] { return Link.Saw(weClose); }));
  EXPECT_FALSE(Conn->Connected());
  EXPECT_FALSE(Link.ConnectedBit);
  EXPECT_EQ(Conn->PeerSocket(), kInvalidSocket);
  EXPECT_GE(Link.RemoteCleared, 1);
  EXPECT_EQ(std::count(Link.Events.begin(), Link.Events.end(), weClose), 1);
}

TEST_F(ConnectionTest, ResetByThePeerIsReportedAsError10054) {
  OpenClient(false);
  Peer.Reset();
  ASSERT_TRUE(WaitFor([&] {
    uint8_t buf[16];
    Conn->Read(buf, sizeof buf);
    return Link.Saw(quodra::host::kWsaECONNRESET);
  }));
}

TEST_F(ConnectionTest, RefusedConnectIsReportedAsError10061) {
  int port = quodra::test::FreeTcpPort();
  Conn = Device().CreateConnection(&Link, true, true, 4096, 4096);
  Device().AsyncSelect(Conn->OwnSocket(), fdAllEvents);
  Device().Connect(Conn->OwnSocket(), Loopback(static_cast<uint16_t>(port)));
  ASSERT_TRUE(WaitFor([&] { return Link.Saw(quodra::host::kWsaECONNREFUSED); }));
  EXPECT_FALSE(Link.Saw(weConnect));
  EXPECT_FALSE(Conn->Connected());
}

TEST_F(ConnectionTest, ServerModeAcceptsOneCallerAndShowsOthersOut) {
  Conn = Device().CreateConnection(&Link, false, false, 4096, 4096);
  TSocket own = Conn->OwnSocket();
  int one = 1;
  Device().SetSockOpt(own, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  ASSERT_EQ(Device().Bind(own, Loopback(0)), 0);
  ASSERT_EQ(Device().AsyncSelect(own, fdAllEvents), 0);
  ASSERT_EQ(Device().Listen(own, 5), 0);
  sockaddr_in local{};
  Device().GetSockName(own, &local);

  TPeer first, second;
  ASSERT_TRUE(first.ConnectTo(ntohs(local.sin_port)));
  ASSERT_TRUE(WaitFor([&] { return Conn->Connected(); }));
  ASSERT_TRUE(Link.Saw(weAccept));
  EXPECT_EQ(static_cast<uint32_t>(Link.Params[0]), htonl(INADDR_LOOPBACK));
  EXPECT_NE(Conn->PeerSocket(), kInvalidSocket);

  ASSERT_TRUE(second.ConnectTo(ntohs(local.sin_port)));
  EXPECT_TRUE(second.WaitEof());  // let in and closed at once
  EXPECT_EQ(std::count(Link.Events.begin(), Link.Events.end(), weAccept), 1);

  first.Send("hello");
  EXPECT_EQ(ReadData(5), "hello");
  EXPECT_EQ(Write("back"), 4);
  EXPECT_EQ(first.Take(4), "back");

  first.Close();
  ASSERT_TRUE(WaitFor([&] { return Link.Saw(weAcceptedClose); }));
  EXPECT_FALSE(Conn->Connected());
  EXPECT_EQ(Conn->PeerSocket(), kInvalidSocket);

  // The listening socket still works; this time the port turns the caller away.
  Link.AcceptAnswer = 0;
  TPeer third;
  ASSERT_TRUE(third.ConnectTo(ntohs(local.sin_port)));
  EXPECT_TRUE(third.WaitEof());
  EXPECT_FALSE(Conn->Connected());
  EXPECT_EQ(Conn->PeerSocket(), kInvalidSocket);
}

TEST_F(ConnectionTest, ReadNotificationsRunTheDispatcherAndConnectionsAreFound) {
  OpenClient(false);
  EXPECT_EQ(Device().FindConnection(Conn->OwnSocket()), Conn);
  EXPECT_EQ(Device().FindConnection(12345), nullptr);
  Peer.Send("data");
  ASSERT_TRUE(WaitFor([&] { return Link.Readable > 0; }));
  EXPECT_EQ(ReadData(4), "data");
  size_t before = Device().ConnectionCount();
  Device().CloseConnection(Conn);
  Conn = nullptr;
  EXPECT_EQ(Device().ConnectionCount(), before - 1);
  EXPECT_TRUE(Peer.WaitEof());
}

// ---------------------------------------------------------------------------------------------

namespace {

struct TSocketCounts {
  int Accept = 0, Connect = 0, Disconnect = 0, Read = 0, Write = 0;
  std::vector<int> Errors;
};

void Count(TQpSocket& s, TSocketCounts& c) {
  s.OnAccept = [&c](TQpSocket*, TSocket) { ++c.Accept; };
  s.OnConnect = [&c](TQpSocket*, TSocket) { ++c.Connect; };
  s.OnDisconnect = [&c](TQpSocket*, TSocket) { ++c.Disconnect; };
  s.OnRead = [&c](TQpSocket*, TSocket) { ++c.Read; };
  s.OnWrite = [&c](TQpSocket*, TSocket) { ++c.Write; };
  s.OnError = [&c](TQpSocket*, TSocket, int e) { c.Errors.push_back(e); };
}

}  // namespace

TEST(QpSocket, ListenAcceptReadAndCloseNotifications) {
  TQpSocket sockets;
  TSocketCounts c;
  Count(sockets, c);
  TSocket listener = sockets.CreateSocket();
  ASSERT_EQ(sockets.Bind(listener, Loopback(0)), 0);
  ASSERT_EQ(sockets.AsyncSelect(listener, fdRead | fdWrite | fdAccept | fdClose), 0);
  ASSERT_EQ(sockets.Listen(listener, 5), 0);
  sockaddr_in local{};
  ASSERT_EQ(sockets.GetSockName(listener, &local), 0);

  TPeer client;
  ASSERT_TRUE(client.ConnectTo(ntohs(local.sin_port)));
  ASSERT_TRUE(WaitFor([&] { return c.Accept == 1; }));
  sockaddr_in remote{};
  TSocket data = sockets.Accept(listener, &remote);
  ASSERT_NE(data, kInvalidSocket);
  EXPECT_EQ(remote.sin_addr.s_addr, htonl(INADDR_LOOPBACK));
  // The accepted socket reports what the listening one does: first a write notification.
  ASSERT_TRUE(WaitFor([&] { return c.Write >= 1; }));

  client.Send("12345");
  ASSERT_TRUE(WaitFor([&] { return c.Read == 1; }));
  // Until the data are received there is no further read notification.
  quodra::host::WaitMs(100);
  EXPECT_EQ(c.Read, 1);
  char buf[16];
  EXPECT_EQ(sockets.Recv(data, buf, sizeof buf), 5);
  EXPECT_EQ(sockets.Recv(data, buf, sizeof buf), kSocketError);  // nothing more: quiet would-block
  EXPECT_EQ(sockets.LastError(), quodra::host::kWsaEWOULDBLOCK);
  EXPECT_TRUE(c.Errors.empty());
  client.Send("6");
  ASSERT_TRUE(WaitFor([&] { return c.Read == 2; }));
  EXPECT_EQ(sockets.Recv(data, buf, sizeof buf), 1);

  client.Close();
  ASSERT_TRUE(WaitFor([&] { return c.Disconnect == 1; }));
  EXPECT_EQ(sockets.Recv(data, buf, sizeof buf), 0);
  quodra::host::WaitMs(50);
  EXPECT_EQ(c.Disconnect, 1);
  EXPECT_EQ(sockets.CloseSocket(data), 0);
  EXPECT_EQ(sockets.CloseSocket(listener), 0);
  EXPECT_TRUE(c.Errors.empty());
}

TEST(QpSocket, CancelledNotificationsAreNotDelivered) {
  TQpSocket sockets;
  TSocketCounts c;
  Count(sockets, c);
  TPeer peer;
  TSocket s = sockets.CreateSocket();
  sockets.AsyncSelect(s, fdRead | fdConnect | fdClose);
  sockets.Connect(s, Loopback(peer.Port));
  ASSERT_TRUE(peer.AcceptWait());
  ASSERT_TRUE(WaitFor([&] { return c.Connect == 1; }));
  EXPECT_EQ(c.Write, 0);  // not asked for
  peer.Send("x");
  ASSERT_TRUE(WaitFor([&] { return c.Read == 1; }));
  ASSERT_EQ(sockets.AsyncSelect(s, 0), 0);
  char buf[4];
  EXPECT_EQ(sockets.Recv(s, buf, sizeof buf), 1);
  peer.Send("y");
  peer.Close();
  quodra::host::WaitMs(100);
  EXPECT_EQ(c.Read, 1);
  EXPECT_EQ(c.Disconnect, 0);
  sockets.CloseSocket(s);
}

TEST(QpSocket, ErrorsWithoutHandlerDoNotEscapeTheEventLoop) {
  TQpSocket sockets;  // no OnError
  std::vector<std::string> escaped;
  auto saved = TQpSocket::UnhandledException;
  TQpSocket::UnhandledException = [&](const std::exception& e) { escaped.push_back(e.what()); };
  TSocket s = sockets.CreateSocket();
  sockets.AsyncSelect(s, fdConnect);
  sockets.Connect(s, Loopback(static_cast<uint16_t>(quodra::test::FreeTcpPort())));
  bool done = WaitFor([&] { return !escaped.empty(); });
  TQpSocket::UnhandledException = saved;
  ASSERT_TRUE(done);
  EXPECT_EQ(escaped[0], "The attempt to connect was forcibly refused");
  // A wrapper called directly raises to its caller.
  EXPECT_THROW(sockets.Listen(-1, 5), EQpSocketException);
  sockets.CloseSocket(s);
}

TEST(QpSocket, StartupFailureMakesEveryCallRaise9004) {
  TQpSocket sockets;
  sockets.SetStartupError(ecWinsockVersion);
  try {
    sockets.CreateSocket();
    FAIL() << "no exception";
  } catch (const EQpSocketException& e) {
    EXPECT_EQ(e.ErrorCode(), 9004);
    EXPECT_STREQ(e.what(), "Winsock not initialized - Incorrect version of Winsock");
  }
  EXPECT_THROW(sockets.InetAddr("1.2.3.4"), EQpSocketException);
  EXPECT_THROW(sockets.Recv(0, nullptr, 0), EQpSocketException);
  sockets.SetStartupError(0);
  EXPECT_NE(sockets.InetAddr("1.2.3.4"), INADDR_NONE);
}

TEST(QpSocket, NamesAndAddresses) {
  TQpSocket sockets;
  EXPECT_EQ(sockets.ResolveService("ftp"), 21);
  EXPECT_EQ(sockets.ResolveService("telnet"), 23);
  EXPECT_EQ(sockets.ResolveService("no-such-service-here"), 0);
  EXPECT_EQ(sockets.InetAddr("127.0.0.1"), htonl(INADDR_LOOPBACK));
  EXPECT_EQ(sockets.InetAddr("127.0.0.1      junk"), htonl(INADDR_LOOPBACK));  // first 15 characters
  EXPECT_EQ(sockets.InetAddr("not an address"), INADDR_NONE);
  EXPECT_EQ(sockets.InetAddr(""), INADDR_NONE);
  EXPECT_EQ(sockets.InetNtoA(htonl(0x0A000102)), "10.0.1.2");
  EXPECT_EQ(sockets.ResolveHost("localhost"), htonl(INADDR_LOOPBACK));
  EXPECT_EQ(sockets.ResolveHost(""), 0u);
  EXPECT_EQ(TQpSocket::HtoNs(0x1234), htons(0x1234));
  EXPECT_FALSE(sockets.HostName().empty());
}
