// The process that answers a repeated last block after the download has ended. Between fork
// and _exit only async-signal-safe calls are made: the program may have other threads.
#include "final_ack_keeper.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

namespace quodra::tftp {
namespace {

int64_t MonotonicMs() {
  timespec ts{};
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

void CloseAllBut(int keep) {
  // close_range where the kernel has it; otherwise the usual descriptor range.
  const bool below = keep == 0 || ::syscall(SYS_close_range, 0u, static_cast<unsigned>(keep - 1), 0u) == 0;
  const bool above = ::syscall(SYS_close_range, static_cast<unsigned>(keep + 1), ~0u, 0u) == 0;
  if (below && above) return;
  for (int fd = 0; fd < 1024; ++fd)
    if (fd != keep) ::close(fd);
}

[[noreturn]] void AnswerRepeats(int socket, const sockaddr_in& peer, uint16_t block, int lingerMs) {
  CloseAllBut(socket);
  const unsigned char ack[4] = {0, 4, static_cast<unsigned char>(block >> 8), static_cast<unsigned char>(block)};
  const int64_t deadline = MonotonicMs() + lingerMs;
  for (;;) {
    const int64_t left = deadline - MonotonicMs();
    if (left <= 0) break;
    pollfd p{socket, POLLIN, 0};
    const int ready = ::poll(&p, 1, static_cast<int>(left));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) break;
    // Only the header matters; the rest of a longer datagram is dropped with it.
    unsigned char head[4];
    sockaddr_in from{};
    socklen_t length = sizeof from;
    const ssize_t n = ::recvfrom(socket, head, sizeof head, MSG_TRUNC, reinterpret_cast<sockaddr*>(&from), &length);
    if (n < 4 || from.sin_addr.s_addr != peer.sin_addr.s_addr || from.sin_port != peer.sin_port) continue;
    if (head[0] == 0 && head[1] == 3 && head[2] == ack[2] && head[3] == ack[3])
      ::sendto(socket, ack, sizeof ack, 0, reinterpret_cast<const sockaddr*>(&peer), sizeof peer);
  }
  ::_exit(0);
}

}  // namespace

bool KeepAnsweringLastBlock(int socket, const sockaddr_in& peer, uint16_t block, int lingerMs) {
  if (socket < 0 || lingerMs <= 0) return false;
  // The keeper inherits every descriptor, the downloaded file's too, until it has closed
  // them; a caller that goes on with the file (a lease, an exclusive open) must not see
  // them. The pipe tells: its last writer is gone once the keeper has closed the rest.
  int closed[2];
  if (::pipe2(closed, O_CLOEXEC) != 0) return false;
  // Twice forked: the keeper is nobody's child to wait for, and leaves no zombie behind.
  const pid_t child = ::fork();
  if (child < 0) {
    ::close(closed[0]);
    ::close(closed[1]);
    return false;
  }
  if (child == 0) {
    const pid_t keeper = ::fork();
    if (keeper == 0) AnswerRepeats(socket, peer, block, lingerMs);
    ::_exit(keeper < 0 ? 1 : 0);
  }
  ::close(closed[1]);
  int status = 0;
  pid_t r;
  while ((r = ::waitpid(child, &status, 0)) < 0 && errno == EINTR) {
  }
  char byte;
  while (::read(closed[0], &byte, 1) < 0 && errno == EINTR) {
  }
  ::close(closed[0]);
  // Reaped by someone else (SIGCHLD ignored): the keeper most likely runs.
  if (r < 0) return true;
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace quodra::tftp
