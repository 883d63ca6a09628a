// FTP over TLS against a real server (pyftpdlib's TLS handler, with certificates this test
// makes with openssl): explicit and implicit TLS, passive and active, a pinned fingerprint
// right and wrong, the CA and name check, a server that refuses AUTH, a data connection cut
// without close_notify; and, through a recording proxy, no password in clear on the wire.
// Over IPv6 (::1, also written [::1]) the data connections use EPSV and EPRT, plain and TLS.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <memory>

#include "ftp/qp_ftp_client.h"
#include "ftp_test_util.h"
#include "port/qp_trace_log.h"
#include "port/tls_channel.h"
#include "support/ftp_server_fixture.h"
#include "support/server_process.h"
#include "support/temp_dir.h"

using namespace quodra::ftp;
using namespace quodra::ftp::test;
using quodra::test::FileExists;
using quodra::test::PatternBytes;
using quodra::test::ReadFile;
using quodra::test::SystemPython;
using quodra::test::TServerProcess;
using quodra::test::TTempDir;
using quodra::test::WaitForPortFile;
using quodra::test::WriteFile;

namespace {

// root user password portfile host mode(explicit|implicit|plain) cert key cut(0|1)
const char* const kTlsServer = R"PY(
import os, sys, logging
from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler, TLS_FTPHandler, TLS_DTPHandler
from pyftpdlib.servers import FTPServer
root, user, password, portfile, host, mode, cert, key, cut = sys.argv[1:10]
logging.basicConfig(level=logging.DEBUG if os.environ.get('TLS_SERVER_DEBUG') else logging.INFO, stream=sys.stderr)
auth = DummyAuthorizer()
auth.add_user(user, password, root, perm='elradfmw')
class CutData(TLS_DTPHandler):
    def close(self):
        self._error = True  # straight to the socket's close: no close_notify
        super().close()
class Explicit(TLS_FTPHandler):
    tls_control_required = True
    tls_data_required = True
class Implicit(Explicit):
    def handle(self):
        self.secure_connection(self.ssl_context)
    def handle_ssl_established(self):
        TLS_FTPHandler.handle(self)
Handler = {'explicit': Explicit, 'implicit': Implicit, 'plain': FTPHandler}[mode]
if mode != 'plain':
    Handler.certfile = cert
    Handler.keyfile = key
    if cut == '1':
        Handler.dtp_handler = CutData
Handler.authorizer = auth
Handler.permit_foreign_addresses = False
Handler.auth_failed_timeout = 0
server = FTPServer((host, 0), Handler)
tmp = portfile + '.tmp'
with open(tmp, 'w') as f:
    f.write(str(server.socket.getsockname()[1]))
os.rename(tmp, portfile)
server.serve_forever(timeout=0.5)
)PY";

// listen-portfile target-port capture: forwards one connection and records what the client sent.
const char* const kRecordingProxy = R"PY(
import os, socket, sys, threading
portfile, target, capture = sys.argv[1], int(sys.argv[2]), sys.argv[3]
lsock = socket.socket()
lsock.bind(('127.0.0.1', 0))
lsock.listen(1)
with open(portfile + '.tmp', 'w') as f:
    f.write(str(lsock.getsockname()[1]))
os.rename(portfile + '.tmp', portfile)
client, _ = lsock.accept()
server = socket.create_connection(('127.0.0.1', target))
out = open(capture, 'wb')
def pump(a, b, record):
    while True:
        data = a.recv(65536)
        if not data:
            break
        if record:
            out.write(data)
            out.flush()
        b.sendall(data)
    try:
        b.shutdown(socket.SHUT_WR)
    except OSError:
        pass
t = threading.Thread(target=pump, args=(server, client, False))
t.start()
pump(client, server, True)
t.join()
)PY";

bool Run(const std::string& command) { return std::system(command.c_str()) == 0; }

// A test CA, a server certificate it signed for localhost, 127.0.0.1 and ::1, one it signed
// for another name only, and its fingerprint. Made once for the program, removed at its end.
struct TCertificates {
  TTempDir Dir;
  std::string Fingerprint;  // of the server certificate, as openssl shows it
  bool Ok = false;

  std::string File(const std::string& name) const { return Dir.File(name); }

