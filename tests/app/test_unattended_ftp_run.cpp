// The program itself running an FTP profile unattended against a local server: it prints
// its log, ends by itself, and its exit status tells whether every named file arrived.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <fcntl.h>
#include <unistd.h>

#include <QProcess>
#include <algorithm>
#include <cstdlib>
#include <map>
#include <set>
#include <memory>
#include <vector>

#include "program_run.h"
#include "support/ftp_server_fixture.h"
#include "support/server_process.h"
#include "support/temp_dir.h"

using namespace quodra::test;

namespace {

class UnattendedFtpRun : public ::testing::Test {
 protected:
  void SetUp() override {
    ::mkdir(Dir.File("remote").c_str(), 0755);
    ::mkdir(Dir.File("local").c_str(), 0755);
    WriteFile(Dir.File("remote/Orders.CSV"), "1;2;3\r\n");
    WriteFile(Dir.File("remote/stock.csv"), PatternBytes(200000, 3));
    WriteFile(Dir.File("remote/notes.txt"), "notes");
    ASSERT_TRUE(Server.Start(Dir.File("remote")));
  }
  std::string Profile(const std::string& sources, const std::string& password, int port, bool passive) {
    std::string text = "[Options]\r\nServerName=127.0.0.1\r\nLogin=tester\r\nPassword=" + password +
                       "\r\nPort=" + std::to_string(port) + "\r\nSourceFile=" + sources +
                       "\r\nDestinationFile=" + Dir.File("local/") + "\r\nDefaultFolder=/\r\nOverwrite=Y\r\n" +
                       "DeleteRemote=N\r\nPassive=" + (passive ? "Y" : "N") + "\r\nMode=B\r\n";
    WriteFile(Dir.File("job.FTP"), text);
    return Dir.File("job.FTP");
  }
  TTempDir Dir;
  TPyFtpServer Server;
};

}  // namespace

TEST_F(UnattendedFtpRun, FetchesEveryMatchAndExitsZero) {
  for (bool passive : {true, false}) {
    TProgramRun r = RunProgram(Dir, Profile("*.CSV", "secret", Server.Port(), passive));
    ASSERT_TRUE(r.Finished);
    EXPECT_EQ(r.ExitCode, 0) << r.Output;
    EXPECT_EQ(ReadFile(Dir.File("local/Orders.CSV")), "1;2;3\r\n");
    EXPECT_EQ(ReadFile(Dir.File("local/stock.csv")), PatternBytes(200000, 3));
    EXPECT_FALSE(FileExists(Dir.File("local/notes.txt")));
    EXPECT_NE(r.Output.find("Source File:*.CSV mask finished!\n"), std::string::npos) << r.Output;
    EXPECT_NE(r.Output.find("Logout\n"), std::string::npos);
    EXPECT_NE(r.Output.find("Transferred Orders.CSV to " + Dir.File("local/Orders.CSV") + " "), std::string::npos);
  }
}

TEST_F(UnattendedFtpRun, FailuresEndTheRunWithStatusOne) {
  TProgramRun wrongPassword = RunProgram(Dir, Profile("Orders.CSV", "wrong", Server.Port(), true));
  ASSERT_TRUE(wrongPassword.Finished);
  EXPECT_EQ(wrongPassword.ExitCode, 1) << wrongPassword.Output;
  EXPECT_FALSE(FileExists(Dir.File("local/Orders.CSV")));

  TProgramRun missing = RunProgram(Dir, Profile("gone.txt;Orders.CSV", "secret", Server.Port(), true));
  ASSERT_TRUE(missing.Finished);
  EXPECT_EQ(missing.ExitCode, 1) << missing.Output;
  EXPECT_NE(missing.Output.find("Source File:gone.txt does not exist!\n"), std::string::npos);
  EXPECT_EQ(ReadFile(Dir.File("local/Orders.CSV")), "1;2;3\r\n");  // the rest is still fetched

  TRefusingTcpPort closed;
  TProgramRun refused = RunProgram(Dir, Profile("Orders.CSV", "secret", closed.Port(), true));
  ASSERT_TRUE(refused.Finished);
  EXPECT_EQ(refused.ExitCode, 1) << refused.Output;
  EXPECT_NE(refused.Output.find("WsError\n"), std::string::npos) << refused.Output;
}

