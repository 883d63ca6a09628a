// The program itself running an FTP profile unattended against a local server: it prints
// its log, ends by itself, and its exit status tells whether every named file arrived.
#include <gtest/gtest.h>
#include <sys/stat.h>

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

  TProgramRun refused = RunProgram(Dir, Profile("Orders.CSV", "secret", FreeTcpPort(), true));
  ASSERT_TRUE(refused.Finished);
  EXPECT_EQ(refused.ExitCode, 1) << refused.Output;
  EXPECT_NE(refused.Output.find("WsError\n"), std::string::npos) << refused.Output;
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
                  (deleteRemote ? "Y" : "N") + "\r\nPassive=" + (rows[i].Passive ? "Y" : "N") + "\r\nMode=B\r\n");
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char* v : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "QUODRA_PAUSE_MS"}) env.remove(v);
    env.insert("XDG_CONFIG_HOME", QString::fromStdString(r.Dir->File("config")));
    env.insert("XDG_RUNTIME_DIR", QString::fromStdString(r.Dir->Path()));
    env.insert("QUODRA_ONLINE", "1");
    if (!rows[i].PauseMs.empty()) env.insert("QUODRA_PAUSE_MS", QString::fromStdString(rows[i].PauseMs));
    r.Process = std::make_unique<QProcess>();
    r.Process->setProcessEnvironment(env);
    r.Process->start(QUODRA_BIN_DIR "/quodra-ftp", QStringList{QString::fromStdString(r.Dir->File("job.FTP"))});
  }
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
  };
  const std::vector<TFault> faults = {
      {{"data cut mid-file", {"fault RETR b.txt cutdata"}, "a.txt;b.txt", "0"}, 1, {"a.txt"}, {"a.txt"}},
      {{"control cut after 150", {"fault RETR b.txt cutcontrol"}, "b.txt", "0"}, 1, {}, {},
       "Connection lost during the transfer of b.txt after 0 bytes"},
      {{"421 during a transfer", {"fault RETR b.txt reply 421 shutting down"}, "a.txt;b.txt", "0"}, 1, {"a.txt"}, {"a.txt"},
       "421 shutting down"},
      {{"421 at login", {"fault USER * reply 421 Too many users"}, "a.txt", "0"}, 1, {}, {}, "421 Too many users"},
      {{"closed at once", {"close"}, "a.txt", "0"}, 1, {}, {}},
      {{"RETR refused", {"fault RETR b.txt reply 550 refused"}, "*.txt", "0"}, 1, {"a.txt"}, {"a.txt"}},
      {{"NLST refused", {"fault NLST * reply 550 no files"}, "*.txt", "0"}, 1, {}, {}},
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
