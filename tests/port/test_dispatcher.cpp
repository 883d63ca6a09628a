// The dispatcher behind a socket port, over a real loopback connection: data-available
// delivery in peek mode, the full ring, timer triggers and their handles, handler removal
// during a delivery, passes that never nest, writes, and the trace and dispatch log files.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "host/event_wait.h"
#include "port/qp_except.h"
#include "port/qp_winsock_port.h"
#include "support/temp_dir.h"
#include "test_winsock_port_peer.h"

namespace quodra::port {
namespace {

using test::TLoopbackPeer;
using test::WaitFor;

class DispatcherTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Port = std::make_unique<TQpCustomWinsockPort>();
    Port->SetDeviceLayer(dlWinsock);
    Port->SetAutoOpen(false);
    Port->SetWsTelnet(false);
    Port->SetWsAddress("127.0.0.1");
    Port->SetWsPort(Peer.PortText());
  }

  void OpenAndAccept() {
    Port->SetOpen(true);
    ASSERT_TRUE(Peer.Accept());
    ASSERT_NE(Disp(), nullptr);
  }

  TQpBaseDispatcher* Disp() { return Port->CurrentDispatcher(); }

  // Registers a method handler that records every data-available count and reads up to
  // `*readLimit` bytes of it (all when negative).
  void RecordAvail(const void* key, std::vector<int>& counts, std::string& read, const int* readLimit) {
    Disp()->RegisterMethodHandler(key, [this, &counts, &read, readLimit](uint32_t msg, uintptr_t, intptr_t l) {
      if (msg != kQpMsgTriggerAvail) return;
      int n = TQpCustomComPort::TriggerDataOf(l);
      counts.push_back(n);
      int want = (*readLimit < 0) ? n : std::min(n, *readLimit);
      std::string buf(static_cast<size_t>(want), '\0');
      if (want > 0 && Disp()->GetBlock(buf.data(), static_cast<uint32_t>(want)) == want) read += buf;
    });
  }

  TLoopbackPeer Peer;
  std::unique_ptr<TQpCustomWinsockPort> Port;
};

TEST_F(DispatcherTest, EachArrivalRaisesOneEventWithTheBytesInTheRing) {
  OpenAndAccept();
  std::vector<int> counts;
  std::string read;
  const int all = -1;
  RecordAvail(this, counts, read, &all);
  ASSERT_TRUE(Peer.Send("abc"));
  ASSERT_TRUE(WaitFor([&] { return read.size() == 3; }));
  ASSERT_TRUE(Peer.Send("defgh"));
  ASSERT_TRUE(WaitFor([&] { return read.size() == 8; }));
  EXPECT_EQ(counts, (std::vector<int>{3, 5}));
  EXPECT_EQ(read, "abcdefgh");
  EXPECT_EQ(Disp()->InBuffUsed(), 0u);
}

TEST_F(DispatcherTest, UnreadBytesAreAnnouncedAgainOnlyWhenMoreArrive) {
  OpenAndAccept();
  std::vector<int> counts;
  std::string read;
  int limit = 0;
  RecordAvail(this, counts, read, &limit);
  ASSERT_TRUE(Peer.Send("abc"));
  ASSERT_TRUE(WaitFor([&] { return counts.size() == 1; }));
  WaitFor([] { return false; }, 250);  // several passes go by
  EXPECT_EQ(counts.size(), 1u);
  EXPECT_EQ(Disp()->InBuffUsed(), 3u);
  limit = -1;
  ASSERT_TRUE(Peer.Send("de"));
  ASSERT_TRUE(WaitFor([&] { return counts.size() == 2; }));
  EXPECT_EQ(counts[1], 5);
  EXPECT_EQ(read, "abcde");
}

