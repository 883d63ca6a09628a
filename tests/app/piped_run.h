#pragma once
// Starts the program as a shell pipeline does (`quodra-ftp job.FTP | head -n 7`), with the
// environment of RunProgram, and optionally under the limits of a full disk or of a user
// without the right to lease other users' files.
#include <fcntl.h>
#include <linux/capability.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace quodra::test {

// How a run started by RunProgramIntoPipe ended.
struct TPipedRun {
  bool Exited = false;  // ended by itself, not by a signal
  int Status = -1;      // its exit status, or the signal that ended it
  std::string Read;     // what the reader took before it went away
  std::string Errors;   // standard error
  bool HeldByItsLog = false;  // the pipe was full when the stop signal went
};

// This process's environment without what a test run of the program sets itself (display,
// folders, pauses, the online state).
inline std::vector<std::string> InheritedEnvironment() {
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) {
    std::string v = *e;
    for (const char* drop : {"DISPLAY=", "WAYLAND_DISPLAY=", "QT_QPA_PLATFORM=", "XDG_CONFIG_HOME=",
                             "XDG_RUNTIME_DIR=", "QUODRA_PAUSE_MS=", "QUODRA_ONLINE="})
      if (v.rfind(drop, 0) == 0) v.clear();
    if (!v.empty()) env.push_back(v);
  }
  return env;
}

// `quodra-ftp <profile> | head -n <lines>`: the program's standard output is a pipe of one page
// whose reader takes `lines` lines and then closes it, so that every later log line meets a
// closed pipe. With `fileSizeLimit` the program runs under RLIMIT_FSIZE with SIGXFSZ ignored,
// so that a write past the limit fails as on a full disk. `withoutLeases` takes the right to
// lease files of other users away from a program started by root, as it is for everyone else.
// With `stopWhenHeld` the reader instead stops reading without closing the pipe, and once the
// pipe is full (the program held by its log) the run is sent that signal.
inline TPipedRun RunProgramIntoPipe(const TTempDir& dir, const std::string& profile, int lines,
                                    rlim_t fileSizeLimit = RLIM_INFINITY, bool withoutLeases = false,
                                    int stopWhenHeld = 0) {
  std::vector<std::string> env = InheritedEnvironment();
  env.push_back("XDG_CONFIG_HOME=" + dir.File("config"));
  env.push_back("XDG_RUNTIME_DIR=" + dir.Path());
  env.push_back("QUODRA_PAUSE_MS=2");
  env.push_back("QUODRA_ONLINE=1");
  std::vector<char*> envp;
  for (auto& v : env) envp.push_back(v.data());
  envp.push_back(nullptr);
  std::string bin = QUODRA_BIN_DIR "/quodra-ftp";
  std::string errPath = dir.File("stderr.txt");
  std::string arg = profile;
  char* argv[] = {bin.data(), arg.data(), nullptr};

  TPipedRun r;
  int out[2];
  if (::pipe2(out, O_CLOEXEC) != 0) return r;
  ::fcntl(out[1], F_SETPIPE_SZ, 4096);
  pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(out[1], STDOUT_FILENO);
    int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (err >= 0) ::dup2(err, STDERR_FILENO);
    if (fileSizeLimit != RLIM_INFINITY) {
      ::signal(SIGXFSZ, SIG_IGN);
      rlimit limit{fileSizeLimit, fileSizeLimit};
      ::setrlimit(RLIMIT_FSIZE, &limit);
    }
    if (withoutLeases) ::prctl(PR_CAPBSET_DROP, CAP_LEASE, 0, 0, 0);
    ::execve(bin.c_str(), argv, envp.data());
    ::_exit(127);
  }
  ::close(out[1]);
  char buf[4096];
  int seen = 0;
  while (seen < lines) {
    ssize_t n = ::read(out[0], buf, sizeof buf);
    if (n <= 0) break;
    r.Read.append(buf, static_cast<size_t>(n));
    for (ssize_t i = 0; i < n; ++i) seen += buf[i] == '\n';
  }
  int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
  if (stopWhenHeld == 0) {
    ::close(out[0]);
    out[0] = -1;
  } else {
    // The pipe tells its reader nothing when it fills (its one page holds no further line):
    // looked at every 20 ms, for at most a minute.
    constexpr int kFull = 4096 - 256;
    int queued = 0;
    for (int i = 0; i < 3000 && (::ioctl(out[0], FIONREAD, &queued) != 0 || queued < kFull); ++i) {
      pollfd ended{pidfd, POLLIN, 0};
      if (::poll(&ended, 1, 20) == 1) break;
    }
    r.HeldByItsLog = queued >= kFull;
    ::kill(pid, stopWhenHeld);
  }
  // Bounded: a run that does not end within a minute is ended, and shows as killed.
  pollfd ended{pidfd, POLLIN, 0};
  if (pidfd < 0 || ::poll(&ended, 1, 60000) != 1) ::kill(pid, SIGKILL);
  if (pidfd >= 0) ::close(pidfd);
  if (out[0] >= 0) ::close(out[0]);
  int status = 0;
  if (pid > 0 && ::waitpid(pid, &status, 0) == pid) {
    r.Exited = WIFEXITED(status);
    r.Status = r.Exited ? WEXITSTATUS(status) : WTERMSIG(status);
  }
  r.Errors = ReadFile(errPath);
  return r;
}

}  // namespace quodra::test
