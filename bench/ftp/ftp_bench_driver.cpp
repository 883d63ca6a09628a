// Benchmark driver: logs in to an FTP server, retrieves one file into a local file with the
// engine and logs out; every block goes through the read notification, the file write and
// fsProgress as in the program. Exit status 0 when the file arrived complete.
//
//   quodra_ftp_bench_driver HOST PORT USER PASSWORD REMOTE LOCAL passive|active [tls FINGERPRINT]
// With "tls", the session is explicit TLS with the server certificate pinned to FINGERPRINT.
#include <QCoreApplication>
#include <QTimer>
#include <cstdio>
#include <cstring>
#include <string>

#include "ftp/qp_ftp_client.h"

using namespace quodra::ftp;

int main(int argc, char** argv) {
  if (argc != 8 && !(argc == 10 && std::strcmp(argv[8], "tls") == 0)) {
    std::fprintf(stderr, "usage: %s HOST PORT USER PASSWORD REMOTE LOCAL passive|active [tls FINGERPRINT]\n", argv[0]);
    return 2;
  }
  QCoreApplication app(argc, argv);
  const std::string remote = argv[5], local = argv[6];
  int status = 1;
  int64_t progressEvents = 0;

  TQpFtpClient client;
  client.SetServerAddress(argv[1]);
  client.SetWsPort(argv[2]);
  client.UserName = argv[3];
  client.Password = argv[4];
  client.PassiveMode = std::strcmp(argv[7], "passive") == 0;
  client.FileType = ftBinary;
  if (argc == 10) {
    client.Security = fcExplicitTls;
    client.CertificateFingerprint = argv[9];
  }

  client.OnFtpStatus = [&](TQpCustomFtpClient* c, TFtpStatusCode code, const char*) {
    switch (code) {
      case fsLoggedIn:
        if (!c->Retrieve(remote, local, rmReplace)) {
          std::fprintf(stderr, "retrieve refused\n");
          app.exit(1);
        }
        break;
      case fsProgress:
        ++progressEvents;
        break;
      case fsTransferDone:
        status = 0;
        std::printf("%lld bytes, %lld progress events\n", static_cast<long long>(c->BytesTransferred()),
                    static_cast<long long>(progressEvents));
        app.exit(0);
        break;
      case fsTimeout:
        std::fprintf(stderr, "time-out\n");
        app.exit(1);
        break;
      default:
        break;
    }
  };
  client.OnFtpError = [&](TQpCustomFtpClient*, int32_t code, const char* text) {
    std::fprintf(stderr, "error %d %s\n", code, text ? text : "");
    app.exit(1);
  };
  client.OnWsError = [&](quodra::port::TQpBaseComponent*, int32_t code) {
    std::fprintf(stderr, "socket error %d\n", code);
    app.exit(1);
  };
  QTimer::singleShot(0, [&] {
    if (!client.Login()) app.exit(1);
  });
  app.exec();
  client.Logout();
  return status;
}
