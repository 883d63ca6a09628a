// Data packets on a socket port fed by a loopback peer: reply lines split across arrivals,
// size packets, start strings with wildcards, time-outs, refused settings, several packets
// on one port, and the manager's lifetime.
#include <gtest/gtest.h>

#include <QTimer>
#include <memory>
#include <string>
#include <vector>

#include "ftp/qp_data_packet.h"
#include "ftp/qp_data_packet_manager.h"
#include "host/clock.h"
#include "host/event_wait.h"
#include "port/qp_except.h"
#include "port/qp_winsock_port.h"
#include "support/temp_dir.h"
#include "../port/test_winsock_port_peer.h"

namespace quodra::ftp {
namespace {

using port::test::TLoopbackPeer;
using port::test::WaitFor;

class DataPacketTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Port = std::make_unique<port::TQpCustomWinsockPort>();
    Port->SetDeviceLayer(port::dlWinsock);
    Port->SetAutoOpen(false);
    Port->SetWsTelnet(false);
    Port->SetWsAddress("127.0.0.1");
    Port->SetWsPort(Peer.PortText());
  }

  void TearDown() override {
    Packets.clear();
    Port.reset();
  }

  void Open() {
    Port->SetOpen(true);
    ASSERT_TRUE(Peer.Accept());
    // Counts arrivals (it reads nothing, so the packets decide what is consumed).
    Port->CurrentDispatcher()->RegisterMethodHandler(&Arrivals, [this](uint32_t msg, uintptr_t, intptr_t) {
      if (msg == port::kQpMsgTriggerAvail) ++Arrivals;
    });
  }

  // A packet on the port whose string packets are collected into `out`.
  TQpDataPacket& NewPacket(std::vector<std::string>& out) {
    Packets.push_back(std::make_unique<TQpDataPacket>());
    TQpDataPacket& p = *Packets.back();
    p.OnStringPacket = [&out](port::TQpBaseComponent*, const std::string& s) { out.push_back(s); };
    p.SetComPort(Port.get());
    return p;
  }

  TQpDataPacket& NewReplyPacket(std::vector<std::string>& out) {
    TQpDataPacket& p = NewPacket(out);
    p.SetStartCond(scAnyData);
    p.SetEndCond({ecString});
    p.SetEndString("\r\n");
    p.SetTimeOut(0);
    return p;
  }

  // Sends `bytes` as one arrival and waits until the port has taken it in.
  void Arrive(const std::string& bytes) {
    int before = Arrivals;
    ASSERT_TRUE(Peer.Send(bytes));
    ASSERT_TRUE(WaitFor([&] { return Arrivals > before; }));
  }

  TLoopbackPeer Peer;
  std::unique_ptr<port::TQpCustomWinsockPort> Port;
  std::vector<std::unique_ptr<TQpDataPacket>> Packets;
  int Arrivals = 0;
};

TEST(DataPacketPattern, EscapesWildcardsAndCase) {
  std::string match, mask;
  BuildPacketPattern("a?c", true, match, mask);
  EXPECT_EQ(match, "A?C");
  EXPECT_EQ(mask, "010");
  BuildPacketPattern("a\\?c\\\\x\\", false, match, mask);
  EXPECT_EQ(match, "a?c\\x");  // trailing single backslash dropped
  EXPECT_EQ(mask, "00000");
}

TEST_F(DataPacketTest, ALineSplitAcrossArrivalsIsDeliveredOnceAndWhole) {
  Open();
  std::vector<std::string> got;
  NewReplyPacket(got).SetEnabled(true);
  Arrive("220 Quodra ");
  EXPECT_TRUE(got.empty());
  Arrive("ready\r\n");
  ASSERT_EQ(got, std::vector<std::string>{"220 Quodra ready\r\n"});
  Arrive("331 need\r");  // the CR ends one arrival, the LF begins the next
  EXPECT_EQ(got.size(), 1u);
  Arrive("\n");
  EXPECT_EQ(got, (std::vector<std::string>{"220 Quodra ready\r\n", "331 need\r\n"}));
}

