// The echo of the log into a host application's log box: a datagram socket the host binds
// in the host folder, one character per datagram, each line closed by a line feed.
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <thread>

#include "host/host_log_link.h"
#include "program_run.h"
#include "test_main_frm_fixture.h"

using quodra::test::TMainFrmTest;

namespace {

class HostLog : public TMainFrmTest {
 protected:
  int Box = -1;

  void TearDown() override {
    if (Reader.joinable()) Reader.join();
    TMainFrmTest::TearDown();
    if (Box >= 0) ::close(Box);
  }

  // Offers a log box under `name` ("TTransForm1.TMemo", "<title>.TransferBox1").
  void OfferLogBox(const std::string& name) {
    std::string folder = quodra::host::HostFolder();
    ::mkdir(folder.c_str(), 0700);
    Box = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(Box, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::string path = folder + name;
    ASSERT_LT(path.size(), sizeof(addr.sun_path));
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    ASSERT_EQ(::bind(Box, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0) << path;
  }

  // Reads the box the way a host does, while the window writes: every datagram until
  // `lines` line feeds have come, or a line shorter than `cutBelow` characters (or nothing
  // more comes for a while).
  void StartReading(int lines, size_t cutBelow = 0) {
    Reader = std::thread([this, lines, cutBelow] {
      timeval wait{5, 0};
      ::setsockopt(Box, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof(wait));
      char buf[16];
      size_t lineLength = 0;
      for (int seen = 0; seen < lines;) {
        ssize_t n = ::recv(Box, buf, sizeof(buf), 0);
        if (n <= 0) break;
        if (n != 1) SplitDatagrams = true;
        Text.append(buf, static_cast<size_t>(n));
        if (buf[0] != '\n') {
          ++lineLength;
          continue;
        }
        ++seen;
        if (lineLength < cutBelow) break;
        lineLength = 0;
      }
      ReaderDone = true;
    });
  }
  // What the reader got; the window's event loop runs meanwhile (what the host did not
  // take at once is sent on from there).
  std::string Received() {
    quodra::host::WaitUntil([this] { return ReaderDone.load(); }, quodra::host::NowMs() + 10000);
    if (Reader.joinable()) Reader.join();
    EXPECT_FALSE(SplitDatagrams) << "one character per datagram";
    return Text;
  }

  std::thread Reader;
  std::atomic<bool> ReaderDone{false};
  std::string Text;
  bool SplitDatagrams = false;
};

}  // namespace

TEST_F(HostLog, EveryNonEmptyLineReachesTheMemoCharacterByCharacter) {
  OfferLogBox("TTransForm1.TMemo");
  auto& f = Make();
  f.Log("before activation");  // the host is looked up at the first activation
  Start();
  StartReading(2);
  f.Log("Login");
  f.Log("");
  f.Log("Transfer Completed OK");
  EXPECT_EQ(Received(), "Login\nTransfer Completed OK\n");
  EXPECT_EQ(LogLines().back(), "Transfer Completed OK");
}

TEST_F(HostLog, HostFoundByItsTitleWhenThereIsNoMemo) {
  OfferLogBox(std::string(quodra::host::kHostApplicationTitle) + ".TransferBox1");
  auto& f = Make();
  Start();
  StartReading(1);
  f.Log("ab");
  EXPECT_EQ(Received(), "ab\n");
}

TEST_F(HostLog, NoHostMeansTheLogListOnlyAndAHostThatLeavesIsDropped) {
  auto& f = Make();
  Start();
  f.Log("alone");
  EXPECT_EQ(LogLines(), std::vector<std::string>{"alone"});

  OfferLogBox("TTransForm1.TMemo");
  auto& g = Make();
  Start();
  ::close(Box);
  Box = -1;
  g.Log("host gone");  // must neither block nor fail
  EXPECT_EQ(LogLines(), std::vector<std::string>{"host gone"});
}

// A host that does not read for a while: the log goes on at full speed, every line still
// reaches the log list, and a host that reads again within the stall bound gets every line,
// whole and in order.
TEST_F(HostLog, AHostThatDoesNotReadNeverHoldsTheRunUp) {
  const std::string line(100, 'x');
  const int lines = 2000;  // 200 000 characters, three times the outbox
  // The same lines without a host, for the measurement below.
  auto& alone = Make();
  Start();
  const int64_t aloneStart = quodra::host::NowMs();
  for (int i = 0; i < lines; ++i) alone.Log(line);
  const int64_t aloneMs = quodra::host::NowMs() - aloneStart;

  OfferLogBox("TTransForm1.TMemo");
  auto& f = Make();
  Start();
  testing::internal::CaptureStderr();
  const int64_t hostedStart = quodra::host::NowMs();
  for (int i = 0; i < lines; ++i) f.Log(line);
  const int64_t hostedMs = quodra::host::NowMs() - hostedStart;
  const std::string errors = testing::internal::GetCapturedStderr();
  std::printf("%d log lines: %lld ms without a host, %lld ms with a host that does not read\n", lines,
              static_cast<long long>(aloneMs), static_cast<long long>(hostedMs));
  EXPECT_EQ(f.ui->ErrorBox1->count(), lines);
  EXPECT_EQ(errors, "");

  // What the box holds now, and what the window still has for it, once it reads again.
  StartReading(lines, line.size());
  std::string got = Received();
  ASSERT_FALSE(got.empty());
  EXPECT_EQ(got.back(), '\n');
  size_t cut = 0;
  for (size_t from = 0; from < got.size();) {
    size_t end = got.find('\n', from);
    std::string l = got.substr(from, end - from);
    EXPECT_EQ(l, line.substr(0, l.size()));
    cut += l.size() != line.size();
    from = end + 1;
  }
  EXPECT_EQ(cut, 0u);
  EXPECT_EQ(got.size(), lines * (line.size() + 1));
}

// The program itself, unattended, with a host that never reads: measured against the same
// run without a host (reported, not asserted).
TEST(HostLogRun, AHostThatNeverReadsCostsTheRunNothing) {
  quodra::test::TTempDir dir;
  std::string content;
  for (int i = 0; i < 2000; ++i) content += "line " + std::to_string(i) + "\n";
  const std::string profile = dir.File("job.FTP");
  quodra::test::WriteFile(profile, "[Options]\r\nFileTransferMode=C\r\nSourceFile=" + dir.File("in.txt") +
                         "\r\nDestinationFile=" + dir.File("out.txt") + "\r\nOverwrite=Y\r\nDeleteRemote=N\r\n");
  quodra::test::WriteFile(dir.File("in.txt"), content);

  auto run = [&] {
    quodra::test::TProgramRun r = quodra::test::RunProgram(dir, profile);
    EXPECT_TRUE(r.Finished);
    EXPECT_EQ(r.ExitCode, 0) << r.Output << r.Errors;
    EXPECT_EQ(quodra::test::ReadFile(dir.File("out.txt")), content);
    return r;
  };
  const auto alone = run();

  const std::string folder = dir.File("quodra-host/");
  ::mkdir(folder.c_str(), 0700);
  int box = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  const std::string path = folder + "TTransForm1.TMemo";
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  ASSERT_EQ(::bind(box, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
  const auto hosted = run();
  ::close(box);

  std::printf("unattended copy run: %lld ms without a host, %lld ms with a host that never reads (%.2fx)\n",
              static_cast<long long>(alone.WallMs), static_cast<long long>(hosted.WallMs),
              alone.WallMs > 0 ? static_cast<double>(hosted.WallMs) / static_cast<double>(alone.WallMs) : 0.0);
  ::testing::Test::RecordProperty("ms_without_host", static_cast<int>(alone.WallMs));
  ::testing::Test::RecordProperty("ms_with_silent_host", static_cast<int>(hosted.WallMs));
}
