#include "host/stop_signals.h"

#include <fcntl.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <cerrno>
#include <csignal>
#include <cstdio>

namespace quodra::host {
namespace {

constexpr int kStopSignals[] = {SIGTERM, SIGINT, SIGHUP};
int PipeRead = -1;
int PipeWrite = -1;
// Never read: readable from the first signal on.
int LatchRead = -1;
int LatchWrite = -1;
volatile sig_atomic_t First = 0;

void Handler(int signo) {
  const int saved = errno;
  const unsigned char byte = static_cast<unsigned char>(signo);
  if (First == 0) First = signo;
  // A full pipe (a storm of signals) loses nothing that matters: one byte stops the run.
  [[maybe_unused]] ssize_t n = ::write(PipeWrite, &byte, 1);
  n = ::write(LatchWrite, &byte, 1);
  errno = saved;
}

}  // namespace

TStopSignals::TStopSignals(std::function<void(int)> onSignal) : OnSignal(std::move(onSignal)) {
  int fds[2];
  int latch[2];
  if (PipeRead >= 0 || ::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return;
  if (::pipe2(latch, O_CLOEXEC | O_NONBLOCK) != 0) {
    ::close(fds[0]);
    ::close(fds[1]);
    return;
  }
  PipeRead = fds[0];
  PipeWrite = fds[1];
  LatchRead = latch[0];
  LatchWrite = latch[1];
  First = 0;
  Notifier = std::make_unique<QSocketNotifier>(PipeRead, QSocketNotifier::Read);
  QObject::connect(Notifier.get(), &QSocketNotifier::activated, [this] { Take(); });
  struct sigaction sa {};
  sa.sa_handler = Handler;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;  // interrupted reads and writes go on by themselves
  for (int s : kStopSignals) ::sigaction(s, &sa, nullptr);
}

TStopSignals::~TStopSignals() {
  if (!Notifier) return;
  for (int s : kStopSignals) std::signal(s, SIG_DFL);
  Notifier.reset();
  ::close(PipeRead);
  ::close(PipeWrite);
  ::close(LatchRead);
  ::close(LatchWrite);
  PipeRead = PipeWrite = LatchRead = LatchWrite = -1;
}

int TStopSignals::StopRequestedFd() { return LatchRead; }

int TStopSignals::FirstSignal() { return First; }

const volatile sig_atomic_t* TStopSignals::StopRequestedFlag() { return &First; }

void TStopSignals::Take() {
  unsigned char bytes[16];
  ssize_t n;
  while ((n = ::read(PipeRead, bytes, sizeof bytes)) > 0)
    for (ssize_t i = 0; i < n; ++i)
      if (OnSignal) OnSignal(bytes[i]);
}

const char* TStopSignals::Name(int signo) {
  switch (signo) {
    case SIGTERM: return "SIGTERM";
    case SIGINT: return "SIGINT";
    case SIGHUP: return "SIGHUP";
    default: return "another signal";
  }
}

}  // namespace quodra::host
