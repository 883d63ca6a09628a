#pragma once
// The signals that stop a run (SIGTERM from `timeout` or `systemctl stop`, SIGINT from
// Ctrl-C, SIGHUP from a closed terminal) turned into calls on the event loop. The handler
// only writes the signal's number into a pipe; a notifier on the pipe's other end calls
// OnSignal between events, so the run is stopped by ordinary code and never in the middle
// of a write. The signals are caught from CatchFromNow, the first thing the program does,
// until the process ends: one that comes before the watcher exists (while the application
// and its windows are built) waits in the pipe for it, and one that comes after the watcher
// has gone is let be. The watcher is made once, after the application object.
#include <csignal>
#include <functional>
#include <memory>

class QSocketNotifier;

namespace quodra::host {

class TStopSignals {
 public:
  // Installs the handler (once; later calls do nothing). From here on a stop signal no longer
  // ends the process by its default action.
  static void CatchFromNow();

  // Calls `onSignal` from the event loop for each stop signal, also for those that came
  // before it was made. Catches the signals from now on if CatchFromNow has not.
  explicit TStopSignals(std::function<void(int signo)> onSignal);
  ~TStopSignals();
  TStopSignals(const TStopSignals&) = delete;
  TStopSignals& operator=(const TStopSignals&) = delete;

  bool Watching() const { return Notifier != nullptr; }
  // A descriptor that turns readable at the first stop signal and stays so (-1 before the
  // signals are caught), for waits that cannot run the event loop: a wait that also watches it
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