// Names that are not regular files, on a real server: a mask passes over each with one line
// and fetches every file listed around them; a plain name that is a folder still fails.
TEST_F(UnattendedFtpRun, MasksPassOverFoldersAndLinksThatAreNoFiles) {
  ::mkdir(Dir.File("remote/sub.csv").c_str(), 0755);
  WriteFile(Dir.File("remote/sub.csv/inner.csv"), "inner");
  ASSERT_EQ(::symlink("sub.csv", Dir.File("remote/link.csv").c_str()), 0);
  ASSERT_EQ(::symlink("nowhere.csv", Dir.File("remote/dangling.csv").c_str()), 0);
  const struct {
    const char* Sources;
    bool Delete;
    int Exit;
    std::vector<std::string> Skipped;
  } rows[] = {
      {"*.CSV", true, 0, {"sub.csv", "link.csv", "dangling.csv"}},
      {"Orders.CSV;*.csv", false, 0, {"sub.csv", "link.csv", "dangling.csv"}},
      {"sub.csv;Orders.CSV", false, 1, {}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.Sources);
    WriteFile(Dir.File("remote/Orders.CSV"), "1;2;3\r\n");
    WriteFile(Dir.File("remote/stock.csv"), PatternBytes(200000, 3));
    ::unlink(Dir.File("local/Orders.CSV").c_str());
    ::unlink(Dir.File("local/stock.csv").c_str());
    std::string profile = ReadFile(Profile(row.Sources, "secret", Server.Port(), true));
    if (row.Delete) profile.replace(profile.find("DeleteRemote=N"), 14, "DeleteRemote=Y");
    WriteFile(Dir.File("job.FTP"), profile);
    TProgramRun r = RunProgram(Dir, Dir.File("job.FTP"));
    ASSERT_TRUE(r.Finished);
    EXPECT_EQ(r.ExitCode, row.Exit) << r.Output;
    for (const std::string& name : row.Skipped)
      EXPECT_NE(r.Output.find("\nSource File:" + name + " is not a regular file, skipped\n"), std::string::npos)
          << name << "\n" << r.Output;
    if (row.Exit == 0) {
      EXPECT_EQ(ReadFile(Dir.File("local/Orders.CSV")), "1;2;3\r\n");
      EXPECT_EQ(ReadFile(Dir.File("local/stock.csv")), PatternBytes(200000, 3));
      EXPECT_NE(r.Output.find("mask finished!\n"), std::string::npos) << r.Output;
    }
    EXPECT_EQ(FileExists(Dir.File("remote/stock.csv")), !row.Delete);
    EXPECT_TRUE(FileExists(Dir.File("remote/sub.csv/inner.csv")));  // nothing of a folder is touched
    EXPECT_FALSE(FileExists(Dir.File("local/sub.csv")));
    EXPECT_FALSE(FileExists(Dir.File("local/dangling.csv")));
  }
}

// --- slow and faulty servers ---------------------------------------------------------------
// Each row runs the program against its own scripted server ("serve" mode over a folder,
// with a reply delay and one fault); the rows run side by side, so the slowest row sets the
// test's length. The server's record shows what the program asked for.

namespace {

struct TRow {
  std::string Name;
  std::vector<std::string> Script;  // steps before "serve"
  std::string Sources;
  std::string PauseMs;  // "" keeps the program's default pauses
  bool Passive = true;
  std::string Keys = "";  // further profile lines ("Retries=2\r\n")
};

struct TRowRun {
  std::unique_ptr<TTempDir> Dir;
  std::unique_ptr<TScriptedFtpServer> Server;
  std::unique_ptr<QProcess> Process;
  bool Finished = false;
  std::string Output;
};

const std::string kFileA = "alpha\r\n";
const std::string kFileB = PatternBytes(150000, 7);
const std::string kFileC = PatternBytes(70000, 9);

void StartRow(TRowRun& r, const TRow& row);
void WaitRows(std::vector<TRowRun>& runs);

void RunRows(const std::vector<TRow>& rows, std::vector<TRowRun>& runs, bool deleteRemote) {
  runs.resize(rows.size());
  for (size_t i = 0; i < rows.size(); ++i) {
    TRowRun& r = runs[i];
    r.Dir = std::make_unique<TTempDir>();
    ::mkdir(r.Dir->File("remote").c_str(), 0755);
    ::mkdir(r.Dir->File("local").c_str(), 0755);
    WriteFile(r.Dir->File("remote/a.txt"), kFileA);
    WriteFile(r.Dir->File("remote/b.txt"), kFileB);
    WriteFile(r.Dir->File("remote/c.dat"), kFileC);
    std::vector<std::string> script = rows[i].Script;
    script.push_back("serve " + r.Dir->File("remote"));
    r.Server = std::make_unique<TScriptedFtpServer>();
    ASSERT_TRUE(r.Server->Start(script));
    WriteFile(r.Dir->File("job.FTP"),
              "[Options]\r\nServerName=127.0.0.1\r\nLogin=tester\r\nPassword=secret\r\nPort=" +
                  r.Server->PortText() + "\r\nSourceFile=" + rows[i].Sources + "\r\nDestinationFile=" +
                  r.Dir->File("local/") + "\r\nDefaultFolder=/\r\nOverwrite=Y\r\nDeleteRemote=" +
                  (deleteRemote ? "Y" : "N") + "\r\nPassive=" + (rows[i].Passive ? "Y" : "N") + "\r\nMode=B\r\n" +
                  rows[i].Keys);
    StartRow(r, rows[i]);
  }
  WaitRows(runs);
}

// Starts the program (again) on the row's profile.
void StartRow(TRowRun& r, const TRow& row) {
  {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char* v : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "QUODRA_PAUSE_MS"}) env.remove(v);
    env.insert("XDG_CONFIG_HOME", QString::fromStdString(r.Dir->File("config")));
    env.insert("XDG_RUNTIME_DIR", QString::fromStdString(r.Dir->Path()));
    env.insert("QUODRA_ONLINE", "1");
    if (!row.PauseMs.empty()) env.insert("QUODRA_PAUSE_MS", QString::fromStdString(row.PauseMs));
    r.Process = std::make_unique<QProcess>();
    r.Process->setProcessEnvironment(env);
    r.Process->start(QUODRA_BIN_DIR "/quodra-ftp", QStringList{QString::fromStdString(r.Dir->File("job.FTP"))});
  }
}

