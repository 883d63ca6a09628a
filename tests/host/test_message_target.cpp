#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "host/clock.h"
#include "host/event_wait.h"
#include "host/message_target.h"

using namespace quodra::host;

TEST(MessageTarget, PostedMessagesArriveInOrderAfterTheCurrentHandler) {
  std::vector<uint32_t> seen;
  TMessageTarget target;
  target.SetHandler([&](const TMessage& m) {
    seen.push_back(m.Msg);
    if (m.Msg == 1) target.Post(3);  // queued behind 2
  });
  target.Post(1, 10, -1);
  target.Post(2);
  target.Send(0);  // handled at once
  EXPECT_EQ(seen, (std::vector<uint32_t>{0}));
  WaitUntil([&] { return seen.size() == 4; }, NowMs() + 2000);
  EXPECT_EQ(seen, (std::vector<uint32_t>{0, 1, 2, 3}));
}

TEST(MessageTarget, DestroyedTargetDropsItsQueue) {
  int handled = 0;
  auto target = std::make_unique<TMessageTarget>([&](const TMessage&) { ++handled; });
  target->Post(1);
  target->Post(2);
  target.reset();
  ProcessPendingEvents();
  EXPECT_EQ(handled, 0);
}

TEST(MessageTarget, HandlerMayDestroyItsTarget) {
  std::unique_ptr<TMessageTarget> target;
  int handled = 0;
  target = std::make_unique<TMessageTarget>([&](const TMessage&) {
    ++handled;
    target.reset();
  });
  target->Post(1);
  target->Post(2);
  WaitUntil([&] { return !target; }, NowMs() + 2000);
  ProcessPendingEvents();
  EXPECT_EQ(handled, 1);
}

TEST(EventWait, WaitUntilHonoursDeadlineAndPredicate) {
  int64_t start = NowMs();
  EXPECT_FALSE(WaitUntil([] { return false; }, start + 100));
  EXPECT_GE(NowMs() - start, 100);

  bool flag = false;
  TMessageTarget target([&](const TMessage&) { flag = true; });
  target.Post(7);
  EXPECT_TRUE(WaitUntil([&] { return flag; }, NowMs() + 5000));
}

TEST(EventWait, WaitingSleepsInsteadOfSpinning) {
  std::clock_t cpuStart = std::clock();
  WaitMs(300);
  double cpuMs = 1000.0 * (std::clock() - cpuStart) / CLOCKS_PER_SEC;
  EXPECT_LT(cpuMs, 150.0);  // a spinning wait would use the whole 300 ms
}
