// A server name with several addresses: each is tried in turn, each with its own connect
// time-out, until one answers; a refused address and a silent one both move on, and a name
// none of whose addresses answers ends the login instead of hanging.
#include <arpa/inet.h>
#include <netinet/in.h>

#include <gtest/gtest.h>

#include <cstring>

#include "ftp/qp_ftp_client.h"
#include "ftp_test_util.h"
#include "support/ftp_server_fixture.h"
#include "support/server_process.h"
#include "support/temp_dir.h"

using namespace quodra::ftp;
using namespace quodra::ftp::test;
using quodra::test::FreeTcpPort;
using quodra::test::TPyFtpServer;
using quodra::test::TTempDir;

namespace {

sockaddr_storage Address(const char* text) {
  sockaddr_storage a{};
  if (std::strchr(text, ':')) {
    auto& in6 = reinterpret_cast<sockaddr_in6&>(a);
    in6.sin6_family = AF_INET6;
    ::inet_pton(AF_INET6, text, &in6.sin6_addr);
  } else {
    auto& in = reinterpret_cast<sockaddr_in&>(a);
    in.sin_family = AF_INET;
    ::inet_pton(AF_INET, text, &in.sin_addr);
  }
  return a;
}

// A client whose server name stands for the addresses the test gives.
class TListedAddressClient : public TQpFtpClient {
 public:
  std::vector<sockaddr_storage> Addresses;

 protected:
  std::vector<sockaddr_storage> ResolveServerAddresses(const std::string&) override { return Addresses; }
};

struct TOrderCase {
  const char* Name;
  std::vector<const char*> Addresses;
  bool ServerAnswers;  // false: nobody listens on the port at all
  size_t Tries;        // addresses tried
};

void PrintTo(const TOrderCase& c, std::ostream* os) { *os << c.Name; }

class FtpAddressOrder : public ::testing::TestWithParam<TOrderCase> {};

}  // namespace

TEST_P(FtpAddressOrder, TriesEachAddressInTurn) {
  const TOrderCase& c = GetParam();
  TTempDir root;
  TPyFtpServer server;  // on 127.0.0.1 only
  ASSERT_TRUE(server.Start(root.Path()));
  TListedAddressClient client;
  TFtpRecorder rec;
  rec.Attach(client);
  int wsErrors = 0;
  client.OnWsError = [&](quodra::port::TQpBaseComponent*, int32_t) { ++wsErrors; };
  for (const char* a : c.Addresses) client.Addresses.push_back(Address(a));
  client.SetServerAddress("several.addresses.test");
  quodra::test::TRefusingTcpPort closed;
  client.SetWsPort(c.ServerAnswers ? server.PortText() : std::to_string(closed.Port()));
  client.UserName = "tester";
  client.Password = "secret";
  client.ConnectTimeout = 10;  // ticks: a silent address is given up soon
  ASSERT_TRUE(client.Login());
  ASSERT_TRUE(WaitFor([&] { return rec.Has(fsLoggedIn) || !rec.Errors.empty() || wsErrors > 0 || rec.Has(fsClosed); }))
      << rec.Sequence();
  EXPECT_EQ(rec.Has(fsLoggedIn), c.ServerAnswers) << rec.Sequence();
  size_t moves = 0;
  for (const auto& n : rec.Notices) moves += n.find("trying the server's address") != std::string::npos;
  EXPECT_EQ(moves, c.Tries - 1);
  EXPECT_EQ(client.WsAddressTry(), c.Tries - 1);
  if (!c.ServerAnswers) {
    ASSERT_TRUE(WaitFor([&] { return !client.Connected() || wsErrors > 0; }));
  }
  client.Logout();
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FtpAddressOrder,
    ::testing::Values(TOrderCase{"Ipv6RefusedThenIpv4", {"::1", "127.0.0.1"}, true, 2},
                      TOrderCase{"SilentThenIpv4", {"192.0.2.1", "127.0.0.1"}, true, 2},
                      TOrderCase{"FirstAnswers", {"127.0.0.1", "::1"}, true, 1},
                      TOrderCase{"NoneAnswers", {"::1", "127.0.0.1"}, false, 2}),
    [](const auto& info) { return std::string(info.param.Name); });
