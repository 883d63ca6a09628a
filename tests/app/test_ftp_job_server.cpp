// The FTP job end to end against a real local FTP server.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QTimer>

#include "app/ftp_job.h"
#include "app/log_view.h"
#include "app_test_window.h"
#include "host/clock.h"
#include "host/event_wait.h"
#include "host/online_state.h"
#include "host/pending_durability.h"
#include "support/ftp_server_fixture.h"
#include "support/temp_dir.h"

using namespace quodra::test;

namespace {

class FtpJobServer : public ::testing::Test {
 protected:
  void SetUp() override {
    quodra::host::SetOnlineOverride(true);
    ::mkdir(Remote().c_str(), 0755);
    ::mkdir(Local().c_str(), 0755);
    WriteFile(Remote() + "a.csv", "alpha,1\r\n");
    WriteFile(Remote() + "B.CSV", PatternBytes(300000, 7));
    WriteFile(Remote() + "c.txt", "gamma\n");
    WriteFile(Remote() + "skip.TMP", "temporary");
    ASSERT_TRUE(Server.Start(Remote()));
  }
  void TearDown() override { quodra::host::SetOnlineOverride(std::nullopt); }

  std::string Remote() const { return Dir.File("remote/"); }
  std::string Local() const { return Dir.File("local/"); }

  // An FTP profile in the controls; the job closes the window at its end (Auto-disconnect).
  void SetProfile(TAppWindows& w, const std::string& sources, const std::string& dest, bool passive = true) {
    auto& opt = *w.Opt->ui;
    opt.FTPChkBox1->setChecked(true);
    opt.UseDialupCheckBox1->setChecked(false);
    opt.Port1->setText(QString::fromStdString(Server.PortText()));
    opt.PassiveBox1->setChecked(passive);
    opt.Binary1->setChecked(true);
    opt.SourceFileName1->setText(QString::fromStdString(sources));
    opt.DestFileName1->setText(QString::fromStdString(dest));
    opt.DefaultFolder1->setText("/");
    opt.Overwrite1->setChecked(false);
    opt.DeleteRemote1->setChecked(false);
    opt.AutoDisconnect1->setChecked(true);
    opt.TransferTimeOutSpinEdit1->setValue(1000);
    opt.ConnectTimeOutSpinEdit1->setValue(300);
    w.Main->ui->ServerName1->setText("127.0.0.1");
    w.Main->ui->Login1->setText("tester");
    w.Main->ui->Password1->setText("secret");
  }

  // Runs Connect and handles events until the job has closed the window and logged out.
  bool RunJob(TAppWindows& w) {
    w.Main->Connect();
    bool ended = quodra::host::WaitUntil(
        [&] { return w.Main->Closing && !w.Main->FtpJob->Client().Connected(); },
        quodra::host::NowMs() + 60000);
    // The session's last status events are still queued when the connection is gone.
    quodra::host::WaitUntil([&] { return w.Logged("Connection Port Closed"); }, quodra::host::NowMs() + 3000);
    return ended;
  }

  TTempDir Dir;
  TPyFtpServer Server;
};

}  // namespace

TEST_F(FtpJobServer, SingleNameIntoAFolderLogsTheWholeChain) {
  TAppWindows w;
  SetProfile(w, "a.csv", Local());
  ASSERT_TRUE(RunJob(w)) << Server.Log();
  EXPECT_EQ(ReadFile(Local() + "a.csv"), "alpha,1\r\n");
  std::vector<std::string> chain = {"Connect Using FTP!",
                                    "Connecting to 127.0.0.1",
                                    "WS Port: [" + Server.PortText() + "]",
                                    "Binary Mode: True",
                                    "Begin Login ",
                                    "Unknown Result #1",
                                    "Login",
                                    "Change Directory to /",
                                    "Complete",
                                    "Get File",
                                    "Source File:a.csv to Dest File:" + Local() + "a.csv",
                                    "Retrieve and Append",
                                    "Transfer Completed OK"};
  int at = 0;
  for (const auto& line : chain) {
    int found = w.IndexOf(line, at);
    ASSERT_GE(found, 0) << "missing in order: " << line;
    at = found + 1;
  }
  EXPECT_TRUE(w.Logged("Transferred a.csv to " + Local() + "a.csv 9 bytes [Done]"));
  EXPECT_FALSE(w.Main->RunHasFailed());
  // The listing was shown between its markers.
  EXPECT_TRUE(w.Logged("Logout"));
}

