// The program stopped as schedulers stop it (SIGTERM from `timeout` or `systemctl stop`,
// SIGINT from Ctrl-C, SIGHUP), in the middle of a transfer: the job is aborted the ordinary
// way, the log says why, the exit status is 1, the unconfirmed bytes never reach the destination
// (a resumable download keeps them aside), and standard output and a (slow) host log box get
// every line. A second signal while the run is stopping ends it at once, just as safely. A
// signal while the program starts stops it before its job; one once the run is over (while
// the host still takes the last lines) is logged and the host still gets every line.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "piped_run.h"
#include "support/ftp_server_fixture.h"
#include "support/server_process.h"
#include "support/tftp_server_fixture.h"
#include "support/temp_dir.h"

using namespace quodra::test;

namespace {

// A host application's log box that takes one character per millisecond; while held, one a
// second (it has all but stopped reading, yet never long enough to be given up).
class TSlowHost {
 public:
  explicit TSlowHost(const std::string& path) {
    Fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::strncpy(a.sun_path, path.c_str(), sizeof(a.sun_path) - 1);
    Bound = ::bind(Fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0;
    Reader = std::thread([this] {
      // Waits for each datagram; after taking one it pauses a millisecond: the host's pace.
      while (!Stop) {
        pollfd p{Fd, POLLIN, 0};
        if (::poll(&p, 1, 50) != 1) continue;
        char c;
        if (::recv(Fd, &c, 1, MSG_DONTWAIT) == 1) Text.push_back(c);
        std::this_thread::sleep_for(std::chrono::milliseconds(Held ? 1000 : 1));
      }
      char c;
      while (::recv(Fd, &c, 1, MSG_DONTWAIT) == 1) Text.push_back(c);  // what is left queued
    });
  }
  // Everything the host got; call once the program has ended.
  std::string Finish() {
    Stop = true;
    Reader.join();
    ::close(Fd);
    return Text;
  }
  bool Bound = false;
  std::atomic<bool> Held{false};

 private:
  int Fd = -1;
  std::atomic<bool> Stop{false};
  std::string Text;
  std::thread Reader;
};

struct TStoppedRun {
  bool Exited = false;
  int Status = -1;
  std::string Output;
};

// Runs the program on `profile`; each time its standard output or error shows the next of
// `marks`, the signal beside it is sent (`onOutput` sees the output first, each time more came).
// With `startSignal` the program is held in its start, before it has built its application
// object or printed anything: Qt reads the logging rules named by QT_LOGGING_CONF there, and
// that file is a FIFO whose writer (this test) sends the signal, then lets it go on. Reads the
// output to its end; the run is bounded (`bound`, then killed).
TStoppedRun RunAndSignal(const TTempDir& dir, const std::string& profile,
                         const std::vector<std::pair<std::string, int>>& marks,
                         std::chrono::seconds bound = std::chrono::seconds(60), int startSignal = 0,
                         const std::function<void(const std::string&)>& onOutput = {}) {
  const std::string startFifo = dir.File("logging-rules.fifo");
  std::vector<std::string> env = InheritedEnvironment();
  for (std::string v : {"XDG_CONFIG_HOME=" + dir.File("config"), "XDG_RUNTIME_DIR=" + dir.Path(),
                        std::string("QUODRA_PAUSE_MS=2"), std::string("QUODRA_ONLINE=1"),
                        std::string("QUODRA_SAY_LOOP_END=1")})
    env.push_back(v);
  if (startSignal != 0 && ::mkfifo(startFifo.c_str(), 0600) == 0) env.push_back("QT_LOGGING_CONF=" + startFifo);
  std::vector<char*> envp;
  for (auto& v : env) envp.push_back(v.data());
  envp.push_back(nullptr);
  std::string bin = QUODRA_BIN_DIR "/quodra-ftp", arg = profile;
  char* argv[] = {bin.data(), arg.data(), nullptr};

  TStoppedRun r;
  int out[2], err[2];
  if (::pipe2(out, O_CLOEXEC) != 0) return r;
  if (::pipe2(err, O_CLOEXEC) != 0) return r;
  pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(out[1], STDOUT_FILENO);
    ::dup2(err[1], STDERR_FILENO);
    ::execve(bin.c_str(), argv, envp.data());
    ::_exit(127);
  }
  ::close(out[1]);
  ::close(err[1]);
  int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
  const auto deadline = std::chrono::steady_clock::now() + bound;
  auto msLeft = [&] {
    return static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                deadline - std::chrono::steady_clock::now()).count());
  };
  if (startSignal != 0) {
    // The FIFO opens for writing once the program has opened it for reading; until then it
    // says ENXIO, looked at every 5 ms.
    int fifo = -1;
    pollfd ended{pidfd, POLLIN, 0};
    while ((fifo = ::open(startFifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC)) < 0 && errno == ENXIO &&
           msLeft() > 0 && ::poll(&ended, 1, 5) == 0) {
    }
    EXPECT_GE(fifo, 0) << "the program never read its logging rules";
    ::kill(pid, startSignal);  // it waits in the read of the rules
    if (fifo >= 0) ::close(fifo);  // no rules: it goes on
  }
  std::string errors;
  size_t next = 0;
  for (int open = 2; open > 0;) {
    const int left = msLeft();
    pollfd p[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    if (left <= 0 || ::poll(p, 2, left) <= 0) {
      ::kill(pid, SIGKILL);
      break;
    }
    for (int i = 0; i < 2; ++i) {
      if (p[i].fd < 0 || p[i].revents == 0) continue;
      char buf[4096];
      ssize_t n = ::read(p[i].fd, buf, sizeof buf);
      if (n <= 0) {
        ::close(p[i].fd);
        (i == 0 ? out[0] : err[0]) = -1;
        --open;
        continue;
      }
      (i == 0 ? r.Output : errors).append(buf, static_cast<size_t>(n));
    }
    if (onOutput) onOutput(r.Output);
    while (next < marks.size() && (r.Output.find(marks[next].first) != std::string::npos ||
                                   errors.find(marks[next].first) != std::string::npos))
      ::kill(pid, marks[next++].second);
  }
  if (out[0] >= 0) ::close(out[0]);
  if (err[0] >= 0) ::close(err[0]);
  pollfd ended{pidfd, POLLIN, 0};
  if (pidfd < 0 || ::poll(&ended, 1, 60000) != 1) ::kill(pid, SIGKILL);
  if (pidfd >= 0) ::close(pidfd);
  int status = 0;
  if (::waitpid(pid, &status, 0) == pid) {
    r.Exited = WIFEXITED(status);
    r.Status = r.Exited ? WEXITSTATUS(status) : WTERMSIG(status);
  }
  return r;
}

}  // namespace

