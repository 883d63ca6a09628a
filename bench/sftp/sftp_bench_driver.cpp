// Fetches one file over SFTP with the program's session layer, for the benchmark:
//   quodra_sftp_bench_driver HOST PORT USER KEYFILE KNOWN_HOSTS CIPHERS REMOTE LOCAL
// Exit status 0 when the whole file arrived and was committed.
#include <QCoreApplication>
#include <cstdio>

#include "host/local_output_file.h"
#include "sftp/sftp_client.h"

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  if (argc != 9) {
    std::fprintf(stderr, "usage: %s HOST PORT USER KEYFILE KNOWN_HOSTS CIPHERS REMOTE LOCAL\n", argv[0]);
    return 2;
  }
  quodra::sftp::TSftpSettings s;
  s.Host = argv[1];
  s.Port = argv[2];
  s.User = argv[3];
  s.PrivateKeyFile = argv[4];
  s.KnownHostsFile = argv[5];
  s.Ciphers = argv[6];
  s.ConnectTimeoutMs = s.TransferTimeoutMs = 60000;
  quodra::sftp::TSftpClient client;
  auto r = client.OpenAndWait(s);
  if (!r.Ok()) {
    std::fprintf(stderr, "%s\n", r.Text.c_str());
    return 1;
  }
  quodra::host::TLocalOutputFile out;
  if (out.Open(argv[8], quodra::host::TLocalOutputFile::TMode::Replace) != 0) return 1;
  int64_t bytes = 0;
  r = client.FetchAndWait(argv[7], 0, out, bytes);
  if (!r.Ok()) {
    std::fprintf(stderr, "%s\n", r.Text.c_str());
    return 1;
  }
  if (out.Commit() != 0) return 1;
  client.Close();
  return 0;
}