TEST_F(DataPacketTest, LinesInOneBlockComeOutInOrderAndABareCrDoesNotEndALine) {
  Open();
  std::vector<std::string> got;
  NewReplyPacket(got).SetEnabled(true);
  Arrive("150 a\rb\r\n226 done\r\r\n\r\n");
  EXPECT_EQ(got, (std::vector<std::string>{"150 a\rb\r\n", "226 done\r\r\n", "\r\n"}));
}

TEST_F(DataPacketTest, OneByteAtATimeAndOneBlockGiveTheSamePackets) {
  const std::string stream = "220-first\r\n220 x\r\r\nABC\rD\r\n\r\n331 y\r\n";
  std::vector<std::string> block, bytes;
  Open();
  TQpDataPacket& p = NewReplyPacket(block);
  p.SetEnabled(true);
  Arrive(stream);
  p.OnStringPacket = [&bytes](port::TQpBaseComponent*, const std::string& s) { bytes.push_back(s); };
  for (char c : stream) Arrive(std::string(1, c));
  EXPECT_EQ(block.size(), 5u);
  EXPECT_EQ(block, bytes);
}

TEST_F(DataPacketTest, SizePacketsHoldExactlyTheirSize) {
  Open();
  std::vector<std::string> got;
  TQpDataPacket& p = NewPacket(got);
  p.SetStartCond(scAnyData);
  p.SetEndCond({ecPacketSize});
  p.SetPacketSize(8);
  p.SetTimeOut(0);
  p.SetEnabled(true);
  Arrive("0123456789ABCDEF01");
  EXPECT_EQ(got, (std::vector<std::string>{"01234567", "89ABCDEF"}));
  Arrive("234567");
  EXPECT_EQ(got.size(), 3u);
  EXPECT_EQ(got.back(), "01234567");
}

TEST_F(DataPacketTest, WithoutAutoEnableOnePacketArrivesAndLaterBytesAreDropped) {
  Open();
  std::vector<std::string> got;
  TQpDataPacket& p = NewPacket(got);
  p.SetStartCond(scAnyData);
  p.SetEndCond({ecPacketSize});
  p.SetPacketSize(8);
  p.SetAutoEnable(false);
  p.SetEnabled(true);
  Arrive("abcdefghijkl");
  EXPECT_EQ(got, std::vector<std::string>{"abcdefgh"});
  EXPECT_FALSE(p.Enabled());
  Arrive("mnop");
  p.SetEnabled(true);
  Arrive("qrstuvwx");
  EXPECT_EQ(got, (std::vector<std::string>{"abcdefgh", "qrstuvwx"}));
}

TEST_F(DataPacketTest, DataArrivingWhileNoPacketIsEnabledIsNeverDelivered) {
  Open();
  std::vector<std::string> got;
  TQpDataPacket& p = NewReplyPacket(got);
  Arrive("lost line\r\n");
  p.SetEnabled(true);
  Arrive("kept\r\n");
  EXPECT_EQ(got, std::vector<std::string>{"kept\r\n"});
}

TEST_F(DataPacketTest, InconsistentSettingsAreRefusedAndLeaveThePacketDisabled) {
  Open();
  std::vector<std::string> got;
  TQpDataPacket& p = NewPacket(got);
  auto expectCode = [&](int code) {
    try {
      p.SetEnabled(true);
      ADD_FAILURE() << "enabled";
    } catch (const port::EPacket& e) {
      EXPECT_EQ(e.ErrorCode(), code);
    }
    EXPECT_FALSE(p.Enabled());
    EXPECT_EQ(p.Mode(), TQpDataPacket::dpIdle);
  };
  expectCode(port::ecStartStringEmpty);
  p.SetStartString("HELLO");
  p.SetEndCond({ecPacketSize});
  p.SetPacketSize(3);
  expectCode(port::ecPacketTooSmall);
  p.SetStartCond(scAnyData);
  p.SetEndCond({});
  expectCode(port::ecNoEndCharCount);
  p.SetEndCond({ecString});
  expectCode(port::ecEmptyEndString);
  p.SetEndString(";");
  p.SetEndCond({ecString, ecPacketSize});
  p.SetPacketSize(0);
  expectCode(port::ecZeroSizePacket);
  // A refused start must not have taken the data from other packets.
  EXPECT_EQ(TQpDataPacketManager::ForPort(Port.get(), false)->OwnerPacket(), nullptr);
}