  TCertificates() {
    const std::string d = Dir.Path() + "/";
    auto key = [&](const std::string& name) {
      return "openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:prime256v1 -out " + d + name + " 2>/dev/null";
    };
    auto signedCert = [&](const std::string& name, const std::string& san) {
      WriteFile(d + name + ".ext", "subjectAltName=" + san + "\n");
      return key(name + ".key") + " && openssl req -new -key " + d + name + ".key -subj /CN=" + name + " -out " + d +
             name + ".csr 2>/dev/null && openssl x509 -req -in " + d + name + ".csr -CA " + d + "ca.pem -CAkey " + d +
             "ca.key -CAcreateserial -days 2 -extfile " + d + name + ".ext -out " + d + name + ".pem 2>/dev/null";
    };
    Ok = Run(key("ca.key") + " && openssl req -x509 -new -key " + d + "ca.key -subj /CN=Quodra-Test-CA -days 2 -out " +
             d + "ca.pem 2>/dev/null") &&
         Run(signedCert("server", "DNS:localhost,IP:127.0.0.1,IP:::1")) &&
         Run(signedCert("other", "DNS:other.invalid")) &&
         Run(key("lone.key") + " && openssl req -x509 -new -key " + d + "lone.key -subj /CN=Lone-CA -days 2 -out " + d +
             "lone.pem 2>/dev/null") &&
         Run("openssl x509 -in " + d + "server.pem -noout -fingerprint -sha256 >" + d + "fp 2>/dev/null");
    std::string fp = ReadFile(d + "fp");
    if (auto eq = fp.find('='); eq != std::string::npos) Fingerprint = fp.substr(eq + 1, 95);
    Ok = Ok && Fingerprint.size() == 95;
  }
};

const TCertificates& Certificates() {
  static TCertificates certs;
  return certs;
}

class TTlsFtpServer {
 public:
  bool Start(const std::string& root, const std::string& mode, const std::string& cert, bool cut,
             const std::string& host = "127.0.0.1") {
    const auto& c = Certificates();
    std::string portFile = Work.File("port");
    if (!Process.Start({SystemPython(), "-c", kTlsServer, root, "tester", "secret", portFile, host, mode,
                        c.File(cert + ".pem"), c.File(cert + ".key"), cut ? "1" : "0"},
                       Work.File("server.log")))
      return false;
    Port = WaitForPortFile(portFile);
    return Port > 0;
  }
  std::string Log() const { return ReadFile(Work.File("server.log")); }
  int Port = 0;

 private:
  TTempDir Work;
  TServerProcess Process;
};

// Points OpenSSL's CA store at one file while it lives.
class TCaStore {
 public:
  explicit TCaStore(const std::string& file) {
    if (const char* old = std::getenv("SSL_CERT_FILE")) Old = old, HadOld = true;
    ::setenv("SSL_CERT_FILE", file.c_str(), 1);
  }
  ~TCaStore() {
    if (HadOld)
      ::setenv("SSL_CERT_FILE", Old.c_str(), 1);
    else
      ::unsetenv("SSL_CERT_FILE");
  }

 private:
  std::string Old;
  bool HadOld = false;
};

enum class TTrust { PinRight, PinWrong, TestCa, OtherCa };

struct TTlsCase {
  const char* Name;
  const char* ServerMode;  // explicit, implicit, plain
  TFtpSecurity Security;
  bool Passive;
  const char* Cert;  // server or other
  TTrust Trust;
  bool CutData;
  const char* Failure;  // expected in the error text; nullptr: the session works
  bool FailsAtLogin;
};

void PrintTo(const TTlsCase& c, std::ostream* os) { *os << c.Name; }

class FtpTls : public ::testing::TestWithParam<TTlsCase> {};

std::string Errors(const TFtpRecorder& rec) {
  std::string all;
  for (const auto& e : rec.Errors) all += std::to_string(e.Code) + " " + e.Text.value_or("") + "\n";
  return all;
}

}  // namespace