TEST(StopSignals, EndTheRunCleanlyWithEveryLineLogged) {
  struct TRow {
    const char* Name;
    int StartSignal;                                 // sent while the program is still starting
    std::vector<std::pair<std::string, int>> Marks;  // output seen -> signal sent
    const char* Logged;                              // a line the log must hold
    bool WholeLogAtHost;                             // the host got exactly what stdout got
    bool Started;                                    // the transfer began (and left its partial)
    const char* HostHeldUntil;  // the host is held from "Retrieving" until the log holds this
  };
  const char* kEndNote = "Signal SIGTERM after the run had ended: its last log lines go out first";
  const std::vector<TRow> rows = {
      {"SIGTERM mid-transfer", 0, {{"\nRetrieving\n", SIGTERM}}, "Stopped by signal SIGTERM", true, true, nullptr},
      {"SIGHUP mid-transfer", 0, {{"\nRetrieving\n", SIGHUP}}, "Stopped by signal SIGHUP", true, true, nullptr},
      {"second signal while stopping", 0, {{"\nRetrieving\n", SIGINT}, {"Stopped by signal SIGINT\n", SIGTERM}},
       "Second signal SIGTERM: ending at once", false, true, nullptr},
      // Before the application object exists: the job never starts, the stop is logged.
      {"SIGTERM while the program starts", SIGTERM, {}, "Stopped by signal SIGTERM", true, false, nullptr},
      // The event loop is over and the host still has the last lines: they all reach it.
      {"second signal while the host takes the last lines", 0,
       {{"\nRetrieving\n", SIGINT}, {"Event loop over\n", SIGTERM}}, kEndNote, true, true, kEndNote},
  };
  for (const TRow& row : rows) {
    SCOPED_TRACE(row.Name);
    TTempDir dir;
    ::mkdir(dir.File("remote").c_str(), 0755);
    ::mkdir(dir.File("local").c_str(), 0755);
    ::mkdir(dir.File("quodra-host").c_str(), 0700);
    WriteFile(dir.File("remote/big.bin"), PatternBytes(300000, 5));
    WriteFile(dir.File("local/big.bin"), "the old file");
    // The server sends half the file, then nothing more: the run is stopped while it waits.
    TScriptedFtpServer server;
    ASSERT_TRUE(server.Start({"fault RETR * stall", "serve " + dir.File("remote")}));
    WriteFile(dir.File("job.FTP"), "[Options]\r\nServerName=127.0.0.1\r\nLogin=tester\r\nPassword=secret\r\nPort=" +
                                       server.PortText() + "\r\nSourceFile=big.bin\r\nDestinationFile=" +
                                       dir.File("local/") + "\r\nDefaultFolder=/\r\nOverwrite=Y\r\n"
                                       "DeleteRemote=N\r\nPassive=Y\r\nMode=B\r\n");
    TSlowHost host(dir.File("quodra-host/TTransForm1.TMemo"));
    ASSERT_TRUE(host.Bound);
    auto holdHost = [&](const std::string& out) {
      if (row.HostHeldUntil)
        host.Held = out.find("\nRetrieving\n") != std::string::npos && out.find(row.HostHeldUntil) == std::string::npos;
    };
    TStoppedRun r = RunAndSignal(dir, dir.File("job.FTP"), row.Marks, std::chrono::seconds(60), row.StartSignal, holdHost);
    std::string hostText = host.Finish();
    ASSERT_TRUE(r.Exited) << "ended by signal " << r.Status << "\n" << r.Output;
    EXPECT_EQ(r.Status, 1) << r.Output;
    EXPECT_NE(r.Output.find(std::string(row.Logged) + "\n"), std::string::npos) << r.Output;
    // The old file stays as it was; what arrived is kept aside only as the resumable partial
    // (and its record) that the next run continues from.
    EXPECT_EQ(ReadFile(dir.File("local/big.bin")), "the old file");
    const std::set<std::string> left = row.Started ? std::set<std::string>{".big.bin.quodra-part", ".big.bin.quodra-resume", "big.bin"}
                                                   : std::set<std::string>{"big.bin"};
    EXPECT_EQ(FolderNames(dir.File("local")), left);
    EXPECT_EQ(r.Output.find("\nRetrieving\n") != std::string::npos, row.Started) << r.Output;
    if (row.Started) {
      const std::string kept = ReadFile(dir.File("local/.big.bin.quodra-part"));
      EXPECT_EQ(kept, PatternBytes(300000, 5).substr(0, kept.size()));
    }
    if (row.WholeLogAtHost) {
      EXPECT_EQ(r.Output.find("resumable") != std::string::npos, row.Started) << r.Output;
      EXPECT_EQ(hostText, r.Output);
    } else {
      EXPECT_EQ(r.Output.rfind(hostText, 0), 0u) << "the host's text is the start of the log";
    }
  }
}

