#pragma once
// The signals that stop a run (SIGTERM from `timeout` or `systemctl stop`, SIGINT from
// Ctrl-C, SIGHUP from a closed terminal) turned into calls on the event loop. The handler
// only writes the signal's number into a pipe; a notifier on the pipe's other end calls
// OnSignal between events, so the run is stopped by ordinary code and never in the middle
// of a write. Made once, after the application object; the signals get their default
// action back when it goes.
#include <csignal>
#include <functional>
#include <memory>

class QSocketNotifier;

namespace quodra::host {

class TStopSignals {
 public:
  explicit TStopSignals(std::function<void(int signo)> onSignal);
  ~TStopSignals();
  TStopSignals(const TStopSignals&) = delete;
  TStopSignals& operator=(const TStopSignals&) = delete;

  bool Watching() const { return Notifier != nullptr; }
  // A descriptor that turns readable at the first stop signal and stays so (-1 while no
  // watcher lives), for waits that cannot run the event loop: a wait that also watches it
  // ends when the run is stopped, also for a signal that came just before the wait began.
  static int StopRequestedFd();
  // The same as a flag in memory, nonzero from the first stop signal on: for a wait that
  // looks before each of many short waits, where a look at the descriptor costs a call.
  static const volatile sig_atomic_t* StopRequestedFlag();
  // The first stop signal's number; 0 before any came.
  static int FirstSignal();
  // "SIGTERM", "SIGINT", "SIGHUP", or "signal N".
  static const char* Name(int signo);

 private:
  void Take();

  std::function<void(int)> OnSignal;
  std::unique_ptr<QSocketNotifier> Notifier;
};

}  // namespace quodra::host
