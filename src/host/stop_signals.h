#pragma once
// The signals that stop a run (SIGTERM from `timeout` or `systemctl stop`, SIGINT from
// Ctrl-C, SIGHUP from a closed terminal) turned into calls on the event loop. The handler
// only writes the signal's number into a pipe; a notifier on the pipe's other end calls
// OnSignal between events, so the run is stopped by ordinary code and never in the middle
// of a write. Made once, after the application object; the signals get their default
// action back when it goes.
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
  // "SIGTERM", "SIGINT", "SIGHUP", or "signal N".
  static const char* Name(int signo);

 private:
  void Take();

  std::function<void(int)> OnSignal;
  std::unique_ptr<QSocketNotifier> Notifier;
};

}  // namespace quodra::host
