#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "host/host_log_link.h"
#include "host/online_state.h"
#include "host/system_info.h"
#include "support/temp_dir.h"

using namespace quodra::host;

namespace {

// A host application's log box: a datagram socket bound in the host folder.
class THostListener {
 public:
  explicit THostListener(const std::string& path) {
    Fd = ::socket(AF_UNIX, SOCK_DGRAM, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::strncpy(a.sun_path, path.c_str(), sizeof(a.sun_path) - 1);
    Bound = ::bind(Fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0;
  }
  ~THostListener() { ::close(Fd); }
  std::string Drain() {
    std::string out;
    char buf[16];
    ssize_t n;
    while ((n = ::recv(Fd, buf, sizeof(buf), MSG_DONTWAIT)) > 0) {
      EXPECT_EQ(n, 1) << "one character per datagram";
      out.append(buf, static_cast<size_t>(n));
    }
    return out;
  }
  int Fd;
  bool Bound;
};

}  // namespace

TEST(HostLogLink, SendsEveryCharacterThenALineFeed) {
  quodra::test::TTempDir runtime;
  ::setenv("XDG_RUNTIME_DIR", runtime.Path().c_str(), 1);
  ::mkdir(HostFolder().c_str(), 0700);

  THostLogLink none;
  EXPECT_FALSE(none.FindHostWindow());
  none.SendLine("nobody listens");  // harmless

  THostListener memo(HostFolder() + "TTransForm1.TMemo");
  ASSERT_TRUE(memo.Bound);
  THostLogLink link;
  ASSERT_TRUE(link.FindHostWindow());
  link.SendLine("Login");
  link.SendLine("");  // empty lines are not sent
  link.SendLine("Done");
  EXPECT_EQ(memo.Drain(), "Login\nDone\n");
  ::unsetenv("XDG_RUNTIME_DIR");
}

TEST(HostLogLink, FallsBackToTheTitledTransferBox) {
  quodra::test::TTempDir runtime;
  ::setenv("XDG_RUNTIME_DIR", runtime.Path().c_str(), 1);
  ::mkdir(HostFolder().c_str(), 0700);
  THostListener box(HostFolder() + std::string(kHostApplicationTitle) + ".TransferBox1");
  THostLogLink link;
  ASSERT_TRUE(link.FindHostWindow());
  link.SendLine("x");
  EXPECT_EQ(box.Drain(), "x\n");
  ::unsetenv("XDG_RUNTIME_DIR");
}

// A host far slower than the log loses nothing: one that pauses a millisecond after every 32
// datagrams gets every line of a log larger than its own queue and than any early bound, in
// order, by the end of the run's drain; a host that never reads is given up after the stall
// bound, and the program goes on to its end.
TEST(HostLogLink, DrainHandsASlowHostEverythingAndGivesUpOnADeadOne) {
  quodra::test::TTempDir runtime;
  ::setenv("XDG_RUNTIME_DIR", runtime.Path().c_str(), 1);
  ::mkdir(HostFolder().c_str(), 0700);
  std::string expected;
  for (int i = 0; i < 2000; ++i) expected += "Log line " + std::to_string(i) + " of a run that ends now\n";

  struct TRow {
    const char* Name;
    bool Reads;
  };
  for (const TRow& row : {TRow{"slow host", true}, TRow{"host that never reads", false}}) {
    SCOPED_TRACE(row.Name);
    THostListener memo(HostFolder() + "TTransForm1.TMemo");
    ASSERT_TRUE(memo.Bound);
    std::string got;
    std::atomic<bool> stop{false};
    std::atomic<size_t> taken{0};
    // The reading host waits for each datagram and pauses now and then (its pace); it ends
    // once it has the whole log, or when nothing came for 5 s.
    std::thread reader([&] {
      while (row.Reads && !stop && taken < expected.size()) {
        pollfd p{memo.Fd, POLLIN, 0};
        if (::poll(&p, 1, 5000) != 1) break;
        char c;
        if (::recv(memo.Fd, &c, 1, MSG_DONTWAIT) == 1) {
          got.push_back(c);
          ++taken;
        }
        if (taken % 32 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
    });
    {
      THostLogLink link;
      ASSERT_TRUE(link.FindHostWindow());
      size_t start = 0;
      for (size_t end; (end = expected.find('\n', start)) != std::string::npos; start = end + 1)
        link.SendLine(expected.substr(start, end - start));
      EXPECT_GT(link.Waiting(), 0u);  // the host's queue is far smaller than the log
      EXPECT_EQ(link.Drain(row.Reads ? THostLogLink::kDrainStallMs : 300), row.Reads);
      EXPECT_EQ(link.Waiting(), 0u);
      if (!row.Reads) {
        EXPECT_FALSE(link.HasHostWindow());
      }
    }
    // Everything was sent; a reading host takes the rest of its queue and ends by itself.
    if (!row.Reads) stop = true;
    reader.join();
    if (row.Reads) {
      EXPECT_EQ(got, expected);
    }
    ::unlink((HostFolder() + "TTransForm1.TMemo").c_str());
  }
  ::unsetenv("XDG_RUNTIME_DIR");
}

TEST(OnlineState, DefaultRouteDecides) {
  const std::string head = "Iface\tDestination\tGateway\tFlags\tRefCnt\tUse\tMetric\tMask\n";
  EXPECT_TRUE(HasDefaultRoute(head + "eth0\t00000000\t0102A8C0\t0003\t0\t0\t0\t00000000\n", ""));
  EXPECT_FALSE(HasDefaultRoute(head + "eth0\t0002A8C0\t00000000\t0001\t0\t0\t0\t00FFFFFF\n", ""));
  EXPECT_FALSE(HasDefaultRoute(head + "eth0\t00000000\t0102A8C0\t0002\t0\t0\t0\t00000000\n", ""));  // not up
  const std::string zero(32, '0');
  EXPECT_TRUE(HasDefaultRoute(head, zero + " 00 " + zero + " 00 fe800000000000000000000000000001 00000400 00000001 00000000 00000003 eth0\n"));
  EXPECT_FALSE(HasDefaultRoute(head, zero + " 00 " + zero + " 00 " + zero + " ffffffff 00000001 00000000 00200200 lo\n"));

  SetOnlineOverride(false);
  EXPECT_FALSE(IsComputerOnline());
  SetOnlineOverride(true);
  EXPECT_TRUE(IsComputerOnline());
  SetOnlineOverride(std::nullopt);
}

TEST(SystemInfo, OperatingSystemNameFromOsRelease) {
  EXPECT_EQ(OperatingSystemNameFrom("NAME=\"Debian GNU/Linux\"\nPRETTY_NAME=\"Debian GNU/Linux 12 (bookworm)\"\n"),
            "Debian GNU/Linux 12 (bookworm)");
  EXPECT_EQ(OperatingSystemNameFrom("NAME=Plain\n"), "Plain");
  EXPECT_EQ(OperatingSystemNameFrom(""), "");
  EXPECT_FALSE(KernelMajorMinor().empty());
  EXPECT_TRUE(DiskFreeBytes(".").has_value());
}
