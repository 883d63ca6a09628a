// A mode-S job in the window: the window keeps handling events while a file comes in, the
// byte counter moves, and Abort ends the job with the destination as it was.
#include <QTimer>
#include <filesystem>

#include "app/test_main_frm_fixture.h"
#include "support/sshd_server_fixture.h"

using namespace quodra::test;

namespace {

class SftpWindowRun : public TMainFrmTest {};

TEST_F(SftpWindowRun, AbortMidFileLeavesTheDestination) {
  TSshdServer server;
  TSshdServer::TOptions options;
  options.SlowBytesPerSecond = 1024 * 1024;
  ASSERT_TRUE(server.Start(options)) << server.Log();
  const std::string key = server.AddClientKey("id", "ed25519");
  TTempDir remote, local;
  WriteFile(remote.File("big.csv"), PatternBytes(16 * 1024 * 1024, 4));
  WriteFile(local.File("big.csv"), "kept");
  std::string path = WriteProfileFile(
      "s", {"[Options]", "FileTransferMode=S", "ServerName=127.0.0.1", "Port=" + std::to_string(server.Port()),
            "Login=" + TSshdServer::UserName(), "PrivateKeyFile=" + key, "HostKeyFingerprint=" + server.HostKeyFingerprint(),
            "DefaultFolder=" + remote.Path(), "SourceFile=*.csv", "DestinationFile=" + local.Path(), "Overwrite=N",
            "DeleteRemote=Y"});
  auto& f = Make();
  f.ProfilePath = path;
  f.LoadProfile();
  // Abort as soon as the counter shows bytes: the timer only fires if the window is live.
  std::string counterSeen;
  QTimer watch;
  watch.setInterval(50);
  QObject::connect(&watch, &QTimer::timeout, [&] {
    const std::string counter = f.ByteCounterText();
    if (counterSeen.empty() && counter.find(" bytes") != std::string::npos && counter.rfind("0 bytes", 0) != 0) {
      counterSeen = counter;
      f.ui->Abort1->click();
    }
  });
  watch.start();
  f.Connect();
  watch.stop();
  EXPECT_FALSE(counterSeen.empty());
  EXPECT_TRUE(Logged("Connect Using SFTP!"));
  EXPECT_FALSE(Logged("Transfer Completed OK"));
  EXPECT_FALSE(Logged("Delete Host File:"));
  EXPECT_TRUE(f.RunHasFailed());
  EXPECT_EQ(ReadFile(local.File("big.csv")), "kept");
  EXPECT_TRUE(FileExists(remote.File("big.csv")));
  EXPECT_FALSE(f.JobRunning());
}

}  // namespace
