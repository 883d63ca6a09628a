// Browsing the SFTP session an interactive run leaves open (Auto-disconnect off), through the
// window as a person uses it: clicks on the directory list, Abort, Close, a new Connect; and
// the server changing or going away under the idle session. One row per situation.
#include <signal.h>

#include <QMouseEvent>
#include <QPushButton>
#include <filesystem>

#include "app/sftp_job.h"
#include "app/test_main_frm_fixture.h"
#include "support/sshd_server_fixture.h"

using namespace quodra::test;

namespace {

class SftpBrowse : public TMainFrmTest {
 protected:
  std::vector<std::string> ListRows() const {
    std::vector<std::string> rows;
    for (int i = 0; i < Frm->ui->lbxCurrentDir->count(); ++i)
      rows.push_back(Frm->ui->lbxCurrentDir->item(i)->text().toStdString());
    return rows;
  }
  bool Listed(const std::string& row) const {
    for (const auto& r : ListRows())
      if (r == row) return true;
    return false;
  }
  bool LoggedSomewhere(const std::string& part) const {
    for (const auto& l : LogLines())
      if (l.find(part) != std::string::npos) return true;
    return false;
  }
  // A person's click on the row `text`: false when the list has no such row.
  bool ClickRow(const std::string& text) {
    auto* list = Frm->ui->lbxCurrentDir;
    const auto found = list->findItems(QString::fromStdString(text), Qt::MatchExactly);
    if (found.isEmpty()) return false;
    list->scrollToItem(found.front());
    QWidget* view = list->viewport();
    const QPoint at = list->visualItemRect(found.front()).center();
    QMouseEvent press(QEvent::MouseButtonPress, at, view->mapToGlobal(at), Qt::LeftButton, Qt::LeftButton, {});
    QMouseEvent release(QEvent::MouseButtonRelease, at, view->mapToGlobal(at), Qt::LeftButton, Qt::NoButton, {});
    QCoreApplication::sendEvent(view, &press);
    QCoreApplication::sendEvent(view, &release);
    return true;
  }
  // Until the click's own line (logged at `lines`) has an answer after it.
  bool AwaitAnswer(size_t lines) {
    return quodra::host::WaitUntil([&] { return LogLines().size() > lines + 1; }, quodra::host::NowMs() + 20000);
  }
};

struct TRow {
  const char* Sentence;
  std::string StartIn;  // below the remote folder; "" the folder itself
  // Steps: "click:ROW", "up-to-root" (".." until "/" and once more), "rmdir:NAME", "kill"
  // (the server and its sessions), "kill-sftp" (only the SFTP program), "freeze" (the
  // sessions stop answering), "await-keepalives" (until the server's idle questions were
  // answered twice), "abort", "close", "connect".
  std::vector<std::string> Steps;
  std::vector<std::string> Logged;  // parts of log lines ("=": whole lines); "@" the remote folder
  std::vector<std::string> Rows;    // rows the list shows at the end
  std::vector<std::string> NoRows;  // and does not
  bool OpenAfter;                   // the session is still open at the end
  bool SeparateSftpServer = false;  // sftp-server as a process of its own (it can end alone)
  int TimeOutTicks = 1000;          // the transfer time-out, in ticks of 55 ms
  std::vector<std::string> ServerConfig = {};  // sshd_config lines of the row's own
};

TEST_F(SftpBrowse, ClicksAbortCloseAndALostServer) {
  const std::vector<TRow> rows = {
      {"a click on a folder changes into it and lists it, files stay files", "", {"click:sub/"},
       {"Change Directory to sub", "Current Directory: @/sub"}, {"..", "inner.txt", "deeper/"}, {"a.csv", "sub/"}, true},
      {"a click on a file changes nothing", "", {"click:a.csv"}, {}, {"..", "a.csv", "sub/"}, {}, true},
      {"\"..\" goes up, and up from / stays at /", "sub", {"click:..", "up-to-root"},
       {"=Current Directory: @", "=Current Directory: /"}, {"..", "usr/"}, {"inner.txt"}, true},
      {"a folder that vanished meanwhile is reported, the session goes on", "",
       {"rmdir:sub", "click:sub/", "click:other/"},
       {"Change Directory to sub failed: Folder ", "no such file", "Current Directory: @/other"}, {"..", "o.txt"}, {}, true},
      {"the server gone while idle: the next click says so at once and the session is over", "",
       {"kill", "click:sub/"}, {"Change Directory to sub failed: ", "connection lost", "Connection Port Closed"}, {},
       {"sub/", "a.csv"}, false},
      {"the server's SFTP program gone while the connection stays: the session is over, not a refusal", "",
       {"kill-sftp", "click:sub/"}, {"Change Directory to sub failed: ", "connection lost", "Connection Port Closed"},
       {}, {"sub/"}, false, true},
      {"a server that stopped answering while idle: the click ends in the time-out, the window stays live", "",
       {"freeze", "click:sub/"}, {"Change Directory to sub failed: ", "time-out", "Connection Port Closed"}, {},
       {"sub/"}, false, false, 20},
      {"a server that drops clients that stay silent: the idle session answers it and stays usable", "",
       {"await-keepalives", "click:sub/"}, {"Current Directory: @/sub"}, {"..", "inner.txt"}, {}, true, false, 1000,
       {"ClientAliveInterval 1", "ClientAliveCountMax 1", "LogLevel DEBUG"}},
      {"Abort while idle logs out and clears the list", "", {"abort"}, {"Logout"}, {}, {"sub/"}, false},
      {"closing the window logs out", "", {"close"}, {"Logout"}, {}, {}, false},
      {"a new Connect logs the old session out first", "sub", {"click:deeper/", "connect"},
       {"Reset/Logout", "Logout", "Connect Using SFTP!"}, {"..", "inner.txt"}, {"empty.txt"}, true},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.Sentence);
    TSshdServer server;
    TSshdServer::TOptions options;
    if (row.SeparateSftpServer) options.SftpSubsystem = "/usr/lib/openssh/sftp-server";
    options.ExtraConfig = row.ServerConfig;
    ASSERT_TRUE(server.Start(options)) << server.Log();
    const std::string key = server.AddClientKey("id", "ed25519");
    TTempDir remote, local;
    WriteFile(remote.File("a.csv"), "a");
    std::filesystem::create_directories(remote.File("sub/deeper"));
    std::filesystem::create_directory(remote.File("other"));
    WriteFile(remote.File("sub/inner.txt"), "i");
    WriteFile(remote.File("sub/deeper/empty.txt"), "");
    WriteFile(remote.File("other/o.txt"), "o");
    const std::string folder = std::filesystem::canonical(remote.Path()).string();  // as the server names it
    std::string path = WriteProfileFile(
        "b", {"[Options]", "FileTransferMode=S", "ServerName=127.0.0.1", "Port=" + std::to_string(server.Port()),
              "Login=" + TSshdServer::UserName(), "PrivateKeyFile=" + key, "HostKeyFingerprint=" + server.HostKeyFingerprint(),
              "DefaultFolder=" + folder + "/" + row.StartIn, "SourceFile=*.csv", "DestinationFile=" + local.Path(),
              "Overwrite=Y", "DeleteRemote=N", "AutoDisconnect=N", "TimeOut=1000", "ConnectTimeOut=400"});
    auto& f = Make();
    f.ProfilePath = path;
    f.LoadProfile();
    // Below what the dialog offers (55 s), so that the row need not wait that long.
    f.VarnOptFrm->ui->TransferTimeOutSpinEdit1->setMinimum(1);
    f.VarnOptFrm->ui->TransferTimeOutSpinEdit1->setValue(row.TimeOutTicks);
    f.ui->TermBtn1->click();
    f.show();
    f.Connect();
    ASSERT_TRUE(f.SftpJob->SessionOpen()) << ::testing::PrintToString(LogLines());
    EXPECT_FALSE(f.JobRunning());                // Connect and Properties are offered again
    EXPECT_FALSE(f.ui->Abort1->isHidden());      // and Abort ends the session
    EXPECT_TRUE(Listed(".."));
    std::vector<pid_t> frozen;  // stopped session processes, ended with the row
    for (const std::string& step : row.Steps) {
      const size_t before = LogLines().size();
      if (step.rfind("click:", 0) == 0) {
        ASSERT_TRUE(ClickRow(step.substr(6))) << step << ::testing::PrintToString(ListRows());
        if (LogLines().size() > before) {
          EXPECT_TRUE(AwaitAnswer(before)) << step;
        }
      } else if (step == "up-to-root") {
        for (int i = 0; i < 64 && LogLines().back() != "Current Directory: /"; ++i) {
          const size_t n = LogLines().size();
          ASSERT_TRUE(ClickRow(".."));
          ASSERT_TRUE(AwaitAnswer(n));
        }
        const size_t n = LogLines().size();
        ASSERT_TRUE(ClickRow(".."));  // once more at the top: still the top
        ASSERT_TRUE(AwaitAnswer(n));
        EXPECT_EQ(LogLines().back(), "Current Directory: /");
      } else if (step.rfind("rmdir:", 0) == 0) {
        std::filesystem::remove_all(remote.File(step.substr(6)));
      } else if (step == "kill") {
        const auto sessions = server.SessionProcesses();
        server.Stop();
        for (pid_t p : sessions) ::kill(p, SIGKILL);
      } else if (step == "await-keepalives") {
        // Two questions answered: the first left unanswered would have ended the session at the second.
        auto answered = [&] {
          const std::string log = server.Log();
          size_t n = 0;
          for (size_t at = log.find("for keepalive"); at != std::string::npos; at = log.find("for keepalive", at + 1)) ++n;
          return n >= 2 || log.find("not responding") != std::string::npos;
        };
        ASSERT_TRUE(quodra::host::WaitUntil(answered, quodra::host::NowMs() + 20000)) << server.Log();
        EXPECT_EQ(server.Log().find("not responding"), std::string::npos) << server.Log();
      } else if (step == "freeze") {
        frozen = server.SessionProcesses();
        for (pid_t p : frozen) ::kill(p, SIGSTOP);
      } else if (step == "kill-sftp") {
        for (pid_t p : server.SessionProcesses())
          if (ReadFile("/proc/" + std::to_string(p) + "/comm").rfind("sftp-server", 0) == 0) ::kill(p, SIGKILL);
      } else if (step == "abort") {
        f.ui->Abort1->click();
      } else if (step == "close") {
        f.ui->Close1->click();
        EXPECT_TRUE(f.Closing);
      } else if (step == "connect") {
        f.Connect();
      }
    }
    for (pid_t p : frozen) ::kill(p, SIGKILL);
    const std::vector<std::string> log = LogLines();
    for (std::string part : row.Logged) {
      if (auto at = part.find('@'); at != std::string::npos) part.replace(at, 1, folder);
      const bool whole = part.front() == '=';
      const bool found = whole ? std::find(log.begin(), log.end(), part.substr(1)) != log.end() : LoggedSomewhere(part);
      EXPECT_TRUE(found) << part << "\n" << ::testing::PrintToString(log);
    }
    for (const auto& r : row.Rows) EXPECT_TRUE(Listed(r)) << r << ::testing::PrintToString(ListRows());
    for (const auto& r : row.NoRows) EXPECT_FALSE(Listed(r)) << r << ::testing::PrintToString(ListRows());
    EXPECT_EQ(f.SftpJob->SessionOpen(), row.OpenAfter);
    EXPECT_EQ(f.ui->Abort1->isHidden(), !row.OpenAfter);
    EXPECT_FALSE(f.JobRunning());
  }
}

}  // namespace
