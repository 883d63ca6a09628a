#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

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
