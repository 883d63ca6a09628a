// The trivial-FTP job in the window, against tftpd-hpa on a loopback port, and the program
// itself running a hand-written TFTP profile unattended.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <unistd.h>

#include <QLabel>
#include <thread>
#include <QProcess>
#include <QProcessEnvironment>

#include "program_run.h"
#include "app/ftp_job.h"
#include "app/profile_file.h"
#include "dialogs/varn_opt_frm.h"
#include "app/tftp_job.h"
#include "support/ftp_server_fixture.h"
#include "support/tftp_server_fixture.h"
#include "test_main_frm_fixture.h"

using namespace quodra::test;

namespace {

// The names in a folder; a download leaves no temporary file beside its destination.
class TftpJob : public TMainFrmTest {
 protected:
  void SetUp() override {
    TMainFrmTest::SetUp();
    ASSERT_TRUE(Server.Start(Served.Path())) << "tftpd-hpa did not start";
    Make();
    Frm->show();  // a window the job closes is hidden again
  }

  // A TFTP profile in the controls: the served file `source` into `dest`.
  void SetProfile(const std::string& source, const std::string& dest, bool overwrite = false) {
    auto& opt = *Opt->ui;
    Frm->ui->ServerName1->setText("127.0.0.1");
    opt.TrivialFTPChkBox1->setChecked(true);
    opt.Port1->setText(QString::number(Server.Port()));
    opt.Binary1->setChecked(true);
    opt.TransferTimeOutSpinEdit1->setValue(2000);
    opt.SourceFileName1->setText(QString::fromStdString(source.empty() ? "" : Server.RemoteName(source)));
    opt.DestFileName1->setText(QString::fromStdString(dest));
    opt.Overwrite1->setChecked(overwrite);
    opt.AutoDisconnect1->setChecked(false);
  }

  // The log of the last run: from its "Port: [" on (the log is never cleared).
  std::vector<std::string> JobLog() const {
    auto lines = LogLines();
    for (size_t i = lines.size(); i-- > 0;)
      if (lines[i].rfind("Port: [", 0) == 0) return {lines.begin() + static_cast<long>(i), lines.end()};
    return {};
  }

  // The log is never cleared: a run's lines are those from its own "Port: [" on.
  bool InJobLog(const std::string& line) const {
    for (const auto& l : JobLog())
      if (l == line) return true;
    return false;
  }

  std::vector<std::string> Expected(const std::vector<std::string>& middle) const {
    std::vector<std::string> lines = {"Port: [" + std::to_string(Server.Port()) + "]", "Binary Mode: True",
                                      "Begin Transfer "};
    lines.insert(lines.end(), middle.begin(), middle.end());
    lines.push_back("Close Connection!");
    return lines;
  }

  TTempDir Served, Local;
  TTftpdServer Server;
};

}  // namespace

TEST_F(TftpJob, DownloadsIntoANewDestination) {
  const std::string bytes = PatternBytes(1300, 1);
  WriteFile(Served.File("in.bin"), bytes);
  SetProfile("in.bin", Local.File("out.bin"));
  Frm->RunTftp();
  EXPECT_EQ(JobLog(), Expected({}));
  EXPECT_TRUE(ReadFile(Local.File("out.bin")) == bytes);
  EXPECT_EQ(Frm->ByteCounterText(), "1300 bytes");
  EXPECT_FALSE(Frm->RunHasFailed());
  EXPECT_FALSE(Frm->TftpJob->TFTP1->Active());
  EXPECT_TRUE(Frm->isVisible());  // neither unattended nor auto-disconnect
  EXPECT_EQ(FolderNames(Local.Path()), std::set<std::string>{"out.bin"});
}