TEST_P(FtpTls, Session) {
  const TTlsCase& c = GetParam();
  const auto& certs = Certificates();
  ASSERT_TRUE(certs.Ok) << "openssl could not make the test certificates";
  TTempDir root, local;
  const std::string data = PatternBytes(1024 * 1024 + 333, 5);
  WriteFile(root.File("file.bin"), data);
  TTlsFtpServer server;
  ASSERT_TRUE(server.Start(root.Path(), c.ServerMode, c.Cert, c.CutData));

  TCaStore store(certs.File(c.Trust == TTrust::TestCa ? "ca.pem" : "lone.pem"));
  TQpFtpClient client;
  TFtpRecorder rec;
  rec.Attach(client);
  client.SetServerAddress("127.0.0.1");
  client.SetWsPort(std::to_string(server.Port));
  client.UserName = "tester";
  client.Password = "secret";
  client.PassiveMode = c.Passive;
  client.Security = c.Security;
  if (c.Trust == TTrust::PinRight) client.CertificateFingerprint = certs.Fingerprint;
  if (c.Trust == TTrust::PinWrong) client.CertificateFingerprint = std::string(64, 'a');

  ASSERT_TRUE(client.Login());
  ASSERT_TRUE(WaitFor([&] { return rec.Has(fsLoggedIn) || !rec.Errors.empty(); })) << rec.Sequence();
  if (c.FailsAtLogin) {
    ASSERT_FALSE(rec.Errors.empty());
    EXPECT_EQ(rec.Errors[0].Code, kFtpTlsError);
    EXPECT_NE(Errors(rec).find(c.Failure), std::string::npos) << Errors(rec);
    ASSERT_TRUE(WaitFor([&] { return !client.Connected(); }));
    EXPECT_FALSE(rec.Has(fsLoggedIn));
    // Nothing of the login reached the server.
    EXPECT_EQ(server.Log().find("logged in"), std::string::npos) << server.Log();
    EXPECT_EQ(server.Log().find("tester"), std::string::npos) << server.Log();
    return;
  }
  ASSERT_TRUE(rec.Has(fsLoggedIn)) << Errors(rec) << server.Log();

  ASSERT_TRUE(client.Retrieve("file.bin", local.File("file.bin"), rmReplace));
  ASSERT_TRUE(WaitFor([&] { return rec.Has(fsTransferDone) || !rec.Errors.empty(); }, 60000)) << rec.Sequence();
  ASSERT_TRUE(WaitFor([&] { return !client.InProgress(); }));
  if (c.Failure) {
    EXPECT_FALSE(rec.Has(fsTransferDone));
    EXPECT_NE(Errors(rec).find(c.Failure), std::string::npos) << Errors(rec);
    EXPECT_FALSE(FileExists(local.File("file.bin")));
    return;
  }
  ASSERT_TRUE(rec.Errors.empty()) << Errors(rec) << server.Log();
  EXPECT_TRUE(ReadFile(local.File("file.bin")) == data);
  // A second data connection, for the listing: both resumed the control session.
  ASSERT_TRUE(client.ListDir("", false));
  ASSERT_TRUE(WaitFor([&] { return rec.Has(fsTextReady) || !rec.Errors.empty(); })) << rec.Sequence();
  ASSERT_TRUE(rec.Has(fsTextReady)) << Errors(rec);
  EXPECT_NE(rec.Last(fsTextReady)->Text->find("file.bin"), std::string::npos);
  size_t resumed = 0;
  for (const auto& n : rec.Notices) resumed += n.find("TLS session resumed") != std::string::npos;
  EXPECT_EQ(resumed, 2u) << [&] { std::string all; for (const auto& n : rec.Notices) all += n + "\n"; return all; }();
  client.Logout();
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FtpTls,
    ::testing::Values(
        TTlsCase{"ExplicitPassivePinned", "explicit", fcExplicitTls, true, "server", TTrust::PinRight, false, nullptr, false},
        TTlsCase{"ExplicitActiveTestCa", "explicit", fcExplicitTls, false, "server", TTrust::TestCa, false, nullptr, false},
        TTlsCase{"ImplicitPassiveTestCa", "implicit", fcImplicitTls, true, "server", TTrust::TestCa, false, nullptr, false},
        TTlsCase{"ImplicitActivePinned", "implicit", fcImplicitTls, false, "server", TTrust::PinRight, false, nullptr, false},
        TTlsCase{"PinWrong", "explicit", fcExplicitTls, true, "server", TTrust::PinWrong, false, "is not the pinned one", true},
        TTlsCase{"UnknownCa", "explicit", fcExplicitTls, true, "server", TTrust::OtherCa, false, "certificate not trusted", true},
        TTlsCase{"ImplicitUnknownCa", "implicit", fcImplicitTls, true, "server", TTrust::OtherCa, false, "certificate not trusted", true},
        TTlsCase{"NameMismatch", "explicit", fcExplicitTls, true, "other", TTrust::TestCa, false, "name mismatch", true},
        TTlsCase{"AuthRefused", "plain", fcExplicitTls, true, "server", TTrust::TestCa, false, "TLS refused", true},
        TTlsCase{"ImplicitAgainstPlainServer", "plain", fcImplicitTls, true, "server", TTrust::TestCa, false, "handshake failed", true},
        TTlsCase{"DataCutPassive", "explicit", fcExplicitTls, true, "server", TTrust::PinRight, true, "without close_notify", false},
        TTlsCase{"DataCutActive", "explicit", fcExplicitTls, false, "server", TTrust::PinRight, true, "without close_notify", false}),
    [](const auto& info) { return std::string(info.param.Name); });