TEST_F(DispatcherTest, HandlersReadTheSameBytesAndTheGreediestDecidesWhatIsConsumed) {
  OpenAndAccept();
  std::vector<int> countsA, countsB;
  std::string readA, readB;
  const int three = 3, five = 5;
  int keyA = 0, keyB = 0;
  RecordAvail(&keyA, countsA, readA, &three);
  RecordAvail(&keyB, countsB, readB, &five);
  ASSERT_TRUE(Peer.Send("0123456789"));
  ASSERT_TRUE(WaitFor([&] { return !countsB.empty(); }));
  EXPECT_EQ(readA, "012");
  EXPECT_EQ(readB, "01234");
  EXPECT_EQ(Disp()->InBuffUsed(), 5u);
  char rest[5];
  ASSERT_EQ(Disp()->GetBlock(rest, 5), 5);
  EXPECT_EQ(std::string(rest, 5), "56789");
}

TEST_F(DispatcherTest, ReadingMoreThanAvailableFailsAndTakesNothing) {
  OpenAndAccept();
  ASSERT_TRUE(Peer.Send("xy"));
  ASSERT_TRUE(WaitFor([&] { return Disp()->InBuffUsed() == 2; }));
  char buf[3] = {};
  EXPECT_EQ(Disp()->GetBlock(buf, 3), ecBufferIsEmpty);
  EXPECT_EQ(Disp()->PeekBlock(buf, 3), ecBufferIsEmpty);
  EXPECT_EQ(Disp()->InBuffUsed(), 2u);
  ASSERT_EQ(Disp()->PeekBlock(buf, 2), 2);
  ASSERT_EQ(Disp()->GetBlock(buf, 2), 2);
  EXPECT_EQ(std::string(buf, 2), "xy");
}

TEST_F(DispatcherTest, AFullRingStopsReadingAndLosesNothing) {
  OpenAndAccept();
  std::vector<int> counts;
  std::string read;
  int limit = 0;
  RecordAvail(this, counts, read, &limit);
  const std::string data = quodra::test::PatternBytes(30000, 7);
  ASSERT_TRUE(Peer.Send(data));
  ASSERT_TRUE(WaitFor([&] { return Disp()->InBuffUsed() == kQpInRingSize; }));
  WaitFor([] { return false; }, 150);
  EXPECT_EQ(Disp()->InBuffUsed(), kQpInRingSize);  // the rest waits in the connection and socket
  // Reading outside a delivery frees the ring; later passes fetch the rest, which the
  // handler now takes as it is announced.
  std::string first(kQpInRingSize, '\0');
  ASSERT_EQ(Disp()->GetBlock(first.data(), kQpInRingSize), static_cast<int>(kQpInRingSize));
  limit = -1;
  ASSERT_TRUE(WaitFor([&] { return first.size() + read.size() >= data.size(); }));
  EXPECT_EQ(first + read, data);
}

TEST_F(DispatcherTest, TimerTriggerFiresOnceWhenArmedAndNeverWhenDisarmed) {
  OpenAndAccept();
  std::vector<int> fired;
  Disp()->RegisterMethodHandler(this, [&](uint32_t msg, uintptr_t, intptr_t l) {
    if (msg == kQpMsgTriggerTimer) fired.push_back(TQpCustomComPort::TriggerDataOf(l));
  });
  int a = Disp()->AddTimerTrigger();
  int b = Disp()->AddTimerTrigger();
  EXPECT_EQ(a, 8);
  EXPECT_EQ(b, 16);
  ASSERT_EQ(Disp()->SetTimerTrigger(a, 1, true), 0);
  ASSERT_EQ(Disp()->SetTimerTrigger(b, 2, true), 0);
  ASSERT_EQ(Disp()->SetTimerTrigger(b, 0, false), 0);
  ASSERT_TRUE(WaitFor([&] { return !fired.empty(); }));
  WaitFor([] { return false; }, 300);
  EXPECT_EQ(fired, std::vector<int>{a});
  EXPECT_FALSE(Disp()->TimerTriggerActive(a));
  // Re-arming with 0 ticks keeps the stored duration.
  ASSERT_EQ(Disp()->SetTimerTrigger(a, 0, true), 0);
  ASSERT_TRUE(WaitFor([&] { return fired.size() == 2; }));
  EXPECT_EQ(Disp()->SetTimerTrigger(12345, 1, true), ecBadTriggerHandle);
  EXPECT_EQ(Disp()->RemoveTrigger(12345), ecBadTriggerHandle);
  EXPECT_EQ(Disp()->RemoveTrigger(a), 0);
  EXPECT_EQ(Disp()->RemoveTrigger(a), ecBadTriggerHandle);
}

