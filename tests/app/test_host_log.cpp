// The echo of the log into a host application's log box: a datagram socket the host binds
// in the host folder, one character per datagram, each line closed by a line feed.
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <thread>

#include "host/host_log_link.h"
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
  // `lines` line feeds have come (or nothing more comes for a while).
  void StartReading(int lines) {
    Reader = std::thread([this, lines] {
      timeval wait{5, 0};
      ::setsockopt(Box, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof(wait));
      char buf[16];
      for (int seen = 0; seen < lines;) {
        ssize_t n = ::recv(Box, buf, sizeof(buf), 0);
        if (n <= 0) break;
        if (n != 1) SplitDatagrams = true;
        Text.append(buf, static_cast<size_t>(n));
        seen += static_cast<int>(std::count(buf, buf + n, '\n'));
      }
    });
  }
  std::string Received() {
    if (Reader.joinable()) Reader.join();
    EXPECT_FALSE(SplitDatagrams) << "one character per datagram";
    return Text;
  }

  std::thread Reader;
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