// The untrusted certificate's log line carries the fingerprint a user can pin; the pinned
// fingerprint may be written in any case, with or without colons.
TEST(FtpTlsFingerprint, LogLineShowsWhatToPin) {
  const auto& certs = Certificates();
  ASSERT_TRUE(certs.Ok);
  EXPECT_EQ(quodra::port::TTlsChannel::ShowFingerprint(quodra::port::TTlsChannel::NormalizeFingerprint(certs.Fingerprint)),
            certs.Fingerprint);
  std::string bare;
  for (char ch : certs.Fingerprint)
    if (ch != ':') bare += static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
  EXPECT_EQ(quodra::port::TTlsChannel::NormalizeFingerprint(bare), bare);
  EXPECT_EQ(quodra::port::TTlsChannel::NormalizeFingerprint(bare + "00"), "");
  EXPECT_EQ(quodra::port::TTlsChannel::NormalizeFingerprint("zz" + bare.substr(2)), "");

  TTempDir root;
  TTlsFtpServer server;
  ASSERT_TRUE(server.Start(root.Path(), "explicit", "server", false));
  TCaStore store(certs.File("lone.pem"));
  TQpFtpClient client;
  TFtpRecorder rec;
  rec.Attach(client);
  client.SetServerAddress("127.0.0.1");
  client.SetWsPort(std::to_string(server.Port));
  client.Security = fcExplicitTls;
  ASSERT_TRUE(client.Login());
  ASSERT_TRUE(WaitFor([&] { return !rec.Errors.empty(); }));
  EXPECT_NE(Errors(rec).find(certs.Fingerprint), std::string::npos) << Errors(rec);
}

// What the client sends on the control connection, recorded by a proxy between it and the
// server: TLS records only, so neither the user nor the password can be read there, while the
// port's trace holds the decrypted commands.
TEST(FtpTlsWire, NoPasswordInClearOnTheWire) {
  const auto& certs = Certificates();
  ASSERT_TRUE(certs.Ok);
  TTempDir root, work;
  WriteFile(root.File("a.txt"), "payload");
  TTlsFtpServer server;
  ASSERT_TRUE(server.Start(root.Path(), "explicit", "server", false));
  TServerProcess proxy;
  ASSERT_TRUE(proxy.Start({SystemPython(), "-c", kRecordingProxy, work.File("port"), std::to_string(server.Port),
                           work.File("capture")}));
  int proxyPort = WaitForPortFile(work.File("port"));
  ASSERT_GT(proxyPort, 0);

  TQpFtpClient client;
  TFtpRecorder rec;
  rec.Attach(client);
  client.SetServerAddress("127.0.0.1");
  client.SetWsPort(std::to_string(proxyPort));
  client.UserName = "tester";
  client.Password = "secret";
  client.PassiveMode = true;
  client.Security = fcExplicitTls;
  client.CertificateFingerprint = certs.Fingerprint;
  client.SetTraceName(work.File("trace.trc"));
  client.SetTracing(quodra::port::tlOn);
  ASSERT_TRUE(client.Login());
  ASSERT_TRUE(WaitFor([&] { return rec.Has(fsLoggedIn) || !rec.Errors.empty(); }));
  ASSERT_TRUE(rec.Has(fsLoggedIn)) << Errors(rec);
  ASSERT_TRUE(client.Retrieve("a.txt", work.File("a.txt"), rmReplace));
  ASSERT_TRUE(WaitFor([&] { return rec.Has(fsTransferDone) || !rec.Errors.empty(); }));
  ASSERT_TRUE(rec.Has(fsTransferDone)) << Errors(rec);
  client.SetTracing(quodra::port::tlDump);
  client.Logout();

  std::string wire = ReadFile(work.File("capture"));
  ASSERT_NE(wire.find("AUTH TLS\r\n"), std::string::npos);  // the only command in clear
  EXPECT_EQ(wire.find("secret"), std::string::npos);
  EXPECT_EQ(wire.find("tester"), std::string::npos);
  EXPECT_EQ(wire.find("RETR"), std::string::npos);
  std::string trace = ReadFile(work.File("trace.trc"));
  // The trace writes blanks as [20]: the commands are there as the client wrote them.
  EXPECT_NE(trace.find("PASS[20]secret[0D][0A]"), std::string::npos) << trace.substr(0, 2000);
}