// A TFTP download waits for its server without running the event loop: a stop ends that
// wait at once, before the first block or in the middle, and the log says why. The transfer
// time-out (32 s) is beyond the run's bound here: a stop that waited for it fails the row.
// The old file stays, nothing is left beside it.
TEST(StopSignals, EndATftpWaitForItsServerAtOnce) {
  const struct {
    const char* Name;
    std::vector<std::string> Behaviour;
    const char* Options;  // profile keys beyond the plain ones
    const char* Mark;     // output seen -> signal sent
    int Signal;
    const char* Logged;
  } rows[] = {
      {"server that never answers, SIGTERM", {"silence"}, "", "Begin Transfer \n", SIGTERM,
       "Stopped by signal SIGTERM"},
      {"server silent after two blocks, SIGINT", {"oack=echo", "stopafter=2"}, "BlockSize=512\r\n",
       "Size: 300000 bytes\n", SIGINT, "Stopped by signal SIGINT"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.Name);
    TTempDir dir;
    ::mkdir(dir.File("remote").c_str(), 0755);
    ::mkdir(dir.File("local").c_str(), 0755);
    WriteFile(dir.File("remote/big.bin"), PatternBytes(300000, 7));
    WriteFile(dir.File("local/big.bin"), "the old file");
    TScriptedTftpServer server;
    ASSERT_TRUE(server.Start(dir.File("remote"), row.Behaviour));
    WriteFile(dir.File("job.FTP"), "[Options]\r\nFileTransferMode=P\r\nServerName=127.0.0.1\r\nPort=" +
                                       std::to_string(server.Port()) + "\r\nSourceFile=big.bin\r\nDestinationFile=" +
                                       dir.File("local/big.bin") +
                                       "\r\nOverwrite=Y\r\nDeleteRemote=N\r\nMode=B\r\nTimeOut=32000\r\n" + row.Options);
    TStoppedRun r = RunAndSignal(dir, dir.File("job.FTP"), {{row.Mark, row.Signal}}, std::chrono::seconds(20));
    ASSERT_TRUE(r.Exited) << "ended by signal " << r.Status << "\n" << r.Output;
    EXPECT_EQ(r.Status, 1) << r.Output;
    EXPECT_NE(r.Output.find(std::string(row.Logged) + "\n"), std::string::npos) << r.Output;
    EXPECT_EQ(r.Output.find("Timeout"), std::string::npos) << r.Output;
    EXPECT_EQ(ReadFile(dir.File("local/big.bin")), "the old file");
    EXPECT_EQ(FolderNames(dir.File("local")), std::set<std::string>{"big.bin"});
  }
}