void WaitRows(std::vector<TRowRun>& runs) {
  for (TRowRun& r : runs) {
    // A process that has ended already counts: waitForFinished says false for it.
    r.Process->waitForFinished(280000);
    r.Finished = r.Process->state() == QProcess::NotRunning && r.Process->exitStatus() == QProcess::NormalExit;
    if (!r.Finished) {
      r.Process->kill();
      r.Process->waitForFinished();
    }
    r.Output = r.Process->readAllStandardOutput().toStdString();
  }
}

size_t Count(const std::vector<std::string>& lines, const std::string& line) {
  return static_cast<size_t>(std::count(lines.begin(), lines.end(), line));
}

}  // namespace

TEST(UnattendedFtpTiming, SlowServersFetchEachFileOnceAndDeleteExactlyThose) {
  std::vector<TRow> rows;
  for (int delay : {0, 500, 1500, 3000, 6000}) {
    for (const char* pause : {"", "0"}) {
      // Long delays with few files: the server's slowness, not the file count, is the point.
      std::string sources = delay <= 1500 ? "a.txt;b.txt;*.dat" : delay <= 3000 ? "a.txt;*.dat" : "*.dat";
      rows.push_back({"delay " + std::to_string(delay) + " pause " + (*pause ? pause : "default"),
                      {"delay " + std::to_string(delay)}, sources, pause, true});
    }
  }
  std::vector<TRowRun> runs;
  RunRows(rows, runs, true);
  for (size_t i = 0; i < rows.size(); ++i) {
    SCOPED_TRACE(rows[i].Name);
    TRowRun& r = runs[i];
    EXPECT_TRUE(r.Finished) << r.Output;
    if (!r.Finished) continue;
    EXPECT_EQ(r.Process->exitCode(), 0) << r.Output;
    std::vector<std::string> seen = r.Server->Received();
    std::vector<std::pair<std::string, std::string>> files = {{"c.dat", kFileC}};
    if (rows[i].Sources.find("a.txt") != std::string::npos) files.push_back({"a.txt", kFileA});
    if (rows[i].Sources.find("b.txt") != std::string::npos) files.push_back({"b.txt", kFileB});
    for (const auto& [name, bytes] : files) {
      EXPECT_EQ(ReadFile(r.Dir->File("local/" + name)), bytes) << name;
      EXPECT_EQ(Count(seen, "RETR " + name), 1u) << name << "\n" << r.Output;
      EXPECT_EQ(Count(seen, "DELE " + name), 1u) << name;
      EXPECT_FALSE(FileExists(r.Dir->File("remote/" + name))) << name;
    }
    EXPECT_EQ(Count(seen, "RETR a.txt") + Count(seen, "RETR b.txt") + Count(seen, "RETR c.dat"), files.size());
  }
}