TEST_F(DispatcherTest, HandlesRunOutAndTheLowestFreeOneComesBack) {
  OpenAndAccept();
  int last = 0;
  for (int k = 0; k < 4095; ++k) last = Disp()->AddTimerTrigger();
  EXPECT_EQ(last, 32760);
  EXPECT_EQ(Disp()->AddTimerTrigger(), ecNoMoreTriggers);  // 8 ... 4096 are all in use
  ASSERT_EQ(Disp()->RemoveTrigger(4096), 0);
  ASSERT_EQ(Disp()->RemoveTrigger(24), 0);
  EXPECT_EQ(Disp()->AddTimerTrigger(), 24);
  EXPECT_EQ(Disp()->AddTimerTrigger(), 4096);
  EXPECT_EQ(Disp()->AddTimerTrigger(), ecNoMoreTriggers);
  ASSERT_EQ(Disp()->RemoveTrigger(30000), 0);  // above 4096: never handed out again
  EXPECT_EQ(Disp()->AddTimerTrigger(), ecNoMoreTriggers);
  EXPECT_THROW(CheckException(Disp()->AddTimerTrigger()), ENoMoreTriggers);
}

TEST_F(DispatcherTest, AHandlerRemovedDuringADeliveryIsSkippedAndDroppedAfterIt) {
  OpenAndAccept();
  int keyA = 0, keyB = 0;
  int callsA = 0, callsB = 0;
  Disp()->RegisterMethodHandler(&keyA, [&](uint32_t msg, uintptr_t, intptr_t) {
    if (msg != kQpMsgTriggerTimer) return;
    ++callsA;
    Disp()->DeregisterMethodHandler(&keyB);
    Disp()->DeregisterMethodHandler(&keyA);
    EXPECT_TRUE(Disp()->InEvent());
  });
  Disp()->RegisterMethodHandler(&keyB, [&](uint32_t msg, uintptr_t, intptr_t) {
    if (msg == kQpMsgTriggerTimer) ++callsB;
  });
  int h = Disp()->AddTimerTrigger();
  ASSERT_EQ(Disp()->SetTimerTrigger(h, 1, true), 0);
  ASSERT_TRUE(WaitFor([&] { return callsA == 1; }));
  EXPECT_EQ(callsB, 0);
  EXPECT_FALSE(Disp()->MethodHandlerRegistered(&keyA));
  EXPECT_FALSE(Disp()->MethodHandlerRegistered(&keyB));
  EXPECT_FALSE(Disp()->HasHandlers());
}

TEST_F(DispatcherTest, PassesNeverNestWhileAHandlerWaits) {
  OpenAndAccept();
  int depth = 0, maxDepth = 0;
  std::string read;
  Disp()->RegisterMethodHandler(this, [&](uint32_t msg, uintptr_t, intptr_t l) {
    if (msg != kQpMsgTriggerAvail) return;
    ++depth;
    maxDepth = std::max(maxDepth, depth);
    int n = TQpCustomComPort::TriggerDataOf(l);
    std::string buf(static_cast<size_t>(n), '\0');
    if (Disp()->GetBlock(buf.data(), static_cast<uint32_t>(n)) == n) read += buf;
    if (read == "first") {
      // More data arrives while this handler waits in the event loop.
      EXPECT_TRUE(Peer.Send("second"));
      host::WaitMs(200);
    }
    --depth;
  });
  ASSERT_TRUE(Peer.Send("first"));
  ASSERT_TRUE(WaitFor([&] { return read == "firstsecond"; }));
  EXPECT_EQ(maxDepth, 1);
}