// IPv6 on ::1: EPSV for passive, EPRT for active, plain and explicit TLS (the certificate
// names the address ::1); the server's own log shows the commands it got.
struct TIpv6Case {
  const char* Name;
  const char* Address;
  bool Passive;
  bool Tls;
  const char* Command;  // what the server must have received
};

void PrintTo(const TIpv6Case& c, std::ostream* os) { *os << c.Name; }

class FtpIpv6 : public ::testing::TestWithParam<TIpv6Case> {};

TEST_P(FtpIpv6, Session) {
  const TIpv6Case& c = GetParam();
  const auto& certs = Certificates();
  ASSERT_TRUE(certs.Ok);
  TTempDir root, local;
  const std::string data = PatternBytes(300 * 1024 + 7, 9);
  WriteFile(root.File("file.bin"), data);
  ::setenv("TLS_SERVER_DEBUG", "1", 1);  // the server logs every command
  TTlsFtpServer server;
  bool started = server.Start(root.Path(), c.Tls ? "explicit" : "plain", "server", false, "::1");
  ::unsetenv("TLS_SERVER_DEBUG");
  if (!started) GTEST_SKIP() << "no IPv6 loopback here: " << server.Log();
  TCaStore store(certs.File("ca.pem"));
  TQpFtpClient client;
  TFtpRecorder rec;
  rec.Attach(client);
  client.SetServerAddress(c.Address);
  client.SetWsPort(std::to_string(server.Port));
  client.UserName = "tester";
  client.Password = "secret";
  client.PassiveMode = c.Passive;
  client.Security = c.Tls ? fcExplicitTls : fcPlain;
  ASSERT_TRUE(client.Login());
  ASSERT_TRUE(WaitFor([&] { return rec.Has(fsLoggedIn) || !rec.Errors.empty(); })) << rec.Sequence();
  ASSERT_TRUE(rec.Has(fsLoggedIn)) << Errors(rec) << server.Log();
  ASSERT_TRUE(client.Retrieve("file.bin", local.File("file.bin"), rmReplace));
  ASSERT_TRUE(WaitFor([&] { return rec.Has(fsTransferDone) || !rec.Errors.empty(); }, 60000));
  ASSERT_TRUE(rec.Has(fsTransferDone)) << Errors(rec) << server.Log();
  EXPECT_TRUE(ReadFile(local.File("file.bin")) == data);
  ASSERT_TRUE(WaitFor([&] { return !client.InProgress(); }));
  ASSERT_TRUE(client.ListDir("", false));
  ASSERT_TRUE(WaitFor([&] { return rec.Has(fsTextReady) || !rec.Errors.empty(); }));
  ASSERT_TRUE(rec.Has(fsTextReady)) << Errors(rec);
  client.Logout();
  const std::string log = server.Log();
  EXPECT_NE(log.find(std::string("<- ") + c.Command), std::string::npos) << log;
  EXPECT_EQ(log.find("<- PASV"), std::string::npos);
  EXPECT_EQ(log.find("<- PORT"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Cases, FtpIpv6,
                         ::testing::Values(TIpv6Case{"PassiveEpsv", "::1", true, false, "EPSV"},
                                           TIpv6Case{"ActiveEprt", "[::1]", false, false, "EPRT |2|::1|"},
                                           TIpv6Case{"TlsPassiveEpsv", "[::1]", true, true, "EPSV"},
                                           TIpv6Case{"TlsActiveEprt", "::1", false, true, "EPRT |2|::1|"}),
                         [](const auto& info) { return std::string(info.param.Name); });
