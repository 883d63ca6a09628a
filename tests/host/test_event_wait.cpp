#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTimer>
#include <cstdlib>

#include "host/clock.h"
#include "host/event_wait.h"

using namespace quodra::host;

namespace {

constexpr int64_t kLongDeadlineMs = 60000;

// The waits of one scenario, each ending on what its event does or on its own deadline, not
// on a later one: a posted event (with nothing else pending afterwards), a posted event seen
// by a wait inside a wait, a timer, a short pause outlasted by a longer one inside it, and an
// event loop told to quit inside a pause. True when every wait ended well before the long
// deadline.
bool WaitsEndOnTheirEvents() {
  const int64_t start = NowMs();
  bool posted = false;
  QMetaObject::invokeMethod(qApp, [&] { posted = true; }, Qt::QueuedConnection);
  if (!WaitUntil([&] { return posted; }, start + kLongDeadlineMs)) return false;

  bool outer = false, inner = false;
  QMetaObject::invokeMethod(
      qApp,
      [&] {
        QMetaObject::invokeMethod(qApp, [&] { inner = true; }, Qt::QueuedConnection);
        WaitUntil([&] { return inner; }, NowMs() + kLongDeadlineMs);
        outer = true;
      },
      Qt::QueuedConnection);
  if (!WaitUntil([&] { return outer; }, NowMs() + kLongDeadlineMs)) return false;

  bool fired = false;
  QTimer::singleShot(1, [&] { fired = true; });
  if (!WaitUntil([&] { return fired; }, NowMs() + kLongDeadlineMs)) return false;

  // A pause whose deadline passes (and whose timer fires) while a handler runs a longer pause
  // of its own. Only the safety timer would wake a loop that went to sleep after it.
  QTimer safety;
  safety.setSingleShot(true);
  safety.start(static_cast<int>(kLongDeadlineMs));
  bool nested = false;
  QMetaObject::invokeMethod(
      qApp,
      [&] {
        WaitMs(30);
        nested = true;
      },
      Qt::QueuedConnection);
  WaitMs(5);
  if (!nested) return false;

  // An event loop told to quit by a handler inside a pause that runs inside it.
  QEventLoop loop;
  QTimer::singleShot(kLongDeadlineMs, &loop, &QEventLoop::quit);
  QMetaObject::invokeMethod(
      qApp,
      [&] {
        QMetaObject::invokeMethod(qApp, [&] { loop.quit(); }, Qt::QueuedConnection);
        WaitMs(5);
      },
      Qt::QueuedConnection);
  loop.exec();
  return NowMs() - start < kLongDeadlineMs / 2;
}

}  // namespace

// Under the program's own event loop.
TEST(EventWait, WaitsEndOnTheirEvents) { EXPECT_TRUE(WaitsEndOnTheirEvents()); }

// The same under Qt's other event dispatcher (QT_NO_GLIB), which sleeps for the next event
// right after handling the pending ones: this test program runs itself again with it.
TEST(EventWait, WaitsEndOnTheirEventsUnderTheOtherDispatcher) {
  if (std::getenv("QUODRA_EVENT_WAIT_CHILD")) {
    EXPECT_TRUE(WaitsEndOnTheirEvents());
    return;
  }
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert("QT_NO_GLIB", "1");
  env.insert("QUODRA_EVENT_WAIT_CHILD", "1");
  QProcess child;
  child.setProcessEnvironment(env);
  child.setProcessChannelMode(QProcess::MergedChannels);
  child.start(QCoreApplication::applicationFilePath(),
              {"--gtest_filter=EventWait.WaitsEndOnTheirEventsUnderTheOtherDispatcher"});
  ASSERT_TRUE(child.waitForFinished(3 * kLongDeadlineMs));
  const QString out = QString::fromLocal8Bit(child.readAll());
  EXPECT_EQ(child.exitStatus(), QProcess::NormalExit) << out.toStdString();
  EXPECT_EQ(child.exitCode(), 0) << out.toStdString();
  EXPECT_TRUE(out.contains("[  PASSED  ] 1 test")) << out.toStdString();
}