TEST_F(TftpJob, AppendsToAnExistingDestinationThroughTheTemporaryFile) {
  WriteFile(Served.File("in.bin"), "0123456789abcdefghij");
  WriteFile(Local.File("out.bin"), "ten bytes!");
  SetProfile("in.bin", Local.File("out.bin"));
  Frm->RunTftp();
  EXPECT_EQ(ReadFile(Local.File("out.bin")), "ten bytes!0123456789abcdefghij");
  EXPECT_EQ(FolderNames(Local.Path()), std::set<std::string>{"out.bin"});
  EXPECT_FALSE(Frm->RunHasFailed());
  EXPECT_EQ(JobLog().back(), "Close Connection!");
}

TEST_F(TftpJob, OverwriteReplacesTheDestination) {
  WriteFile(Served.File("in.bin"), "new");
  WriteFile(Local.File("out.bin"), std::string(100, 'o'));
  SetProfile("in.bin", Local.File("out.bin"), true);
  Frm->RunTftp();
  EXPECT_EQ(ReadFile(Local.File("out.bin")), "new");
  EXPECT_EQ(FolderNames(Local.Path()), std::set<std::string>{"out.bin"});
  EXPECT_EQ(JobLog(), Expected({}));
}

TEST_F(TftpJob, FailedAppendRemovesTheTemporaryFile) {
  WriteFile(Served.File("in.bin"), "payload");
  ::mkdir(Local.File("folder").c_str(), 0755);  // a destination that cannot be opened as a file
  SetProfile("in.bin", Local.File("folder"));
  Frm->RunTftp();
  EXPECT_TRUE(Logged("Error: Unable to append the temporary TFTP file .temp.tftp."));
  EXPECT_EQ(FolderNames(Local.Path()), std::set<std::string>{"folder"});
  EXPECT_TRUE(Frm->RunHasFailed());
}

// Whatever fails, the destination keeps its old bytes, no temporary file stays, and the log
// says why. A full disk is a file-size limit here.
TEST_F(TftpJob, FailuresLeaveTheOldDestinationWhole) {
  struct TCase {
    const char* Remote;
    bool Overwrite;
    rlim_t SizeLimit;  // 0: none
    const char* Reason;
  };
  const std::vector<TCase> cases = {
      {"absent.bin", true, 0, "Connect Failed: File not found"},
      {"absent.bin", false, 0, "Connect Failed: File not found"},
      {"big.bin", true, 100000, "Connect Failed: File too large"},
      {"big.bin", false, 100000, "Connect Failed: File too large"},
  };
  WriteFile(Served.File("big.bin"), PatternBytes(300000, 4));
  ::signal(SIGXFSZ, SIG_IGN);
  rlimit old{};
  ::getrlimit(RLIMIT_FSIZE, &old);
  for (const auto& c : cases) {
    WriteFile(Local.File("out.bin"), "old bytes");
    SetProfile(c.Remote, Local.File("out.bin"), c.Overwrite);
    if (c.SizeLimit) {
      rlimit lim{c.SizeLimit, old.rlim_max};
      ::setrlimit(RLIMIT_FSIZE, &lim);
    }
    Frm->RunTftp();
    ::setrlimit(RLIMIT_FSIZE, &old);
    EXPECT_EQ(ReadFile(Local.File("out.bin")), "old bytes") << c.Remote << c.Overwrite;
    EXPECT_EQ(FolderNames(Local.Path()), std::set<std::string>{"out.bin"}) << c.Remote << c.Overwrite;
    EXPECT_TRUE(InJobLog(c.Reason)) << c.Remote << c.Overwrite;
    EXPECT_TRUE(Frm->RunHasFailed());
    EXPECT_FALSE(Frm->TftpJob->TFTP1->Active());
  }
}