TEST(UnattendedFtpFaults, EveryEndOfTheSessionEndsTheRunAndNothingUnconfirmedIsDeleted) {
  struct TFault {
    TRow Row;
    int Exit;
    std::vector<std::string> Fetched;   // local files that must hold the remote bytes
    std::vector<std::string> Deleted;   // remote files the program must have deleted (all others stay)
    std::string Logged = "";            // a line the log must hold ("" for none)
    size_t Sessions = 1;                // logins the server saw (retries log in again)
  };
  // A name listing that holds the folder's own entries, as some servers give them.
  TTempDir extra;
  WriteFile(extra.File("dots"), ".\n..\n");
  const std::string retry = "Retries=2\r\nRetryDelay=0\r\n";
  const std::vector<TFault> faults = {
      {{"data cut mid-file", {"fault RETR b.txt cutdata"}, "a.txt;b.txt", "0"}, 1, {"a.txt"}, {"a.txt"}},
      {{"control cut after 150", {"fault RETR b.txt cutcontrol"}, "b.txt", "0"}, 1, {}, {},
       "Connection lost during the transfer of b.txt after 0 bytes"},
      {{"421 during a transfer", {"fault RETR b.txt reply 421 shutting down"}, "a.txt;b.txt", "0"}, 1, {"a.txt"}, {"a.txt"},
       "421 shutting down"},
      {{"421 at login", {"fault USER * reply 421 Too many users"}, "a.txt", "0"}, 1, {}, {}, "421 Too many users"},
      {{"closed at once", {"close"}, "a.txt", "0"}, 1, {}, {}},
      {{"RETR refused", {"fault RETR b.txt reply 550 refused"}, "*.txt", "0"}, 1, {"a.txt"}, {"a.txt"}},
      {{"more bytes than announced", {"fault RETR b.txt long"}, "b.txt;a.txt", "0"}, 1, {"a.txt"}, {"a.txt"},
       "104 Transfer of b.txt brought 165000 bytes, not the 150000 announced: it changed while it was fetched, left on "
       "the server for the next run"},
      {{"a link that leads nowhere, its LIST refused with 450",
        {"symlink 0.txt nowhere.txt", "fault LIST 0.txt reply 450 0.txt: No such file or directory"}, "*.txt", "0"},
       0, {"a.txt", "b.txt"}, {"a.txt", "b.txt"}, "Source File:0.txt is not a regular file, skipped"},
      {{"a link that leads nowhere, its LIST answered with the server's complaint",
        {"symlink 0.txt nowhere.txt", "fault LIST 0.txt text 0.txt: No such file or directory\\r\\n"}, "*.txt", "0"},
       0, {"a.txt", "b.txt"}, {"a.txt", "b.txt"}, "Source File:0.txt is not a regular file, skipped"},
      {{"NLST refused", {"fault NLST * reply 550 Permission denied"}, "*.txt", "0"}, 1, {}, {}},
      {{"NLST of an empty folder answered 550", {"fault NLST * reply 550 No files found."}, "b.txt;*.txt", "0"}, 1, {},
       {}, "NLST answered 550 No files found.: taken for an empty folder"},
      {{"NLST of an empty folder answered 450", {"fault NLST * reply 450 No files found"}, "*.txt", "0"}, 0, {}, {},
       "Source File:*.txt mask finished!"},
      {{"NLST without a name refused", {"fault NLST * reply 500 Syntax error: NLST requires an argument."}, "*.txt", "0"},
       0, {"a.txt", "b.txt"}, {"a.txt", "b.txt"},
       "NLST without a name refused (500 Syntax error: NLST requires an argument.): listing \".\" instead"},
      {{"250 ends a listing", {"fault NLST * code250"}, "*.txt", "0"}, 0, {"a.txt", "b.txt"}, {"a.txt", "b.txt"}},
      {{"late 226 of a listing", {"fault NLST * late"}, "*.txt", "0"}, 0, {"a.txt", "b.txt"}, {"a.txt", "b.txt"}},
      {{"late 226 of a retrieve", {"fault RETR * late"}, "a.txt;b.txt", "0"}, 0, {"a.txt", "b.txt"}, {"a.txt", "b.txt"}},
      {{"CR-only listing", {"fault NLST * crlisting"}, "*.dat", "0"}, 0, {"c.dat"}, {"c.dat"}},
      {{"active mode", {}, "a.txt;c.dat", "0", false}, 0, {"a.txt", "c.dat"}, {"a.txt", "c.dat"}},
      {{"CWD answered 200", {"fault CWD * reply 200 ok"}, "a.txt", "0"}, 1, {}, {}},
      {{"CWD refused", {"fault CWD * reply 550 no such folder"}, "a.txt", "0"}, 1, {}, {}},
      {{"227 naming another host", {"fault PASV * foreign"}, "a.txt", "0"}, 0, {"a.txt"}, {"a.txt"},
       "Passive reply names 10.1.2.3, connecting to the server's 127.0.0.1 instead"},
      {{"data port taken by a third party", {"fault RETR b.txt steal"}, "b.txt", "0", false}, 0, {"b.txt"}, {"b.txt"},
       "Data connection from 127.0.0.2 refused: not the server"},
      {{"control characters in a reply", {"fault RETR a.txt reply 550 no\\x1b[2Jfile\\rX"}, "a.txt", "0"}, 1, {}, {},
       "550 no\\x1b[2Jfile\\rX"},  // the code once, then the reply's text as the server sent it
      {{"421 to a listing", {"fault NLST * reply 421 going down"}, "*.txt", "0"}, 1, {}, {}},
      {{". and .. in a name listing", {"listextra " + extra.File("dots")}, "*", "0"}, 0, {"a.txt", "b.txt", "c.dat"},
       {"a.txt", "b.txt", "c.dat"}},
      // The files' facts from the folder's MLSD listing, a help the run can do without.
      {{"MLSD not implemented", {"mlst"}, "*.txt", "0"}, 0, {"a.txt", "b.txt"}, {"a.txt", "b.txt"},
       "MLSD answered 502 not implemented: files' facts are asked one by one"},
      {{"MLSD's data connection refused", {"mlst", "mlsd", "fault MLSD * reply 425 no data connection"}, "*.txt", "0"},
       0, {"a.txt", "b.txt"}, {"a.txt", "b.txt"}, "MLSD failed (425 no data connection): files' facts are asked one by one"},
      {{"more bytes than MLSD listed", {"mlst", "mlsd", "fault RETR b.txt long"}, "b.txt;a.txt", "0"}, 0,
       {"a.txt", "b.txt"}, {"a.txt", "b.txt"}, "Source File:b.txt changed since the folder was listed: fetched again"},
      {{"421 to MLSD", {"mlst", "mlsd", "fault MLSD * reply 421 going down"}, "*.txt", "0"}, 1, {}, {}},
      {{"421 at login, retried", {"sessions 2", "fault USER * reply 421 Too many users"}, "a.txt", "0", true, retry},
       0, {"a.txt"}, {"a.txt"}, "Retry 1 of 2 in 0 s: 421 Too many users", 2},
      {{"530 is not retried", {"sessions 2", "fault PASS * reply 530 Login incorrect"}, "a.txt", "0", true, retry},
       1, {}, {}, "530 Login incorrect", 1},
      {{"data cut mid-file, retried", {"sessions 2", "fault RETR b.txt cutdata"}, "a.txt;b.txt", "0", true, retry},
       0, {"a.txt", "b.txt"}, {"a.txt", "b.txt"}, "", 2},
      {{"4xx to a transfer, retried", {"sessions 2", "fault RETR b.txt reply 450 busy"}, "*.txt", "0", true, retry},
       0, {"a.txt", "b.txt"}, {"a.txt", "b.txt"}, "Retry 1 of 2 in 0 s: 450 busy", 2},
      {{"retries used up", {"sessions 2", "fault RETR b.txt cutdata", "fault RETR b.txt cutdata",
                            "fault RETR b.txt cutdata"}, "a.txt;b.txt", "0", true, retry},
       1, {"a.txt"}, {"a.txt"}, "", 3},
  };
  std::vector<TRow> rows;
  for (const TFault& f : faults) rows.push_back(f.Row);
  std::vector<TRowRun> runs;
  RunRows(rows, runs, true);
  const std::map<std::string, std::string> bytes = {{"a.txt", kFileA}, {"b.txt", kFileB}, {"c.dat", kFileC}};
  for (size_t i = 0; i < faults.size(); ++i) {
    SCOPED_TRACE(faults[i].Row.Name);
    TRowRun& r = runs[i];
    EXPECT_TRUE(r.Finished) << r.Output;
    if (!r.Finished) continue;
    EXPECT_EQ(r.Process->exitCode(), faults[i].Exit) << r.Output;
    EXPECT_EQ(r.Output.find('\x1b'), std::string::npos);  // server text reaches the log escaped
    if (!faults[i].Logged.empty()) {
      EXPECT_NE(r.Output.find("\n" + faults[i].Logged + "\n"), std::string::npos) << r.Output;
    }
    std::vector<std::string> seen = r.Server->Received();
    EXPECT_EQ(Count(seen, "!session") + 1, faults[i].Sessions) << r.Output;
    EXPECT_EQ(r.Output.find("is not a safe local name"), std::string::npos) << r.Output;
    for (const auto& [name, content] : bytes) {
      bool fetched = std::count(faults[i].Fetched.begin(), faults[i].Fetched.end(), name) > 0;
      bool deleted = std::count(faults[i].Deleted.begin(), faults[i].Deleted.end(), name) > 0;
      if (fetched)
        EXPECT_EQ(ReadFile(r.Dir->File("local/" + name)), content) << name << "\n" << r.Output;
      else
        EXPECT_FALSE(FileExists(r.Dir->File("local/" + name))) << name << "\n" << r.Output;
      EXPECT_EQ(Count(seen, "DELE " + name), deleted ? 1u : 0u) << name;
      EXPECT_EQ(FileExists(r.Dir->File("remote/" + name)), !deleted) << name;
      if (!fetched) {
        EXPECT_EQ(r.Output.find("Transferred " + name), std::string::npos) << r.Output;
      }
    }
  }
}