TEST_F(FtpJobServer, MaskFetchesEveryMatchInEitherCaseActiveMode) {
  TAppWindows w;
  SetProfile(w, "*.CSV", Local(), /*passive=*/false);
  ASSERT_TRUE(RunJob(w)) << Server.Log();
  EXPECT_EQ(ReadFile(Local() + "a.csv"), "alpha,1\r\n");
  EXPECT_EQ(ReadFile(Local() + "B.CSV"), PatternBytes(300000, 7));
  EXPECT_FALSE(FileExists(Local() + "c.txt"));
  EXPECT_TRUE(w.Logged("Source File:*.CSV mask finished!"));
  EXPECT_FALSE(w.Main->RunHasFailed());
}

TEST_F(FtpJobServer, ListAppendedIntoOneFileThenOverwrite) {
  TAppWindows w;
  SetProfile(w, "a.csv;c.txt;a.csv", Local() + "all.txt");
  ASSERT_TRUE(RunJob(w)) << Server.Log();
  EXPECT_EQ(ReadFile(Local() + "all.txt"), "alpha,1\r\ngamma\nalpha,1\r\n");

  TAppWindows over;
  SetProfile(over, "c.txt", Local() + "all.txt");
  over.Opt->ui->Overwrite1->setChecked(true);
  const uint64_t deferred = quodra::host::TPendingDurability::Added;
  ASSERT_TRUE(RunJob(over));
  EXPECT_EQ(ReadFile(Local() + "all.txt"), "gamma\n");
  // The replacement was put in place at once and synced by the job's end, before it counted.
  EXPECT_EQ(quodra::host::TPendingDurability::Added - deferred, 1u);
  EXPECT_EQ(quodra::host::TPendingDurability::Pending(), 0u);
}

TEST_F(FtpJobServer, DeleteRemoteFilesAfterEachFetch) {
  // The nested walk relies on the job's pauses outlasting the server's replies, as whole
  // seconds do; pauses of a few milliseconds would make it a race with the server.
  ::setenv("QUODRA_PAUSE_MS", "60", 1);
  TAppWindows w;
  SetProfile(w, "c.txt;*.CSV", Local());
  w.Opt->ui->DeleteRemote1->setChecked(true);
  ASSERT_TRUE(RunJob(w)) << Server.Log();
  EXPECT_EQ(ReadFile(Local() + "B.CSV"), PatternBytes(300000, 7));
  EXPECT_EQ(ReadFile(Local() + "c.txt"), "gamma\n");
  std::string log;
  for (const auto& line : w.LogLines()) log += line + "\n";
  EXPECT_FALSE(FileExists(Remote() + "a.csv")) << log << Server.Log();
  EXPECT_FALSE(FileExists(Remote() + "B.CSV"));
  EXPECT_FALSE(FileExists(Remote() + "c.txt"));
  EXPECT_TRUE(FileExists(Remote() + "skip.TMP"));
  EXPECT_FALSE(w.Main->RunHasFailed()) << log;
  ::setenv("QUODRA_PAUSE_MS", "2", 1);
}