// Links at the names a temporary file once had are never followed.
TEST_F(TftpJob, LinksAtTemporaryNamesAreNotFollowed) {
  WriteFile(Served.File("in.bin"), "payload");
  WriteFile(Local.File("victim"), "victim");
  WriteFile(Local.File("out.bin"), "head:");
  for (const char* name : {"temp.tftp.$$$", ".temp.tftp.part", ".temp.tftp.000000.part"})
    ASSERT_EQ(::symlink(Local.File("victim").c_str(), Local.File(name).c_str()), 0);
  SetProfile("in.bin", Local.File("out.bin"));
  Frm->RunTftp();
  EXPECT_EQ(ReadFile(Local.File("out.bin")), "head:payload");
  EXPECT_EQ(ReadFile(Local.File("victim")), "victim");
  EXPECT_EQ(FolderNames(Local.Path()).size(), 5u);
}

TEST_F(TftpJob, MissingRemoteFileEndsWithConnectFailed) {
  WriteFile(Local.File("out.bin"), "old");
  SetProfile("absent.bin", Local.File("out.bin"), true);
  Frm->RunTftp();
  EXPECT_EQ(JobLog(), Expected({"Connect Failed: File not found"}));
  EXPECT_EQ(ReadFile(Local.File("out.bin")), "old");
  EXPECT_TRUE(Frm->RunHasFailed());
  EXPECT_FALSE(Frm->TftpJob->TFTP1->Active());
}

TEST_F(TftpJob, BlankSourceOrDestinationIsReportedWithoutDownload) {
  SetProfile("", Local.File("out.bin"));
  Opt->ui->SourceFileName1->setText("   ");
  Frm->RunTftp();
  EXPECT_EQ(JobLog(), Expected({"Error: Enter a valid source file name!"}));
  EXPECT_TRUE(Frm->RunHasFailed());

  SetProfile("in.bin", " ");
  Frm->RunTftp();
  EXPECT_EQ(JobLog(), Expected({"Error: Enter a valid destination file name!"}));
  EXPECT_FALSE(FileExists(Local.File("out.bin")));
}

TEST_F(TftpJob, PortTextsGiveTheirPorts) {
  SetProfile("in.bin", Local.File("out.bin"), true);  // the failed first run leaves out.bin
  Opt->ui->TransferTimeOutSpinEdit1->setValue(1000);
  Opt->ui->Port1->setText("  ");
  Frm->RunTftp();
  EXPECT_EQ(JobLog().front(), "Port: [69]");

  Opt->ui->Port1->setText("ftp");  // the FTP default of a hand-written profile
  Frm->RunTftp();
  EXPECT_EQ(JobLog().front(), "Port: [0]");
  EXPECT_TRUE(Logged("Connect Failed"));
}

TEST_F(TftpJob, AsciiModeAsksForNetascii) {
  WriteFile(Served.File("t.txt"), "a\nb\n");
  SetProfile("t.txt", Local.File("t.txt"));
  Opt->ui->Ascii1->setChecked(true);
  Frm->RunTftp();
  EXPECT_TRUE(Logged("Binary Mode: False"));
  EXPECT_EQ(ReadFile(Local.File("t.txt")), "a\nb\n");  // the wire's CR LF back to LF
}

TEST_F(TftpJob, ActiveClientIsResetFirst) {
  WriteFile(Served.File("in.bin"), "x");
  SetProfile("in.bin", Local.File("out.bin"));
  Frm->TftpJob->TFTP1->SetActive(true);
  Frm->RunTftp();
  auto lines = LogLines();
  auto reset = std::find(lines.begin(), lines.end(), "Reset active connection!");
  auto port = std::find(lines.begin(), lines.end(), "Port: [" + std::to_string(Server.Port()) + "]");
  EXPECT_TRUE(reset < port);
  EXPECT_EQ(ReadFile(Local.File("out.bin")), "x");
}

TEST_F(TftpJob, AutoDisconnectClosesTheWindow) {
  WriteFile(Served.File("in.bin"), "x");
  SetProfile("in.bin", Local.File("out.bin"));
  Opt->ui->AutoDisconnect1->setChecked(true);
  Frm->RunTftp();
  EXPECT_FALSE(Frm->isVisible());
  EXPECT_EQ(JobLog().back(), "Close Connection!");
}