// Fetches that must finish what they start: a cut transfer goes on from the bytes kept (in a
// retry of the same run or in the next run) when the remote file is unchanged, and starts
// over when it changed or the server cannot restart; a short or changing file is never
// deleted nor put in place. Each row runs the program once or twice against one server.
TEST(UnattendedFtpResume, CutTransfersContinueAndChangingFilesStay) {
  const std::string retry = "Retries=2\r\nRetryDelay=0\r\n";
  const std::string grown = kFileB + "more lines from the writer\r\n";
  const std::string changed = PatternBytes(160000, 8);
  struct TCase {
    TRow Row;
    int FirstExit;
    int SecondExit;           // -1: no second run
    bool ChangeBetween;       // the remote b.txt is rewritten between the runs
    bool Rest;                // the server saw one REST with a part of the file
    std::string Final;        // local b.txt at the end
    bool Deleted;             // remote b.txt deleted at the end
    std::string Logged;       // a line of the first run's log ("" for none)
    std::string SecondLogged = "";  // a line of the second run's log
  };
  const std::vector<TCase> cases = {
      {{"cut at 40%, retried", {"sessions 3", "fault RETR b.txt cutat 40"}, "b.txt", "0", true, retry},
       0, -1, false, true, kFileB, true, "Retry 1 of 2 in 0 s: the server closed the connection"},
      {{"cut, the next run resumes", {"sessions 3", "fault RETR b.txt cutat 40"}, "b.txt", "0"},
       1, 0, false, true, kFileB, true, ""},
      {{"cut, changed before the next run", {"sessions 3", "fault RETR b.txt cutat 40"}, "b.txt", "0"},
       1, 0, true, false, changed, true, ""},
      {{"cut, server without REST", {"sessions 3", "fault RETR b.txt cutat 40", "fault REST * reply 502 no"}, "b.txt", "0"},
       1, 0, false, true, kFileB, true, "", "Server refused REST: starting b.txt over"},
      {{"cut, the server takes REST but will not send from there",
        {"sessions 3", "fault RETR b.txt cutat 40", "fault RETR b.txt reply 451 Restart not permitted"}, "b.txt", "0"},
       1, 0, false, true, kFileB, true, "", "Server refused to resume b.txt (451 Restart not permitted): starting it over"},
      {{"short transfer with 226", {"sessions 3", "fault RETR b.txt short"}, "a.txt;b.txt", "0"},
       1, -1, false, false, "", false, "103 Transfer of b.txt incomplete: 135000 of 150000 bytes"},
      {{"appended to while fetched", {"sessions 3", "fault RETR b.txt grow"}, "*.txt", "0"},
       1, 0, false, false, grown, true,
       "Source File:b.txt changed while it was fetched (150000 bytes, now 150028), left on the server for the next run"},
  };
  std::vector<TRow> rows;
  for (const TCase& c : cases) rows.push_back(c.Row);
  std::vector<TRowRun> runs;
  RunRows(rows, runs, true);
  std::vector<std::string> firstOutput(cases.size());
  for (size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(cases[i].Row.Name);
    TRowRun& r = runs[i];
    ASSERT_TRUE(r.Finished) << r.Output;
    firstOutput[i] = r.Output;
    EXPECT_EQ(r.Process->exitCode(), cases[i].FirstExit) << r.Output;
    if (!cases[i].Logged.empty()) { EXPECT_NE(r.Output.find("\n" + cases[i].Logged + "\n"), std::string::npos) << r.Output; }
    if (cases[i].FirstExit != 0) {
      // Nothing of an incomplete or changing file is put in place, nor deleted.
      EXPECT_FALSE(FileExists(r.Dir->File("local/b.txt"))) << r.Output;
      EXPECT_TRUE(FileExists(r.Dir->File("remote/b.txt")));
      EXPECT_EQ(r.Output.find("Transferred b.txt"), std::string::npos) << r.Output;
    }
    if (cases[i].ChangeBetween) {
      WriteFile(r.Dir->File("remote/b.txt"), changed);
      struct stat st {};
      ::stat(r.Dir->File("remote/b.txt").c_str(), &st);
      struct timespec times[2] = {st.st_atim, st.st_mtim};
      times[1].tv_sec += 10;
      ::utimensat(AT_FDCWD, r.Dir->File("remote/b.txt").c_str(), times, 0);
    }
    if (cases[i].SecondExit >= 0) StartRow(r, rows[i]);
  }
  WaitRows(runs);
  for (size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(cases[i].Row.Name);
    TRowRun& r = runs[i];
    ASSERT_TRUE(r.Finished) << r.Output;
    if (cases[i].SecondExit >= 0) { EXPECT_EQ(r.Process->exitCode(), cases[i].SecondExit) << r.Output; }
    std::vector<std::string> seen = r.Server->Received();
    if (cases[i].Final.empty()) {
      EXPECT_FALSE(FileExists(r.Dir->File("local/b.txt")));
    } else {
      EXPECT_TRUE(ReadFile(r.Dir->File("local/b.txt")) == cases[i].Final)  // byte for byte
          << ReadFile(r.Dir->File("local/b.txt")).size() << " bytes\n" << firstOutput[i] << r.Output;
      // The count the log gives is the file's, however the bytes came.
      const std::string& last = cases[i].SecondExit >= 0 ? r.Output : firstOutput[i];
      EXPECT_NE(last.find(" " + std::to_string(cases[i].Final.size()) + " bytes [Done]\n"), std::string::npos) << last;
    }
    EXPECT_EQ(Count(seen, "DELE b.txt"), cases[i].Deleted ? 1u : 0u);
    EXPECT_EQ(FileExists(r.Dir->File("remote/b.txt")), !cases[i].Deleted);
    size_t rests = 0;
    for (const std::string& line : seen)
      if (line.rfind("REST ", 0) == 0 && line != "REST 0") {  // REST 0: a restart given up
        const long long at = std::atoll(line.c_str() + 5);
        EXPECT_TRUE(at > 0 && at < static_cast<long long>(kFileB.size())) << line;
        ++rests;
      }
    EXPECT_EQ(rests, cases[i].Rest ? 1u : 0u);
    if (!cases[i].SecondLogged.empty()) {
      EXPECT_NE(r.Output.find("\n" + cases[i].SecondLogged + "\n"), std::string::npos) << r.Output;
    }
  }
}

