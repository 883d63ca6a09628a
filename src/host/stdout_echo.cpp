#include "host/stdout_echo.h"

#include <poll.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "host/stop_signals.h"

namespace quodra::host {
namespace {

constexpr int EchoFd = STDOUT_FILENO;
bool Stopped = false;
// A run being stopped whose reader took nothing for a whole wait: its later lines get no
// wait of their own until the reader takes something again.
bool StalledWhileStopping = false;
bool NoWaitWrites = true;  // until the kernel says it has none for pipes

// How long a line waits for a reader that takes nothing once the run is being stopped (or
// when standard output was left non-blocking by whoever started us). Otherwise a reader
// that does not read paces the run, as a slow one does.
constexpr int kBoundedWaitMs = 1000;

void Stop(int err) {
  Stopped = true;
  std::fprintf(stderr, "Standard output is gone (%s); the log is no longer copied there.\n", std::strerror(err));
}

// A pipe or socket is written to without blocking (RWF_NOWAIT: the descriptor's own flags are
// shared with whoever started us and stay as they are), so that the wait for its reader can
// also watch for a stop signal. Other outputs (files, terminals) are written to as they are.
bool WritesWithoutWaiting() {
  static const bool pipe = [] {
    struct stat st {};
    return ::fstat(EchoFd, &st) == 0 && (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode));
  }();
  return pipe && NoWaitWrites;
}

ssize_t WriteSome(const char* p, size_t n) {
  if (!WritesWithoutWaiting()) return ::write(EchoFd, p, n);
  iovec v{const_cast<char*>(p), n};
  ssize_t written = ::pwritev2(EchoFd, &v, 1, -1, RWF_NOWAIT);
  if (written < 0 && (errno == EOPNOTSUPP || errno == EINVAL || errno == ENOSYS)) {
    // An older kernel: the plain write it is, which a stop signal does not cut short.
    NoWaitWrites = false;
    written = ::write(EchoFd, p, n);
  }
  return written;
}

// Waits until standard output takes more. A stop signal ends an unbounded wait; from then on
// the wait is bounded. 1: room, 0: the bound passed, -1: the output failed (errno set).
int WaitForRoom(bool bounded) {
  for (;;) {
    const bool stopping = *TStopSignals::StopRequestedFlag() != 0;
    const int stopFd = TStopSignals::StopRequestedFd();
    const bool boundedNow = bounded || stopping || stopFd < 0;
    pollfd fds[2] = {{EchoFd, POLLOUT, 0}, {stopFd, POLLIN, 0}};
    const int timeout = !boundedNow ? -1 : StalledWhileStopping ? 0 : kBoundedWaitMs;
    const int ready = ::poll(fds, boundedNow ? 1 : 2, timeout);
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) return -1;
    if (ready == 0) {
      if (stopping) StalledWhileStopping = true;
      return 0;
    }
    if (fds[0].revents & POLLNVAL) {
      errno = EBADF;
      return -1;
    }
    if (fds[0].revents) return 1;  // room, or an end the next write reports
    // Only the stop: the wait goes on, bounded.
  }
}

}  // namespace

void EchoLineToStdout(const std::string& line) {
  if (Stopped) return;
  std::string text = line + '\n';
  const char* p = text.data();
  size_t left = text.size();
  while (left > 0) {
    ssize_t n = WriteSome(p, left);
    if (n > 0) {
      p += n;
      left -= static_cast<size_t>(n);
      StalledWhileStopping = false;
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      // A pipe without room, or an output left non-blocking: bounded by a stop signal.
      const int room = WaitForRoom(!WritesWithoutWaiting());
      if (room > 0) continue;
      if (room == 0) return;  // a reader that does not read loses this line, not the run
      Stop(errno);
      return;
    }
    Stop(n < 0 ? errno : EIO);
    return;
  }
}

}  // namespace quodra::host