TEST_F(DataPacketTest, AQuestionMarkMatchesAnyByteUnlessEscaped) {
  Open();
  std::vector<std::string> wild, literal;
  TQpDataPacket& a = NewPacket(wild);
  a.SetStartString("A?C");
  a.SetEnabled(true);
  Arrive("xxABCyyA?Czz");
  EXPECT_EQ(wild, (std::vector<std::string>{"ABC", "A?C"}));
  a.SetEnabled(false);
  TQpDataPacket& b = NewPacket(literal);
  b.SetStartString("A\\?C");
  b.SetEnabled(true);
  Arrive("xxABCyyA?Czz");
  EXPECT_EQ(literal, std::vector<std::string>{"A?C"});
}

TEST_F(DataPacketTest, StartStringsTryEveryPositionAndFollowIgnoreCase) {
  Open();
  std::vector<std::string> got;
  TQpDataPacket& p = NewPacket(got);
  p.SetStartString("aab");
  p.SetEnabled(true);
  Arrive("xaAaAB");  // a failed partial match must not hide the one starting inside it
  EXPECT_EQ(got, std::vector<std::string>{"aAB"});
  p.SetEnabled(false);
  p.SetIgnoreCase(false);
  p.SetEnabled(true);
  Arrive("AAB");
  EXPECT_EQ(got.size(), 1u);
  Arrive("aab");
  EXPECT_EQ(got.back(), "aab");
}

TEST_F(DataPacketTest, StringsCanBeLeftOutOfThePacket) {
  Open();
  std::vector<std::string> got;
  TQpDataPacket& p = NewPacket(got);
  p.SetStartString("<");
  p.SetEndCond({ecString});
  p.SetEndString(">");
  p.SetIncludeStrings(false);
  p.SetEnabled(true);
  Arrive("noise<abc>more<");
  Arrive("de>");
  EXPECT_EQ(got, (std::vector<std::string>{"abc", "de"}));
}

TEST_F(DataPacketTest, ASizeEqualToTheStartStringEndsWithIt) {
  Open();
  std::vector<std::string> got;
  TQpDataPacket& p = NewPacket(got);
  p.SetStartString("GO");
  p.SetEndCond({ecPacketSize});
  p.SetPacketSize(2);
  p.SetEnabled(true);
  Arrive("xGOy");
  EXPECT_EQ(got, std::vector<std::string>{"GO"});
}

TEST_F(DataPacketTest, TimeOutDropsTheCollectedBytesAndDisablesThePacket) {
  Open();
  std::vector<std::string> got;
  TQpDataPacket& p = NewPacket(got);
  p.SetStartString("S");
  p.SetEndCond({ecString});
  p.SetEndString(">");
  p.SetTimeOut(2);
  int timeouts = 0;
  p.OnTimeout = [&](port::TQpBaseComponent*) { ++timeouts; };
  p.SetEnabled(true);
  Arrive("Sabc");
  ASSERT_TRUE(WaitFor([&] { return timeouts == 1; }));
  EXPECT_TRUE(p.TimedOut());
  EXPECT_FALSE(p.Enabled());
  EXPECT_EQ(TQpDataPacketManager::ForPort(Port.get(), false)->BufferCount(), 0u);
  Arrive("x>");
  WaitFor([] { return false; }, 200);
  EXPECT_TRUE(got.empty());
  EXPECT_EQ(timeouts, 1);
}

TEST_F(DataPacketTest, SeveralPacketsShareThePortAndEachTakesItsOwn) {
  Open();
  std::vector<std::string> as, bs;
  TQpDataPacket& a = NewPacket(as);
  a.SetStartString("A");
  a.SetEndCond({ecString});
  a.SetEndString(";");
  TQpDataPacket& b = NewPacket(bs);
  b.SetStartString("B");
  b.SetEndCond({ecString});
  b.SetEndString(";");
  a.SetEnabled(true);
  b.SetEnabled(true);
  Arrive("A1;xB2;");
  Arrive("A3;");
  EXPECT_EQ(as, (std::vector<std::string>{"A1;", "A3;"}));
  EXPECT_EQ(bs, std::vector<std::string>{"B2;"});
  // The packets scan in the order they joined: the first to start collecting owns what
  // it collects, and what came before its start goes with it.
  Arrive("xB4;A5;");
  EXPECT_EQ(as.back(), "A5;");
  EXPECT_EQ(bs.size(), 1u);
}

