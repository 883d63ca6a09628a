// The shared fetch walk over the FTP side, against a scripted server (serve mode over a
// folder, with one fault) and pyftpdlib: one row per class of fault a run must survive or
// report, each row a whole run with its status, the local files and what the server saw.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <map>

#include "jobs/fetch_walk.h"
#include "jobs/ftp_remote_side.h"
#include "support/ftp_server_fixture.h"
#include "support/server_process.h"
#include "support/temp_dir.h"

using namespace quodra::jobs;
using namespace quodra::test;

namespace {

const std::string kA = "alpha\r\n";
const std::string kB = PatternBytes(150000, 7);
const std::string kC = PatternBytes(70000, 9);

struct TWalkRun {
  bool Status = false;
  std::vector<std::string> Log;
  bool Logged(const std::string& line) const { return std::count(Log.begin(), Log.end(), line) > 0; }
  std::string Text() const {
    std::string t;
    for (const auto& l : Log) t += l + "\n";
    return t;
  }
};

TWalkRun Walk(const TJobProfile& profile) {
  TWalkRun run;
  TFtpRemoteSide side(profile);
  side.OnLog = [&](const std::string& line) { run.Log.push_back(line); };
  TWalkSink sink;
  sink.Log = [&](const std::string& line) { run.Log.push_back(line); };
  TFetchWalk walk(side, profile, sink);
  run.Status = walk.Run();
  return run;
}

TJobProfile ProfileFor(const std::string& port, const std::string& sources, const std::string& local) {
  TJobProfile p;
  p.ServerName = "127.0.0.1";
  p.Port = port;
  p.Login = "tester";
  p.Password = "secret";
  p.DefaultFolder = "/";
  p.SourceFile = sources;
  p.DestinationFile = local;
  p.Overwrite = true;
  p.DeleteRemote = true;
  p.RetryDelay = 0;
  return p;
}

size_t Count(const std::vector<std::string>& lines, const std::string& line) {
  return static_cast<size_t>(std::count(lines.begin(), lines.end(), line));
}

}  // namespace

TEST(FetchWalk, ScriptedFaultsEndInTheRightStatusWithNothingLostOrHalfWritten) {
  TTempDir extra;
  WriteFile(extra.File("dots"), ".\n..\n");
  const struct {
    std::string Name;
    std::vector<std::string> Script;
    std::string Sources;
    int Retries;
    bool Status;
    std::vector<std::string> Fetched;  // local files with the remote bytes; others absent
    std::vector<std::string> Deleted;  // remote files deleted; others stay
    std::string Logged;
    bool Rest = false;  // the server saw a REST with a part of b.txt
  } rows[] = {
      {"names, a mask and the listing's dots", {"listextra " + extra.File("dots")}, "a.txt;*.dat", 0, true,
       {"a.txt", "c.dat"}, {"a.txt", "c.dat"}, "Source File:*.dat mask finished!"},
      {"a missing name is reported, the rest fetched", {}, "gone.txt;b.txt", 0, false, {"b.txt"}, {"b.txt"},
       "Source File:gone.txt does not exist!"},
      {"421 at login, retried", {"sessions 2", "fault USER * reply 421 Too many users"}, "a.txt", 2, true,
       {"a.txt"}, {"a.txt"}, "Retry 1 of 2 in 0 s: 421 Too many users"},
      {"530 is not retried", {"sessions 2", "fault PASS * reply 530 Login incorrect"}, "a.txt", 2, false, {}, {},
       "530 Login incorrect"},
      {"cut at 40%, retried and resumed", {"sessions 2", "fault RETR b.txt cutat 40"}, "a.txt;b.txt", 2, true,
       {"a.txt", "b.txt"}, {"a.txt", "b.txt"}, "Retry 1 of 2 in 0 s: the server closed the connection", true},
      {"cut without retries", {"fault RETR b.txt cutat 40"}, "a.txt;b.txt", 0, false, {"a.txt"}, {"a.txt"}, ""},
      {"short transfer with 226", {"fault RETR b.txt short"}, "b.txt;c.dat", 0, false, {}, {},
       "103 Transfer of b.txt incomplete: 135000 of 150000 bytes"},
      {"appended to while fetched", {"fault RETR b.txt grow"}, "*.txt", 0, false, {"a.txt"}, {"a.txt"},
       "Source File:b.txt changed while it was fetched (150000 bytes, now 150028), left on the server for the next run"},
  };
  const std::map<std::string, std::string> bytes = {{"a.txt", kA}, {"b.txt", kB}, {"c.dat", kC}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.Name);
    TTempDir dir;
    ::mkdir(dir.File("remote").c_str(), 0755);
    ::mkdir(dir.File("local").c_str(), 0755);
    for (const auto& [name, content] : bytes) WriteFile(dir.File("remote/" + name), content);
    std::vector<std::string> script = row.Script;
    script.push_back("serve " + dir.File("remote"));
    TScriptedFtpServer server;
    ASSERT_TRUE(server.Start(script));
    TJobProfile profile = ProfileFor(server.PortText(), row.Sources, dir.File("local/"));
    profile.Retries = row.Retries;
    TWalkRun run = Walk(profile);
    EXPECT_EQ(run.Status, row.Status) << run.Text();
    if (!row.Logged.empty()) { EXPECT_TRUE(run.Logged(row.Logged)) << run.Text(); }
    EXPECT_FALSE(run.Logged("Source File:. to Dest File:" + dir.File("local/.")));
    server.Stop();
    std::vector<std::string> seen = server.Received();
    for (const auto& [name, content] : bytes) {
      const bool fetched = std::count(row.Fetched.begin(), row.Fetched.end(), name) > 0;
      const bool deleted = std::count(row.Deleted.begin(), row.Deleted.end(), name) > 0;
      if (fetched)
        EXPECT_TRUE(ReadFile(dir.File("local/" + name)) == content) << name << "\n" << run.Text();
      else
        EXPECT_FALSE(FileExists(dir.File("local/" + name))) << name << "\n" << run.Text();
      EXPECT_EQ(Count(seen, "DELE " + name), deleted ? 1u : 0u) << name;
    }
    const bool rest = std::any_of(seen.begin(), seen.end(), [](const std::string& l) {
      return l.rfind("REST ", 0) == 0 && std::atoll(l.c_str() + 5) > 0 && std::atoll(l.c_str() + 5) < 150000;
    });
    EXPECT_EQ(rest, row.Rest);
  }
}

// The pause before a retry is a wait that Abort ends at once: no new login, status failed.
TEST(FetchWalk, AbortEndsThePauseBeforeARetry) {
  TTempDir dir;
  TJobProfile profile = ProfileFor(std::to_string(FreeTcpPort()), "a.txt", dir.File("/"));
  profile.Retries = 3;
  profile.RetryDelay = 300;
  TFtpRemoteSide side(profile);
  std::vector<std::string> log;
  TFetchWalk* running = nullptr;
  TWalkSink sink;
  sink.Log = [&](const std::string& line) {
    log.push_back(line);
    if (line.rfind("Retry 1 of 3 in 300 s: ", 0) == 0) running->Abort();
  };
  TFetchWalk walk(side, profile, sink);
  running = &walk;
  EXPECT_FALSE(walk.Run());
  EXPECT_EQ(Count(log, "Connecting to 127.0.0.1"), 1u);
  EXPECT_EQ(Count(log, "Retry 1 of 3 in 300 s: 10061 WsError"), 1u);
}
