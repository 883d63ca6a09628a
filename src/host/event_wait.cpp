#include "event_wait.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>
#include <cstdlib>

#include "clock.h"

namespace quodra::host {

void ProcessPendingEvents() { QCoreApplication::processEvents(QEventLoop::AllEvents); }

namespace {
// How many WaitUntil calls are running on this thread, one inside another.
thread_local int waitDepth = 0;
}  // namespace

bool WaitUntil(const std::function<bool()>& done, int64_t deadlineMs) {
  const int depth = ++waitDepth;
  // An event handled inside processEvents may be the one that makes `done` hold, or may run so
  // long (a whole nested wait) that the deadline passes and its timer has fired already; some
  // event dispatchers then go on to sleep for the next event. Just before that sleep the
  // innermost wait looks again and, when it is over, wakes the loop at once. For the same
  // reason a wait that ends wakes the loop: the one it ran inside (a wait, or the main loop
  // that a quit during this wait has ended) looks again before it sleeps.
  QAbstractEventDispatcher* dispatcher = QAbstractEventDispatcher::instance();
  struct TLeave {
    QAbstractEventDispatcher* Dispatcher;
    ~TLeave() {
      --waitDepth;
      if (Dispatcher) Dispatcher->wakeUp();
    }
  } leave{dispatcher};
  QMetaObject::Connection recheck;
  if (dispatcher)
    recheck = QObject::connect(dispatcher, &QAbstractEventDispatcher::aboutToBlock, dispatcher,
                               [&done, deadlineMs, depth, dispatcher] {
                                 if (depth != waitDepth) return;
                                 if ((done && done()) || (deadlineMs >= 0 && NowMs() >= deadlineMs)) dispatcher->wakeUp();
                               });
  struct TDisconnect {
    QMetaObject::Connection& c;
    ~TDisconnect() { QObject::disconnect(c); }
  } disconnect{recheck};
  for (;;) {
    if (done && done()) return true;
    int64_t now = NowMs();
    if (deadlineMs >= 0 && now >= deadlineMs) return false;
    // A single-shot timer wakes the loop at the deadline; anything else wakes it earlier.
    QTimer wake;
    wake.setSingleShot(true);
    wake.setTimerType(Qt::PreciseTimer);
    if (deadlineMs >= 0) wake.start(static_cast<int>(deadlineMs - now));
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
  }
}

void WaitMs(int64_t ms) { WaitUntil({}, NowMs() + ms); }

int64_t PauseSecondMs() {
  const char* v = std::getenv("QUODRA_PAUSE_MS");
  if (!v || !*v) return 1000;
  char* end = nullptr;
  long long n = std::strtoll(v, &end, 10);
  return (end && *end == 0 && n >= 0) ? int64_t{n} : int64_t{1000};
}

void Pause(int seconds) { WaitMs(static_cast<int64_t>(seconds) * PauseSecondMs()); }

}  // namespace quodra::host