TEST_F(DataPacketTest, TheBufferGrowsToHoldALongPacket) {
  Open();
  std::vector<std::string> got;
  NewReplyPacket(got).SetEnabled(true);
  const std::string body(30000, 'q');
  ASSERT_TRUE(Peer.Send(body + "\r\n"));
  ASSERT_TRUE(WaitFor([&] { return !got.empty(); }));
  EXPECT_EQ(got.front(), body + "\r\n");
  TQpDataPacketManager* m = TQpDataPacketManager::ForPort(Port.get(), false);
  EXPECT_EQ(m->BufferCount(), 0u);
  EXPECT_LT(m->BufferCapacity(), 8192u);  // released once empty
}

TEST_F(DataPacketTest, ClosingThePortFromInsideAPacketEventIsSafe) {
  Open();
  std::vector<std::string> got;
  TQpDataPacket& p = NewReplyPacket(got);
  p.OnStringPacket = [&](port::TQpBaseComponent*, const std::string& s) {
    got.push_back(s);
    Port->SetOpen(false);
  };
  p.SetEnabled(true);
  ASSERT_TRUE(Peer.Send("221 bye\r\n221 again\r\n"));
  ASSERT_TRUE(WaitFor([&] { return !Port->Open(); }));
  EXPECT_EQ(got, std::vector<std::string>{"221 bye\r\n"});
  EXPECT_FALSE(TQpDataPacketManager::ForPort(Port.get(), false)->Enabled());
  EXPECT_EQ(p.Mode(), TQpDataPacket::dpIdle);
}

TEST_F(DataPacketTest, PacketsRestartWhenThePortOpensAgain) {
  Open();
  std::vector<std::string> got;
  NewReplyPacket(got).SetEnabled(true);
  Port->SetOpen(false);
  Peer.CloseConnection();
  Open();
  Arrive("230 in\r\n");
  EXPECT_EQ(got, std::vector<std::string>{"230 in\r\n"});
}

TEST_F(DataPacketTest, PacketActivityIsWrittenToTheDispatchLog) {
  quodra::test::TTempDir dir;
  Port->SetLogName(dir.File("QPORT.LOG"));
  Port->SetLogging(port::tlOn);
  Open();
  std::vector<std::string> got;
  TQpDataPacket& p = NewReplyPacket(got);
  p.SetName("ReplyPacket");
  p.SetEnabled(true);
  Arrive("200 ok\r\n");
  Port->SetOpen(false);
  const std::string log = quodra::test::ReadFile(dir.File("QPORT.LOG"));
  EXPECT_NE(log.find("Enable"), std::string::npos) << log;
  EXPECT_NE(log.find("StringPacket"), std::string::npos);
  EXPECT_NE(log.find("Collecting"), std::string::npos);
  EXPECT_NE(log.find("Packet:ReplyPacket"), std::string::npos);
}

TEST_F(DataPacketTest, TheManagerLeavesAfterItsLastPacket) {
  Open();
  std::vector<std::string> got;
  NewReplyPacket(got).SetEnabled(true);
  TQpDataPacketManager* m = TQpDataPacketManager::ForPort(Port.get(), false);
  ASSERT_NE(m, nullptr);
  EXPECT_TRUE(m->Enabled());
  Packets.clear();
  EXPECT_EQ(TQpDataPacketManager::ForPort(Port.get(), false), m);  // freed later, not inside the call
  EXPECT_TRUE(WaitFor([&] { return TQpDataPacketManager::ForPort(Port.get(), false) == nullptr; }));
  EXPECT_FALSE(Port->CurrentDispatcher()->MethodHandlerRegistered(m));
}

TEST_F(DataPacketTest, APacketWhosePortGoesAwayForgetsIt) {
  std::vector<std::string> got;
  TQpDataPacket& p = NewReplyPacket(got);
  Open();
  p.SetEnabled(true);
  Port.reset();
  EXPECT_EQ(p.ComPort(), nullptr);
  EXPECT_EQ(p.Mode(), TQpDataPacket::dpIdle);
}

}  // namespace
}  // namespace quodra::ftp