TEST_F(DispatcherTest, WritesLargerThanTheOutputAreRefusedWhole) {
  Port->SetOutSize(16);
  OpenAndAccept();
  EXPECT_THROW(Port->PutString(std::string(17, 'x')), EOutputBufferTooSmall);
  Port->PutString("QUIT\r\n");
  EXPECT_EQ(Peer.ReceiveAtLeast(6), "QUIT\r\n");
  EXPECT_EQ(Disp()->PutBlock("", 0), 0);
}

TEST_F(DispatcherTest, AnOpenSendReceiveCloseCycleLeavesATraceAndADispatchLog) {
  quodra::test::TTempDir dir;
  Port->SetLogName(dir.File("QPORT.LOG"));
  Port->SetTraceName(dir.File("QPORT.TRC"));
  Port->SetLogging(tlOn);
  Port->SetTracing(tlOn);
  std::string read;
  Port->OnTriggerAvail = [&](TQpBaseComponent*, uint16_t n) {
    std::string buf(n, '\0');
    if (Disp()->GetBlock(buf.data(), n) == n) read += buf;
  };
  OpenAndAccept();
  EXPECT_EQ(Disp()->LogState(), rsOn);
  Port->PutString("USER x\r\n");
  ASSERT_EQ(Peer.ReceiveAtLeast(8), "USER x\r\n");
  ASSERT_TRUE(Peer.Send("331 ok\r\n"));
  ASSERT_TRUE(WaitFor([&] { return read == "331 ok\r\n"; }));
  Port->SetOpen(false);

  const std::string log = quodra::test::ReadFile(dir.File("QPORT.LOG"));
  EXPECT_EQ(log.rfind("QPORT v1.00", 0), 0u) << log;
  EXPECT_NE(log.find("Device: Winsock"), std::string::npos);
  EXPECT_NE(log.find("Time      Type      SubType       Data      OtherData"), std::string::npos);
  EXPECT_NE(log.find("WriteCom"), std::string::npos);
  EXPECT_NE(log.find("ReadCom"), std::string::npos);
  EXPECT_NE(log.find("Avail"), std::string::npos);
  const std::string trace = quodra::test::ReadFile(dir.File("QPORT.TRC"));
  EXPECT_NE(trace.find("Transmit: "), std::string::npos) << trace;
  EXPECT_NE(trace.find("Receive: "), std::string::npos);
  EXPECT_NE(trace.find("USER[20]x[0D][0A]"), std::string::npos);
  EXPECT_EQ(Port->Tracing(), tlOff);
  EXPECT_EQ(Port->Logging(), tlOff);
}

TEST_F(DispatcherTest, DumpOnlyWritesARecordThatExists) {
  quodra::test::TTempDir dir;
  Port->SetTraceName(dir.File("t.trc"));
  OpenAndAccept();
  Port->SetTracing(tlDump);  // trace is off: nothing happens
  EXPECT_FALSE(quodra::test::FileExists(dir.File("t.trc")));
  Port->SetTracing(tlOn);
  Port->SetTracing(tlPause);
  EXPECT_EQ(Port->Tracing(), tlPause);
  Port->PutString("abc");  // not recorded while paused
  Port->SetTracing(tlOn);
  Port->PutString("de");
  Port->SetTracing(tlDump);
  EXPECT_EQ(Port->Tracing(), tlOff);
  const std::string trace = quodra::test::ReadFile(dir.File("t.trc"));
  EXPECT_NE(trace.find("de"), std::string::npos);
  EXPECT_EQ(trace.find("abc"), std::string::npos);
}

TEST_F(DispatcherTest, DispatchersAreFoundByIndexAndSlotsAreReused) {
  OpenAndAccept();
  TQpBaseDispatcher* d = Disp();
  EXPECT_EQ(TQpBaseDispatcher::FromIndex(d->Index()), d);
  EXPECT_EQ(TQpBaseDispatcher::FindByDevice(d->DeviceHandle()), d);
  int index = d->Index();
  Port->SetOpen(false);
  EXPECT_EQ(TQpBaseDispatcher::FromIndex(index), nullptr);
  Port->SetOpen(true);
  EXPECT_EQ(Disp()->Index(), index);
}

}  // namespace
}  // namespace quodra::port