// The walk is a loop: neither fetched files nor names skipped as unsafe deepen the stack. The
// program runs with a stack limit far below what one level per file or name would need,
// over a listing of files and unsafe names (a parent folder, an escape character) mixed.
// QUODRA_LONG_TESTS=1 (`make test-long`) runs it with 20,000 of each.
TEST(UnattendedFtpStack, ThousandsOfFilesAndUnsafeNamesOnASmallStack) {
  const bool longRun = std::getenv("QUODRA_LONG_TESTS") != nullptr;
  const int kFiles = longRun ? 20000 : 2000, kUnsafe = kFiles;
  TTempDir dir;
  ::mkdir(dir.File("remote").c_str(), 0755);
  ::mkdir(dir.File("local").c_str(), 0755);
  auto fileName = [](int i) { return "f" + std::to_string(100000 + i) + ".txt"; };
  for (int i = 0; i < kFiles; ++i) WriteFile(dir.File("remote/" + fileName(i)), fileName(i) + "\n");
  std::string unsafe;
  for (int i = 0; i < kUnsafe; ++i) unsafe += (i % 2 ? "u" + std::to_string(i) + "\x1b[2J" : "../u" + std::to_string(i)) + "\n";
  WriteFile(dir.File("unsafe"), unsafe);
  TScriptedFtpServer server;
  ASSERT_TRUE(server.Start({"listextra " + dir.File("unsafe"), "serve " + dir.File("remote")}));
  WriteFile(dir.File("job.FTP"), "[Options]\r\nServerName=127.0.0.1\r\nLogin=tester\r\nPassword=secret\r\nPort=" +
                                     server.PortText() + "\r\nSourceFile=*\r\nDestinationFile=" + dir.File("local/") +
                                     "\r\nDefaultFolder=/\r\nOverwrite=Y\r\nDeleteRemote=N\r\nPassive=Y\r\nMode=B\r\n");
  QProcess p;
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  for (const char* v : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) env.remove(v);
  env.insert("XDG_CONFIG_HOME", QString::fromStdString(dir.File("config")));
  env.insert("XDG_RUNTIME_DIR", QString::fromStdString(dir.Path()));
  env.insert("QUODRA_ONLINE", "1");
  env.insert("QUODRA_PAUSE_MS", "0");
  p.setProcessEnvironment(env);
  p.start("/bin/sh", {"-c", "ulimit -s 512 && exec \"$0\" \"$1\"", QUODRA_BIN_DIR "/quodra-ftp",
                      QString::fromStdString(dir.File("job.FTP"))});
  ASSERT_TRUE(p.waitForFinished(longRun ? 3000000 : 250000));
  std::string out = p.readAllStandardOutput().toStdString();
  ASSERT_EQ(p.exitStatus(), QProcess::NormalExit) << out.substr(out.size() > 2000 ? out.size() - 2000 : 0);
  EXPECT_EQ(p.exitCode(), 1);  // unsafe names are a failure of the run
  EXPECT_NE(out.find("Source File:../u0 is not a safe local name!\n"), std::string::npos);
  EXPECT_NE(out.find("Source File:u" + std::to_string(kUnsafe - 1) + "\\x1b[2J is not a safe local name!\n"),
            std::string::npos);
  EXPECT_EQ(out.find('\x1b'), std::string::npos);  // the server's control characters only escaped
  EXPECT_NE(out.find("Source File:* mask finished!\n"), std::string::npos);
  for (int i = 0; i < kFiles; i += kFiles / 50)
    EXPECT_EQ(ReadFile(dir.File("local/" + fileName(i))), fileName(i) + "\n") << fileName(i);
  std::vector<std::string> seen = server.Received();
  std::set<std::string> retrieved;
  size_t retrieves = 0;
  for (const std::string& line : seen)
    if (line.rfind("RETR ", 0) == 0) retrieves += 1, retrieved.insert(line);
  EXPECT_EQ(retrieves, static_cast<size_t>(kFiles));
  EXPECT_EQ(retrieved.size(), static_cast<size_t>(kFiles));
  // The log follows the work: each file's "Transferred" line, with its own size, before the
  // next file starts.
  std::string open;
  size_t transferred = 0;
  for (size_t at = 0, end; (end = out.find('\n', at)) != std::string::npos; at = end + 1) {
    std::string line = out.substr(at, end - at);
    if (line.rfind("Source File:", 0) == 0 && line.find(" to Dest File:") != std::string::npos) {
      EXPECT_EQ(open, "") << line;
      open = line.substr(12, line.find(" to Dest File:") - 12);
    } else if (line.rfind("Transferred ", 0) == 0) {
      EXPECT_EQ(line, "Transferred " + open + " to " + dir.File("local/" + open) + " " +
                          std::to_string(open.size() + 1) + " bytes [Done]");
      open.clear();
      ++transferred;
    }
  }
  EXPECT_EQ(transferred, static_cast<size_t>(kFiles));
}

