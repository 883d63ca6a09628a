// The socket port over real loopback connections: opening and its failures, remote close
// and reset, closing from inside event handlers, port users and saved triggers.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "host/winsock_errors.h"
#include "port/qp_except.h"
#include "port/qp_sock_dispatcher.h"
#include "port/qp_winsock_port.h"
#include "support/server_process.h"
#include "test_winsock_port_peer.h"

namespace quodra::port {
namespace {

using test::TLoopbackPeer;
using test::WaitFor;

std::unique_ptr<TQpCustomWinsockPort> MakePort(const std::string& address, const std::string& port) {
  auto p = std::make_unique<TQpCustomWinsockPort>();
  p->SetDeviceLayer(dlWinsock);
  p->SetAutoOpen(false);
  p->SetWsTelnet(false);
  p->SetWsAddress(address);
  p->SetWsPort(port);
  return p;
}

struct TEvents {
  int Connects = 0;
  int Disconnects = 0;
  int PortCloses = 0;
  std::vector<int> Errors;
  void Attach(TQpCustomWinsockPort& p) {
    p.OnWsConnect = [this](TQpBaseComponent*) { ++Connects; };
    p.OnWsDisconnect = [this](TQpBaseComponent*) { ++Disconnects; };
    p.OnPortClose = [this](TQpBaseComponent*) { ++PortCloses; };
    p.OnWsError = [this](TQpBaseComponent*, int32_t code) { Errors.push_back(code); };
  }
};

TEST(WinsockPort, ServicePortsComeFromTheServiceTable) {
  EXPECT_EQ(TQpCustomWinsockPort::ResolvePort("ftp"), 21);
  EXPECT_EQ(TQpCustomWinsockPort::ResolvePort("2121"), 2121);
  EXPECT_EQ(TQpCustomWinsockPort::ResolvePort("no-such-service-quodra"), 0);
  EXPECT_EQ(TQpCustomWinsockPort::ResolvePort("70000"), 0);  // must not wrap onto port 4464
  EXPECT_EQ(TQpCustomWinsockPort::ResolvePort(""), 0);
}

TEST(WinsockPort, OpenFailuresRaiseTheirCodesAndLeaveThePortClosed) {
  auto expectSocketCode = [](TQpCustomWinsockPort& p, int code) {
    try {
      p.SetOpen(true);
      ADD_FAILURE() << "open succeeded";
    } catch (const EQpSocketException& e) {
      EXPECT_EQ(e.ErrorCode(), code);
    }
    EXPECT_FALSE(p.Open());
    EXPECT_EQ(p.CurrentDispatcher(), nullptr);
  };
  auto noService = MakePort("127.0.0.1", "no-such-service-quodra");
  expectSocketCode(*noService, ecInvalidPort);
  auto noAddress = MakePort("", "21");
  expectSocketCode(*noAddress, host::kWsaEDESTADDRREQ);
  // An empty label is refused by the resolver itself, without a query on the network.
  auto badName = MakePort("a..b", "21");
  expectSocketCode(*badName, ecCantResolveAddress);
}

TEST(WinsockPort, UnresolvableAddressWithHandlerReportsThenRaisesPortException) {
  auto p = MakePort("a..b", "21");
  TEvents ev;
  ev.Attach(*p);
  try {
    p->SetOpen(true);
    ADD_FAILURE() << "open succeeded";
  } catch (const EQpException& e) {
    EXPECT_STREQ(e.what(), "Port exception");
  }
  EXPECT_EQ(ev.Errors, std::vector<int>{ecCantResolveAddress});
  EXPECT_FALSE(p->Open());
}

TEST(WinsockPort, AddressAndPortAreTrimmedAndLockedWhileOpen) {
  TLoopbackPeer peer;
  auto p = MakePort("  127.0.0.1  ", " " + peer.PortText() + " ");
  EXPECT_EQ(p->WsAddress(), "127.0.0.1");
  EXPECT_EQ(p->WsPort(), peer.PortText());
  p->SetOpen(true);
  ASSERT_TRUE(peer.Accept());
  EXPECT_NO_THROW(p->SetWsAddress("127.0.0.1 "));  // same text: nothing changes
  try {
    p->SetWsAddress("127.0.0.2");
    ADD_FAILURE() << "address changed while open";
  } catch (const EQpSocketException& e) {
    EXPECT_EQ(e.ErrorCode(), ecCantChangeWhileOpen);
  }
  EXPECT_THROW(p->SetWsPort("21"), EQpSocketException);
  EXPECT_EQ(p->WsAddress(), "127.0.0.1");
  p->SetOpen(false);
  EXPECT_NO_THROW(p->SetWsPort("21"));
}

TEST(WinsockPort, ConnectReportsOnceAndRemoteCloseClosesThePort) {
  TLoopbackPeer peer;
  auto p = MakePort("127.0.0.1", peer.PortText());
  TEvents ev;
  ev.Attach(*p);
  p->SetOpen(true);
  ASSERT_TRUE(p->Open());
  ASSERT_TRUE(peer.Accept());
  ASSERT_TRUE(WaitFor([&] { return ev.Connects == 1; }));
  peer.CloseConnection();
  ASSERT_TRUE(WaitFor([&] { return !p->Open(); }));
  test::WaitFor([] { return false; }, 150);  // a late second report would show up here
  EXPECT_EQ(ev.Disconnects, 1);
  EXPECT_EQ(ev.PortCloses, 1);
  EXPECT_EQ(ev.Connects, 1);
  EXPECT_TRUE(ev.Errors.empty());
}

TEST(WinsockPort, ResetReportsTheErrorAndClosesThePort) {
  TLoopbackPeer peer;
  auto p = MakePort("127.0.0.1", peer.PortText());
  TEvents ev;
  ev.Attach(*p);
  p->SetOpen(true);
  ASSERT_TRUE(peer.Accept());
  ASSERT_TRUE(WaitFor([&] { return ev.Connects == 1; }));
  peer.Reset();
  ASSERT_TRUE(WaitFor([&] { return !p->Open(); }));
  ASSERT_FALSE(ev.Errors.empty());
  EXPECT_EQ(ev.Errors.front(), host::kWsaECONNRESET);
  EXPECT_EQ(ev.Disconnects, 1);
}

TEST(WinsockPort, RefusedConnectIsReportedAndTheHandlerDecides) {
  int freePort = quodra::test::FreeTcpPort();
  auto p = MakePort("127.0.0.1", std::to_string(freePort));
  TEvents ev;
  ev.Attach(*p);
  int code = 0;
  try {
    p->SetOpen(true);
  } catch (const EQpSocketException& e) {
    code = e.ErrorCode();  // refused at once
  }
  if (code == 0) {
    ASSERT_TRUE(WaitFor([&] { return !ev.Errors.empty(); }));
    code = ev.Errors.front();
    EXPECT_TRUE(p->Open());  // closing is the handler's decision
    p->SetOpen(false);
  }
  EXPECT_EQ(code, host::kWsaECONNREFUSED);
  EXPECT_FALSE(p->Open());
}

// Closing from inside a handler finishes only after the handler has returned.
struct TCloseInside {
  bool OpenAfterCloseRequest = false;
  bool ClosingAfterCloseRequest = false;
  int Calls = 0;
  void CloseNow(TQpCustomWinsockPort& p) {
    ++Calls;
    p.SetOpen(false);
    OpenAfterCloseRequest = p.Open();
    ClosingAfterCloseRequest = p.IsClosing();
  }
};

TEST(WinsockPort, CloseFromInsideOnWsConnectCompletesAfterTheHandler) {
  TLoopbackPeer peer;
  auto p = MakePort("127.0.0.1", peer.PortText());
  TEvents ev;
  ev.Attach(*p);
  TCloseInside inside;
  p->OnWsConnect = [&](TQpBaseComponent*) { inside.CloseNow(*p); };
  p->SetOpen(true);
  ASSERT_TRUE(WaitFor([&] { return inside.Calls == 1 && !p->Open(); }));
  EXPECT_TRUE(inside.OpenAfterCloseRequest);
  EXPECT_TRUE(inside.ClosingAfterCloseRequest);
  EXPECT_EQ(ev.Disconnects, 1);
  EXPECT_EQ(p->CurrentDispatcher(), nullptr);
}

TEST(WinsockPort, CloseFromInsideOnTriggerAvailCompletesAfterTheHandler) {
  TLoopbackPeer peer;
  auto p = MakePort("127.0.0.1", peer.PortText());
  TEvents ev;
  ev.Attach(*p);
  TCloseInside inside;
  p->OnTriggerAvail = [&](TQpBaseComponent*, uint16_t) { inside.CloseNow(*p); };
  p->SetOpen(true);
  ASSERT_TRUE(peer.Accept());
  ASSERT_TRUE(peer.Send("hello"));
  ASSERT_TRUE(WaitFor([&] { return inside.Calls >= 1 && !p->Open(); }));
  EXPECT_EQ(inside.Calls, 1);
  EXPECT_TRUE(inside.OpenAfterCloseRequest);
  EXPECT_TRUE(inside.ClosingAfterCloseRequest);
  EXPECT_EQ(ev.Disconnects, 1);
}

TEST(WinsockPort, CloseFromInsideOnWsErrorCompletesAfterTheHandler) {
  TLoopbackPeer peer;
  auto p = MakePort("127.0.0.1", peer.PortText());
  TEvents ev;
  ev.Attach(*p);
  TCloseInside inside;
  p->OnWsError = [&](TQpBaseComponent*, int32_t code) {
    ev.Errors.push_back(code);
    inside.CloseNow(*p);
  };
  p->SetOpen(true);
  ASSERT_TRUE(peer.Accept());
  ASSERT_TRUE(WaitFor([&] { return ev.Connects == 1; }));
  peer.Reset();
  ASSERT_TRUE(WaitFor([&] { return inside.Calls >= 1 && !p->Open(); }));
  EXPECT_TRUE(inside.OpenAfterCloseRequest);
  EXPECT_EQ(ev.Disconnects, 1);
}

TEST(WinsockPort, DestroyingThePortFromItsOwnHandlerIsSafe) {
  TLoopbackPeer peer;
  auto p = MakePort("127.0.0.1", peer.PortText());
  bool handled = false;
  p->OnTriggerAvail = [&](TQpBaseComponent*, uint16_t) {
    handled = true;
    p.reset();
  };
  p->SetOpen(true);
  ASSERT_TRUE(peer.Accept());
  ASSERT_TRUE(peer.Send("bye"));
  ASSERT_TRUE(WaitFor([&] { return handled; }));
  test::WaitFor([] { return false; }, 100);  // the cut-off dispatcher is freed meanwhile
  EXPECT_EQ(p, nullptr);
}

TEST(WinsockPort, OpenRequestedDuringADeferredCloseOpensAgain) {
  TLoopbackPeer peer;
  auto p = MakePort("127.0.0.1", peer.PortText());
  TEvents ev;
  ev.Attach(*p);
  int connects = 0;
  p->OnWsConnect = [&](TQpBaseComponent*) {
    if (++connects == 1) {
      p->SetOpen(false);
      p->SetOpen(true);  // carried out once the close has finished
    }
  };
  p->SetOpen(true);
  ASSERT_TRUE(WaitFor([&] { return connects == 2; }));
  EXPECT_TRUE(p->Open());
  EXPECT_EQ(ev.Disconnects, 1);
  p->SetOpen(false);
}

TEST(WinsockPort, UsersHearOfOpenClosingAndCloseNewestFirst) {
  TLoopbackPeer peer;
  auto p = MakePort("127.0.0.1", peer.PortText());
  std::vector<std::string> heard;
  int a = 0, b = 0, c = 0;
  p->RegisterUserCallbackEx(&a, [&](TQpCustomComPort*, TPortUserEvent e) { heard.push_back("a" + std::to_string(e)); }, true);
  p->RegisterUserCallbackEx(&b, [&](TQpCustomComPort*, TPortUserEvent e) { heard.push_back("b" + std::to_string(e)); }, false);
  p->RegisterUserCallback(&c, [&](TQpCustomComPort*, bool opening) { heard.push_back(opening ? "c+" : "c-"); });
  p->SetOpen(true);
  p->SetOpen(false);
  EXPECT_EQ(heard, (std::vector<std::string>{"c+", "b0", "a0", "a1", "c-", "b2", "a2"}));
  heard.clear();
  p->DeregisterUserCallback(&b);
  p->SetOpen(true);
  p->SetOpen(false);
  EXPECT_EQ(heard, (std::vector<std::string>{"c+", "a0", "a1", "c-", "a2"}));
}

TEST(WinsockPort, TriggersSurviveCloseAndReopen) {
  TLoopbackPeer peer;
  auto p = MakePort("127.0.0.1", peer.PortText());
  p->SetOpen(true);
  TQpBaseDispatcher* d = p->CurrentDispatcher();
  ASSERT_NE(d, nullptr);
  int h = d->AddTimerTrigger();
  ASSERT_GT(h, 0);
  ASSERT_EQ(d->SetTimerTrigger(h, 100000, true), 0);
  p->SetOpen(false);
  EXPECT_TRUE(p->HasSavedTriggers());
  p->SetOpen(true);
  d = p->CurrentDispatcher();
  ASSERT_NE(d, nullptr);
  EXPECT_TRUE(d->TimerTriggerActive(h));
  int h2 = d->AddTimerTrigger();
  EXPECT_GT(h2, 0);
  EXPECT_NE(h2, h);  // a restored handle is never handed out twice
  EXPECT_EQ(d->RemoveTrigger(h), 0);
  p->SetOpen(false);
}

TEST(WinsockPort, DispatcherAccessOpensOnlyWithAutoOpen) {
  TLoopbackPeer peer;
  auto p = MakePort("127.0.0.1", peer.PortText());
  EXPECT_EQ(p->Dispatcher(), nullptr);
  EXPECT_THROW(p->ValidDispatcher(), ECommNotOpen);
  EXPECT_THROW(p->PutString("x"), ECommNotOpen);
  p->SetAutoOpen(true);
  EXPECT_NE(p->Dispatcher(), nullptr);
  EXPECT_TRUE(p->Open());
  p->SetOpen(false);
}

TEST(WinsockPort, OnlyTheSocketDeviceLayerOpens) {
  TLoopbackPeer peer;
  auto p = MakePort("127.0.0.1", peer.PortText());
  p->SetDeviceLayer(dlWin32);
  EXPECT_THROW(p->SetOpen(true), EBadId);
  EXPECT_FALSE(p->Open());
}

TEST(WinsockPort, ClosedPortStoresOnlyOffOrOnForTracing) {
  auto p = MakePort("127.0.0.1", "21");
  p->SetTracing(tlDump);
  EXPECT_EQ(p->Tracing(), tlOff);
  p->SetLogging(tlPause);
  EXPECT_EQ(p->Logging(), tlOff);
  p->SetTracing(tlOn);
  EXPECT_EQ(p->Tracing(), tlOn);
  p->SetTraceSize(5000000);
  EXPECT_EQ(p->TraceSize(), kMaxTraceSize);
  p->SetLogSize(20000000);
  EXPECT_EQ(p->LogSize(), kMaxLogSize);
}

}  // namespace
}  // namespace quodra::port