TEST_F(FtpJobServer, WrongPasswordAndClosedPortEndTheRunAsFailed) {
  TAppWindows w;
  SetProfile(w, "a.csv", Local());
  w.Main->ui->Password1->setText("wrong");
  ASSERT_TRUE(RunJob(w));
  EXPECT_TRUE(w.Main->RunHasFailed());
  bool logged530 = false;
  for (const auto& l : w.LogLines()) logged530 |= l.rfind("530 ", 0) == 0;
  EXPECT_TRUE(logged530);
  EXPECT_FALSE(FileExists(Local() + "a.csv"));

  TAppWindows refused;
  SetProfile(refused, "a.csv", Local());
  TRefusingTcpPort closed;
  refused.Opt->ui->Port1->setText(QString::number(closed.Port()));
  ASSERT_TRUE(RunJob(refused));
  EXPECT_TRUE(refused.Main->RunHasFailed());
  EXPECT_TRUE(refused.Logged("10061 WsError"));
}

// An interactive walk whose local file cannot be made: the general error handler shows why
// (a message box), the walk stops there, and the job is over (Connect is offered again).
TEST_F(FtpJobServer, InteractiveWalkStopsAtALocalFileThatCannotBeMade) {
  TAppWindows w;
  SetProfile(w, "a.csv;c.txt", Dir.File("no-such-folder/"));
  w.Opt->ui->AutoDisconnect1->setChecked(false);
  std::vector<std::string> boxes;
  w.Main->MessageBoxHook = [&](const std::string& text) { boxes.push_back(text); };
  w.Main->WithoutDisplay = false;  // as under a display: a message box, not the log
  w.Main->show();
  w.Main->Connect();
  ASSERT_TRUE(quodra::host::WaitUntil([&] { return !boxes.empty(); }, quodra::host::NowMs() + 30000)) << Server.Log();
  quodra::host::WaitUntil([&] { return !w.Main->JobRunning(); }, quodra::host::NowMs() + 10000);
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_NE(boxes[0].find("no-such-folder/a.csv"), std::string::npos) << boxes[0];
  EXPECT_FALSE(w.Main->JobRunning());
  EXPECT_TRUE(w.Main->ui->ConnectBtn1->isEnabled());
  EXPECT_TRUE(w.Main->RunHasFailed());
  // c.txt is never asked for: the walk stopped at a.csv.
  for (const auto& l : w.LogLines()) EXPECT_EQ(l.find("c.txt to"), std::string::npos) << l;
}

// Close during an interactive FTP job: the transfer is aborted, the session logged out, the
// window closed, and nothing of the job goes on after it.
TEST_F(FtpJobServer, CloseDuringTheTransferEndsTheJobAndTheWindow) {
  WriteFile(Remote() + "big.bin", PatternBytes(40 << 20, 3));
  TAppWindows w;
  SetProfile(w, "big.bin;c.txt", Local());
  w.Opt->ui->AutoDisconnect1->setChecked(false);
  w.Main->show();
  bool visibleAtClose = false, abortShown = false;
  QObject::connect(w.Main->ui->ErrorBox1, &TLogView::LineAdded, w.Main.get(), [&](const QString& line) {
    if (line != "Retrieving") return;
    QTimer::singleShot(0, w.Main.get(), [&] {
      visibleAtClose = w.Main->isVisible();
      abortShown = w.Main->ui->Abort1->isVisible();
      w.Main->ui->Close1->click();
    });
  });
  w.Main->Connect();
  ASSERT_TRUE(quodra::host::WaitUntil([&] { return !w.Main->isVisible(); }, quodra::host::NowMs() + 30000))
      << Server.Log();
  quodra::host::WaitUntil([&] { return w.Logged("Connection Port Closed"); }, quodra::host::NowMs() + 3000);
  EXPECT_TRUE(visibleAtClose);
  EXPECT_TRUE(abortShown);
  EXPECT_FALSE(w.Main->JobRunning());
  EXPECT_FALSE(w.Main->FtpJob->Client().Connected());
  EXPECT_FALSE(w.Logged("Transfer Completed OK"));
  for (const auto& l : w.LogLines()) EXPECT_EQ(l.find("c.txt to"), std::string::npos) << l;
}