// One run of a profile at a time: a run started while another process runs the same profile
// (a scheduler that does not wait for the last run) does not start, says why and exits 1;
// once that run is over, the next one runs.
TEST(UnattendedFtpProfileRun, ASecondRunOfTheSameProfileDoesNotStart) {
  TTempDir dir;
  ::mkdir(dir.File("remote").c_str(), 0755);
  ::mkdir(dir.File("local").c_str(), 0755);
  WriteFile(dir.File("remote/stock.csv"), PatternBytes(200000, 3));
  TScriptedFtpServer server;  // the first run's transfer stalls half-way
  ASSERT_TRUE(server.Start({"sessions 2", "fault RETR stock.csv stall", "serve " + dir.File("remote")}));
  WriteFile(dir.File("job.FTP"), "[Options]\r\nServerName=127.0.0.1\r\nLogin=tester\r\nPassword=secret\r\nPort=" +
                                     server.PortText() + "\r\nSourceFile=stock.csv\r\nDestinationFile=" +
                                     dir.File("local/") + "\r\nDefaultFolder=/\r\nOverwrite=Y\r\nDeleteRemote=N\r\n");
  QProcess first;
  StartProgram(first, dir, {QString::fromStdString(dir.File("job.FTP"))});
  ASSERT_TRUE(first.waitForStarted());
  std::string firstLog;
  while (firstLog.find("Retrieving\n") == std::string::npos && first.waitForReadyRead(30000))
    firstLog += first.readAllStandardOutput().toStdString();
  ASSERT_NE(firstLog.find("Retrieving\n"), std::string::npos) << firstLog;

  TProgramRun second = RunProgram(dir, dir.File("job.FTP"));
  ASSERT_TRUE(second.Finished);
  EXPECT_EQ(second.ExitCode, 1) << second.Output;
  EXPECT_NE(second.Output.find("Profile job is being run by another process: this run does not start\n"),
            std::string::npos)
      << second.Output;
  EXPECT_EQ(second.Output.find("Connecting to"), std::string::npos) << second.Output;

  ::kill(static_cast<pid_t>(first.processId()), SIGTERM);
  ASSERT_TRUE(first.waitForFinished(30000));
  TProgramRun third = RunProgram(dir, dir.File("job.FTP"));
  ASSERT_TRUE(third.Finished);
  EXPECT_EQ(third.ExitCode, 0) << third.Output;
  EXPECT_TRUE(ReadFile(dir.File("local/stock.csv")) == PatternBytes(200000, 3));
}