TEST_F(TftpJob, OpenFtpSessionIsClosedFirst) {
  TPyFtpServer ftpServer;
  ASSERT_TRUE(ftpServer.Start(Served.Path()));
  // The window's FTP client, logged in without the FTP job listening (it would go on with a
  // transfer of its own).
  auto& ftp = Frm->FtpJob->Client();
  ftp.OnFtpStatus = nullptr;
  ftp.OnFtpError = nullptr;
  ftp.OnWsError = nullptr;
  ftp.SetServerAddress("127.0.0.1");
  ftp.SetWsPort(ftpServer.PortText());
  ftp.UserName = "tester";
  ftp.Password = "secret";
  ASSERT_TRUE(ftp.Login());
  ASSERT_TRUE(quodra::host::WaitUntil(
      [&] { return ftp.SessionState() == quodra::ftp::TFtpSessionState::Ready; }, quodra::host::NowMs() + 10000));

  ASSERT_TRUE(ftp.Open());
  WriteFile(Served.File("in.bin"), "tftp data");
  SetProfile("in.bin", Local.File("out.bin"));
  // Seen when the download starts: a session left open would go on inside the download.
  bool ftpOpenAtStart = true;
  auto jobHandler = Frm->TftpJob->TFTP1->OnWorkBegin;
  Frm->TftpJob->TFTP1->OnWorkBegin = [&](quodra::tftp::TDgComponent* s, quodra::tftp::TWorkMode m, int64_t c) {
    ftpOpenAtStart = ftp.Open();
    jobHandler(s, m, c);
  };
  Frm->RunTftp();
  EXPECT_FALSE(ftpOpenAtStart);
  EXPECT_FALSE(ftp.Open());
  EXPECT_EQ(ReadFile(Local.File("out.bin")), "tftp data");
}

// --- the program, unattended ---

namespace {

std::string TftpProfile(int port, const std::string& source, const std::string& dest, const char* overwrite) {
  return "[Options]\r\nServerName=127.0.0.1\r\nPort=" + std::to_string(port) + "\r\nFileTransferMode=P\r\nMode=B\r\n" +
         "TimeOut=1000\r\nSourceFile=" + source + "\r\nDestinationFile=" + dest + "\r\nOverwrite=" + overwrite + "\r\n";
}

class UnattendedTftpRun : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(Server.Start(Served.Path())); }
  TTempDir Served, Dir;
  TTftpdServer Server;
};

}  // namespace

TEST_F(UnattendedTftpRun, DownloadsLogsToStandardOutputAndExitsZero) {
  const std::string bytes = PatternBytes(70000, 3);
  WriteFile(Served.File("in.bin"), bytes);
  WriteFile(Dir.File("out.bin"), "head:");
  WriteFile(Dir.File("job.FTP"), TftpProfile(Server.Port(), Server.RemoteName("in.bin"), Dir.File("out.bin"), "N"));
  TProgramRun r = RunProgram(Dir, Dir.File("job.FTP"));
  ASSERT_TRUE(r.Finished);
  EXPECT_EQ(r.ExitCode, 0) << r.Output;
  const std::string got = ReadFile(Dir.File("out.bin"));
  EXPECT_EQ(got.size(), bytes.size() + 5) << r.Output;
  EXPECT_TRUE(got == "head:" + bytes);
  EXPECT_NE(r.Output.find("Connect Using TFTP\nPort: [" + std::to_string(Server.Port()) +
                          "]\nBinary Mode: True\nBegin Transfer \n"),
            std::string::npos)
      << r.Output;
  EXPECT_NE(r.Output.find("Close Connection!\n"), std::string::npos);
  EXPECT_EQ(r.Output.find("Connect Failed"), std::string::npos);
}

