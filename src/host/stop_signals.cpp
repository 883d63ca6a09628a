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
bool Watched = false;  // a TStopSignals takes the pipe's bytes

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

void TStopSignals::CatchFromNow() {
  if (PipeRead >= 0) return;
  int fds[2];
  int latch[2];
  if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return;
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
  struct sigaction sa {};
  sa.sa_handler = Handler;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;  // interrupted reads and writes go on by themselves
  for (int s : kStopSignals) ::sigaction(s, &sa, nullptr);
}

TStopSignals::TStopSignals(std::function<void(int)> onSignal) : OnSignal(std::move(onSignal)) {
  CatchFromNow();
  if (PipeRead < 0 || Watched) return;
  Watched = true;
  Notifier = std::make_unique<QSocketNotifier>(PipeRead, QSocketNotifier::Read);
  QObject::connect(Notifier.get(), &QSocketNotifier::activated, [this] { Take(); });
}

// The handler and its pipes stay to the end of the process: a signal while the program is
// ending (its windows going, its files closing) is taken and let be instead of ending the
// process by its default action, and no descriptor the handler writes to is ever reused.
TStopSignals::~TStopSignals() {
  if (!Notifier) return;
  Notifier.reset();
  Watched = false;
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
