// The program itself, unattended, when the connection is cut in the middle of a file: over
// FTP the scripted server cuts it at 40%, over SFTP the test kills the real sshd's session
// processes as soon as the first bytes have reached the local side. Without retries the run
// fails saying why, the destination keeps its old bytes, and the bytes received are kept for
// resuming; with one retry the same run fetches the whole file. A scheduler's stop at the same
// moment ends the SFTP run the same way, retries or not.
#include <gtest/gtest.h>
#include <signal.h>

#include <QFileSystemWatcher>
#include <QProcess>
#include <filesystem>

#include "host/clock.h"
#include "host/event_wait.h"
#include "support/ftp_server_fixture.h"
#include "support/sshd_server_fixture.h"
#include "support/temp_dir.h"

using namespace quodra::test;

namespace {

// The hidden files of a download in `folder` ("" when there is none), and its size.
std::string PartOf(const std::string& folder, int64_t* size = nullptr) {
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(folder, ec)) {
    const std::string name = e.path().filename();
    if (name.size() > 12 && name.compare(name.size() - 12, 12, ".quodra-part") == 0) {
      if (size) *size = static_cast<int64_t>(e.file_size(ec));
      return e.path();
    }
  }
  return {};
}

TEST(UnattendedCutRun, ACutMidFileFailsKeepsTheOldFileAndResumesOnRetry) {
  const std::string file = PatternBytes(600000, 5), old = "old content\n";
  TSshdServer sshd;
  TSshdServer::TOptions slow;
  slow.SlowBytesPerSecond = 200000;  // the file takes seconds: the cut comes mid-file
  ASSERT_TRUE(sshd.Start(slow)) << sshd.Log();
  const std::string key = sshd.AddClientKey("id", "ed25519");
  const struct {
    const char* Sentence;
    bool Sftp;
    int Retries;
    int Exit;
    std::string Why;       // a part of the log
    bool Stopped = false;  // SIGTERM to the program instead of the cut: no retry then
  } rows[] = {
      {"FTP, no retry", false, 0, 1, "\nConnection lost during the transfer of b.bin after "},
      {"FTP, one retry", false, 1, 0, "\nRetry 1 of 1 in 0 s: the server closed the connection\n"},
      {"SFTP, no retry", true, 0, 1, "/b.bin: connection lost ("},
      {"SFTP, one retry", true, 1, 0, "\nRetry 1 of 1 in 0 s: Read "},
      {"SFTP, stopped by the scheduler", true, 1, 1, "\nStopped by signal SIGTERM\n", true},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.Sentence);
    TTempDir dir, remote;
    std::filesystem::create_directory(dir.File("in"));
    WriteFile(remote.File("b.bin"), file);
    WriteFile(dir.File("in/b.bin"), old);
    std::string profile = "[Options]\r\nServerName=127.0.0.1\r\nSourceFile=b.bin\r\nDestinationFile=" +
                          dir.File("in/") + "\r\nDefaultFolder=" + (row.Sftp ? remote.Path() : "/") +
                          "\r\nOverwrite=Y\r\nDeleteRemote=N\r\nMode=B\r\nRetries=" + std::to_string(row.Retries) +
                          "\r\nRetryDelay=0\r\n";
    TScriptedFtpServer ftp;
    if (row.Sftp) {
      profile += "FileTransferMode=S\r\nPort=" + std::to_string(sshd.Port()) + "\r\nLogin=" + TSshdServer::UserName() +
                 "\r\nPrivateKeyFile=" + key + "\r\nHostKeyFingerprint=" + sshd.HostKeyFingerprint() +
                 "\r\nTimeOut=400\r\nConnectTimeOut=400\r\n";
    } else {
      ASSERT_TRUE(ftp.Start({"sessions 2", "fault RETR b.bin cutat 40", "serve " + remote.Path()}));
      profile += "FileTransferMode=F\r\nPort=" + ftp.PortText() +
                 "\r\nLogin=tester\r\nPassword=secret\r\nPassive=Y\r\nTimeOut=400\r\nConnectTimeOut=400\r\n";
    }
    WriteFile(dir.File("job.FTP"), profile);

    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char* v : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) env.remove(v);
    env.insert("XDG_CONFIG_HOME", QString::fromStdString(dir.File("config")));
    env.insert("XDG_RUNTIME_DIR", QString::fromStdString(dir.Path()));
    env.insert("QUODRA_PAUSE_MS", "2");
    env.insert("QUODRA_ONLINE", "1");
    env.insert("HOME", QString::fromStdString(dir.Path()));
    p.setProcessEnvironment(env);
    // Every change in the destination folder, and every write to a file in it, wakes the
    // wait below.
    QFileSystemWatcher watcher({QString::fromStdString(dir.File("in"))});
    QObject::connect(&watcher, &QFileSystemWatcher::directoryChanged, [&] {
      if (std::string part = PartOf(dir.File("in")); !part.empty()) watcher.addPath(QString::fromStdString(part));
    });
    p.start(QUODRA_BIN_DIR "/quodra-ftp", {QString::fromStdString(dir.File("job.FTP"))});
    ASSERT_TRUE(p.waitForStarted());
    auto ended = [&] { return p.state() == QProcess::NotRunning; };
    if (row.Sftp) {
      auto bytesArrived = [&] {
        int64_t size = 0;
        return !PartOf(dir.File("in"), &size).empty() && size > 0;
      };
      ASSERT_TRUE(quodra::host::WaitUntil([&] { return bytesArrived() || ended(); }, quodra::host::NowMs() + 60000));
      ASSERT_FALSE(ended()) << p.readAllStandardOutput().toStdString();
      if (row.Stopped) {
        ::kill(static_cast<pid_t>(p.processId()), SIGTERM);
      } else {
        for (pid_t pid : sshd.SessionProcesses()) ::kill(pid, SIGKILL);
      }
    }
    ASSERT_TRUE(quodra::host::WaitUntil(ended, quodra::host::NowMs() + 120000));
    const std::string out = p.readAllStandardOutput().toStdString();
    if (std::getenv("SHOW_OUTPUT")) std::printf("%s\n", out.c_str());
    EXPECT_EQ(p.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(p.exitCode(), row.Exit) << out;
    if (!row.Why.empty()) { EXPECT_NE(out.find(row.Why), std::string::npos) << out; }
    int64_t kept = 0;
    const std::string part = PartOf(dir.File("in"), &kept);
    if (row.Exit != 0) {
      EXPECT_TRUE(ReadFile(dir.File("in/b.bin")) == old) << out;  // byte for byte
      EXPECT_EQ(out.find("Transfer Completed OK"), std::string::npos) << out;
      ASSERT_FALSE(part.empty()) << out;
      EXPECT_TRUE(kept > 0 && kept < static_cast<int64_t>(file.size())) << kept;
      EXPECT_TRUE(ReadFile(part) == file.substr(0, static_cast<size_t>(kept)));  // what arrived, as it was sent
      // The log says what was kept, over either protocol.
      EXPECT_NE(out.find("Partial download of " + dir.File("in/b.bin") + " kept: " + std::to_string(kept) +
                         " bytes, resumable\n"),
                std::string::npos)
          << out;
    } else {
      EXPECT_TRUE(ReadFile(dir.File("in/b.bin")) == file) << out;
      EXPECT_TRUE(part.empty()) << part;
    }
    if (!row.Sftp) {
      // The retry continued from the bytes kept.
      ftp.Stop();
      std::vector<std::string> seen = ftp.Received();
      const bool rest =
          std::any_of(seen.begin(), seen.end(), [](const std::string& l) { return l.rfind("REST ", 0) == 0; });
      EXPECT_EQ(rest, row.Retries > 0);
    }
  }
}

}  // namespace