TEST_F(UnattendedTftpRun, AFailedDownloadExitsOne) {
  WriteFile(Dir.File("job.FTP"), TftpProfile(Server.Port(), Server.RemoteName("absent"), Dir.File("out.bin"), "Y"));
  TProgramRun r = RunProgram(Dir, Dir.File("job.FTP"));
  ASSERT_TRUE(r.Finished);
  EXPECT_EQ(r.ExitCode, 1) << r.Output;
  EXPECT_NE(r.Output.find("Connect Failed: File not found\nClose Connection!\n"), std::string::npos) << r.Output;
}

// Two append runs at once: each destination gets its own download, whole.
TEST_F(UnattendedTftpRun, TwoAppendRunsAtOnceKeepTheirDownloadsApart) {
  std::vector<std::string> bytes;
  TTempDir homes[2];
  TProgramRun results[2];
  std::vector<std::thread> runs;
  for (int i = 0; i < 2; ++i) {
    const std::string n = std::to_string(i);
    bytes.push_back(PatternBytes(400000 + i * 1000, 40 + i));
    WriteFile(Served.File("in" + n), bytes.back());
    WriteFile(Dir.File("out" + n), "head" + n);
    WriteFile(Dir.File("job" + n + ".FTP"),
              TftpProfile(Server.Port(), Server.RemoteName("in" + n), Dir.File("out" + n), "N"));
  }
  for (int i = 0; i < 2; ++i)
    runs.emplace_back([&, i] { results[i] = RunProgram(homes[i], Dir.File("job" + std::to_string(i) + ".FTP")); });
  for (auto& t : runs) t.join();
  for (int i = 0; i < 2; ++i) {
    ASSERT_TRUE(results[i].Finished);
    EXPECT_EQ(results[i].ExitCode, 0) << results[i].Output;
    EXPECT_TRUE(ReadFile(Dir.File("out" + std::to_string(i))) == "head" + std::to_string(i) + bytes[i]) << i;
  }
}

// The profile's BlockSize and WindowSize against a server that answers both, with the size
// announced; a profile without them asks as before (see the scripted request tests).
TEST_F(TftpJob, BlockAndWindowSizeFromTheProfileAgainstAtftpd) {
  TTftpdServer atftpd(TTftpdServer::kAtftpd);
  ASSERT_TRUE(atftpd.Start(Served.Path()));
  const std::string bytes = PatternBytes(3 * 1024 * 1024 + 11, 9);
  WriteFile(Served.File("big.bin"), bytes);
  for (const char* block : {"512", "1428", ""}) {
    SetProfile("big.bin", Local.File("out.bin"), true);
    Opt->ui->Port1->setText(QString::number(atftpd.Port()));
    Opt->ui->SourceFileName1->setText(QString::fromStdString(atftpd.RemoteName("big.bin")));
    Opt->BlockSize1->setText(block);
    Opt->WindowSize1->setText("16");
    Frm->RunTftp();
    EXPECT_FALSE(Frm->RunHasFailed()) << block;
    EXPECT_TRUE(ReadFile(Local.File("out.bin")) == bytes) << block;
    const std::string size = std::to_string(bytes.size());
    EXPECT_EQ(Frm->ByteCounterText(), size + " of " + size + " bytes") << block;
    EXPECT_TRUE(InJobLog("Size: " + size + " bytes")) << block;
    EXPECT_EQ(Frm->TftpJob->TFTP1->BufferSize, (*block ? std::atoi(block) : 512) + 4) << block;
  }
}

TEST(TftpProfileKeys, AbsentKeysStayAbsentAndSetOnesRoundTrip) {
  TTempDir dir;
  quodra::app::TProfile p;
  ASSERT_TRUE(quodra::app::WriteProfile(dir.File("a.FTP"), p));
  EXPECT_EQ(ReadFile(dir.File("a.FTP")).find("Size"), std::string::npos);
  p.BlockSize = "1428";
  p.WindowSize = "16";
  ASSERT_TRUE(quodra::app::WriteProfile(dir.File("a.FTP"), p));
  EXPECT_EQ(quodra::app::ReadProfile(dir.File("a.FTP")), p);
}
