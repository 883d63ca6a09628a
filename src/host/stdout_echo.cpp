#include "host/stdout_echo.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace quodra::host {
namespace {

constexpr int EchoFd = STDOUT_FILENO;
bool Stopped = false;

// A standard output left non-blocking by whoever started us is waited for this long per
// line; a blocking one (the normal case) paces the run as a slow reader does.
constexpr int kNonBlockingWaitMs = 1000;

void Stop(int err) {
  Stopped = true;
  std::fprintf(stderr, "Standard output is gone (%s); the log is no longer copied there.\n", std::strerror(err));
}

}  // namespace

void EchoLineToStdout(const std::string& line) {
  if (Stopped) return;
  std::string text = line + '\n';
  const char* p = text.data();
  size_t left = text.size();
  while (left > 0) {
    ssize_t n = ::write(EchoFd, p, left);
    if (n > 0) {
      p += n;
      left -= static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      pollfd pfd{EchoFd, POLLOUT, 0};
      int ready = ::poll(&pfd, 1, kNonBlockingWaitMs);
      if (ready > 0 && !(pfd.revents & (POLLERR | POLLNVAL))) continue;
      if (ready == 0) return;  // a reader that does not read loses this line, not the run
      Stop(ready < 0 ? errno : EPIPE);
      return;
    }
    Stop(n < 0 ? errno : EIO);
    return;
  }
}

}  // namespace quodra::host
