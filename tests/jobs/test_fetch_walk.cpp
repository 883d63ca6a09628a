// The shared fetch walk over the FTP side, against a scripted server (serve mode over a
// folder, with one fault) and pyftpdlib: one row per class of fault a run must survive or
// report, each row a whole run with its status, the local files and what the server saw.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <map>
#include <thread>

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

// `marginMs`: the walk's own bound on one operation beyond 4 transfer time-outs. `settleMs`:
// how long a file written just now must hold still before it is deleted (none by default:
// the files of these tests are all written just before their run).
TWalkRun Walk(const TJobProfile& profile, int64_t marginMs = 30000, int64_t settleMs = 0) {
  TWalkRun run;
  TFtpRemoteSide side(profile);
  side.OnLog = [&](const std::string& line) { run.Log.push_back(line); };
  TWalkSink sink;
  sink.Log = [&](const std::string& line) { run.Log.push_back(line); };
  TFetchWalk walk(side, profile, sink);
  walk.AwaitMarginMs = marginMs;
  walk.SettleMs = settleMs;
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

// The run's two folders: "remote" (the server's, with `files` in it) and "local".
void MakeFolders(const TTempDir& dir, const std::vector<std::pair<std::string, std::string>>& files) {
  ::mkdir(dir.File("remote").c_str(), 0755);
  ::mkdir(dir.File("local").c_str(), 0755);
  for (const auto& [name, content] : files) WriteFile(dir.File("remote/" + name), content);
}

// A walk of `sources` from the folders of `dir`, served by `server` with `script` before it.
TWalkRun ServeAndWalk(TScriptedFtpServer& server, std::vector<std::string> script, const TTempDir& dir,
                      const std::string& sources, int retries) {
  script.push_back("serve " + dir.File("remote"));
  if (!server.Start(script)) {
    ADD_FAILURE() << "the scripted server did not start";
    return {};
  }
  TJobProfile profile = ProfileFor(server.PortText(), sources, dir.File("local/"));
  profile.Retries = retries;
  return Walk(profile);
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
    std::string Link = {};  // a remote link to b.txt, whose MLST gives the link's own size and time
    bool Rechecked = false;  // facts from MLST: SIZE asked as well, after a length that differed
    bool Twin = false;       // a remote A.txt beside a.txt, fetched and deleted as a file of its own
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
       "103 Transfer of b.txt incomplete: 135000 of 150000 bytes", false, "", true},
      {"more bytes than announced: left for the next run, the walk goes on", {"fault RETR b.txt long"}, "b.txt;c.dat",
       2, false, {"c.dat"}, {"c.dat"},
       "104 Transfer of b.txt brought 165000 bytes, not the 150000 announced: it changed while it was fetched, "
       "left on the server for the next run", false, "", true},
      {"a link: MLST gives its own size, a retrieve its target", {}, "l.txt;c.dat", 0, true, {"c.dat"}, {"c.dat"}, "",
       false, "l.txt", true},
      {"a positive reply that completes no transfer", {"fault RETR b.txt reply 200 Command okay"}, "b.txt;c.dat", 0,
       false, {}, {}, "200 Command okay"},
      {"a positive reply that completes no login, not retried", {"sessions 2", "fault USER * reply 200 whatever"}, "a.txt",
       2, false, {}, {}, "200 whatever"},
      {"appended to while fetched", {"fault RETR b.txt grow"}, "*.txt", 0, false, {"a.txt"}, {"a.txt"},
       "Source File:b.txt changed while it was fetched (150000 bytes, now 150028), left on the server for the next run"},
      {"names that differ in case alone are two files", {}, "*.txt", 0, true, {"a.txt", "b.txt"}, {"a.txt", "b.txt"},
       "Source File:*.txt mask finished!", false, "", false, true},
  };
  const std::map<std::string, std::string> bytes = {{"a.txt", kA}, {"b.txt", kB}, {"c.dat", kC}};
  // Every row twice: the file's facts from SIZE and MDTM, and from MLST.
  for (const bool mlst : {false, true}) {
    for (const auto& row : rows) {
      SCOPED_TRACE(row.Name + (mlst ? " (MLST)" : " (SIZE, MDTM)"));
      TTempDir dir;
      MakeFolders(dir, {bytes.begin(), bytes.end()});
      if (row.Twin) WriteFile(dir.File("remote/A.txt"), "twin");
      if (!row.Link.empty()) {
        ASSERT_EQ(::symlink("b.txt", dir.File("remote/" + row.Link).c_str()), 0);
        // The link's own time differs from its target's, as it does where it was made later.
        const struct timespec times[2] = {{0, UTIME_OMIT}, {1000000000, 0}};
        ASSERT_EQ(::utimensat(AT_FDCWD, dir.File("remote/" + row.Link).c_str(), times, AT_SYMLINK_NOFOLLOW), 0);
      }
      std::vector<std::string> script = row.Script;
      if (mlst) script.push_back(row.Link.empty() ? "mlst" : "mlstlinks");
      TScriptedFtpServer server;
      TWalkRun run = ServeAndWalk(server, script, dir, row.Sources, row.Retries);
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
      const bool resumeLogged = std::any_of(run.Log.begin(), run.Log.end(), [](const std::string& l) {
        return l.rfind("Resuming b.txt at ", 0) == 0 && l.find(" bytes kept from an earlier attempt") != std::string::npos;
      });
      EXPECT_EQ(resumeLogged, row.Rest) << run.Text();
      if (row.Twin) {
        EXPECT_EQ(ReadFile(dir.File("local/A.txt")), "twin") << run.Text();
        EXPECT_EQ(Count(seen, "DELE A.txt"), 1u) << run.Text();
      }
      if (!row.Link.empty()) {
        EXPECT_TRUE(ReadFile(dir.File("local/" + row.Link)) == kB) << run.Text();
        EXPECT_EQ(Count(seen, "DELE " + row.Link), 1u);
        EXPECT_EQ(run.Logged("MLST gave l.txt as 5 bytes, SIZE as 150000: sizes are asked with SIZE and MDTM from here on"),
                  mlst)
            << run.Text();
      }
      const bool sized = std::any_of(seen.begin(), seen.end(), [](const std::string& l) { return l.rfind("SIZE ", 0) == 0; });
      const bool listed = std::any_of(seen.begin(), seen.end(), [](const std::string& l) { return l.rfind("MLST ", 0) == 0; });
      EXPECT_FALSE(mlst ? sized && !row.Rechecked : listed);
    }
  }
}

// A writer that pauses between bursts leaves a file's facts the same across a quick fetch:
// a file written just now is deleted only once it has held still for the settle time. A
// writer appending every 50 ms changes it within that time, and it stays on the server; a
// file written just before the run and then left alone is deleted after the wait. ASCII
// transfers are guarded the same way, though their byte counts say nothing of the size. Times
// hours ahead of ours (a server that gives its local time) say nothing of a file's age: no wait.
TEST(FetchWalk, AFileWrittenJustNowIsDeletedOnlyOnceItHoldsStill) {
  const struct {
    bool Writing;
    bool Ascii;
    int64_t AheadSeconds;  // the server's times are this far ahead (its local time, say)
  } rows[] = {{true, false, 0}, {false, false, 0}, {true, true, 0}, {false, false, 7200}};
  for (const auto [writing, ascii, ahead] : rows) {
    SCOPED_TRACE(std::string(writing ? "a writer at work" : "written just before, then left alone") +
                 (ascii ? ", ASCII" : "") + (ahead ? ", times hours ahead: no wait" : ""));
    TTempDir dir;
    MakeFolders(dir, {{"w.txt", kC}, {"c.dat", kC}});
    if (ahead) {
      const struct timespec times[2] = {{0, UTIME_OMIT}, {::time(nullptr) + ahead, 0}};
      ASSERT_EQ(::utimensat(AT_FDCWD, dir.File("remote/w.txt").c_str(), times, 0), 0);
    }
    TScriptedFtpServer server;
    ASSERT_TRUE(server.Start({"serve " + dir.File("remote")}));
    std::atomic<bool> stop{false};
    std::thread writer([&] {
      while (writing && !stop) {
        std::ofstream(dir.File("remote/w.txt"), std::ios::app) << "another line\n";
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
      }
    });
    TJobProfile profile = ProfileFor(server.PortText(), "w.txt;c.dat", dir.File("local/"));
    profile.Binary = !ascii;
    TWalkRun run = Walk(profile, 30000, 2000);
    stop = true;
    writer.join();
    server.Stop();
    EXPECT_EQ(run.Status, !writing) << run.Text();
    EXPECT_EQ(run.Logged("Source File:w.txt was written to just now: asked again in 2 s before it is deleted"), !ahead)
        << run.Text();
    EXPECT_EQ(FileExists(dir.File("remote/w.txt")), writing);
    EXPECT_EQ(FileExists(dir.File("local/w.txt")), !writing);
    EXPECT_EQ(Count(server.Received(), "DELE w.txt"), writing ? 0u : 1u);
    // The rest of the list goes on either way.
    EXPECT_EQ(Count(server.Received(), "DELE c.dat"), 1u);
    EXPECT_TRUE(ascii ? FileExists(dir.File("local/c.dat")) : ReadFile(dir.File("local/c.dat")) == kC);
  }
}

// The pause before a retry is a wait that Abort ends at once: no new login, status failed.
TEST(FetchWalk, AbortEndsThePauseBeforeARetry) {
  TTempDir dir;
  TRefusingTcpPort closed;
  TJobProfile profile = ProfileFor(std::to_string(closed.Port()), "a.txt", dir.File("/"));
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

// The walk's own bound on an operation counts from the last progress: a file that arrives
// slowly but steadily, for longer than the bound, is fetched whole; a peer that falls silent
// mid-file is ended by the side's transfer time-out. Time-outs are small (550 ms, no margin:
// the walk's bound is 2.2 s) and the slow peer takes about 4 s.
TEST(FetchWalk, SlowButMovingTransfersOutliveTheWalksBoundAndSilentOnesEnd) {
  const struct {
    std::string Name;
    std::string Fault;
    bool Status;
    std::string Logged;
  } rows[] = {
      {"20 pieces 200 ms apart", "fault RETR b.txt trickle 200", true, "Transfer Completed OK"},
      {"half the file, then silence", "fault RETR b.txt stall", false, "Timeout"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.Name);
    TTempDir dir;
    MakeFolders(dir, {{"b.txt", kB}});
    TScriptedFtpServer server;
    ASSERT_TRUE(server.Start({row.Fault, "serve " + dir.File("remote")}));
    TJobProfile profile = ProfileFor(server.PortText(), "b.txt", dir.File("local/"));
    profile.TransferTimeOut = 10;
    profile.ConnectTimeOut = 100;
    TWalkRun run = Walk(profile, 0);
    EXPECT_EQ(run.Status, row.Status) << run.Text();
    EXPECT_TRUE(run.Logged(row.Logged)) << run.Text();
    if (row.Status) {
      EXPECT_TRUE(ReadFile(dir.File("local/b.txt")) == kB);
    } else {
      EXPECT_FALSE(FileExists(dir.File("local/b.txt")));
      EXPECT_TRUE(FileExists(dir.File("remote/b.txt")));
    }
  }
}

// Over FTP a name listing does not say what a name is: a mask's match that the server
// refuses to send is asked about (PWD, CWD into it and back, LIST of it) and passed over when
// it is a folder, a link to one or a link that leads nowhere, as over SFTP; the walk goes on in
// its own folder. A plain name that is a folder still fails the run. The scripted server
// lists nothing for a link that leads nowhere when asked for it alone (it follows links, as
// some servers do): the folder's own listing tells. Where MLST says a name is a folder, that is
// enough: the scripted server will not let the login into sub.csv.
TEST(FetchWalk, FtpMasksPassOverFoldersAndLinksAPlainFolderFails) {
  TTempDir dir;
  ::mkdir(dir.File("remote").c_str(), 0755);
  ::mkdir(dir.File("remote/sub.csv").c_str(), 0755);
  WriteFile(dir.File("remote/sub.csv/inner.csv"), "inner");
  ASSERT_EQ(::symlink("sub.csv", dir.File("remote/link.csv").c_str()), 0);
  ASSERT_EQ(::symlink("nowhere.csv", dir.File("remote/dangling.csv").c_str()), 0);
  TPyFtpServer server;
  ASSERT_TRUE(server.Start(dir.File("remote/")));
  const struct {
    std::string Sources;
    bool Status;
    std::vector<std::string> Logged;
  } rows[] = {
      {"*.csv",
       true,
       {"Source File:sub.csv is not a regular file, skipped", "Source File:link.csv is not a regular file, skipped",
        "Source File:dangling.csv is not a regular file, skipped", "Source File:*.csv mask finished!"}},
      {"sub.csv;a.csv", false, {}},
  };
  for (bool scripted : {false, true}) {
  for (const auto& row : rows) {
    SCOPED_TRACE(row.Sources + (scripted ? " (scripted server)" : ""));
    const std::string local = dir.File("local-" + std::to_string(scripted) + std::to_string(&row - rows) + "/");
    ::mkdir(local.c_str(), 0755);
    WriteFile(dir.File("remote/a.csv"), kA);
    WriteFile(dir.File("remote/z.csv"), kC);
    TScriptedFtpServer other;
    if (scripted) {
      ASSERT_TRUE(other.Start({"mlst", "fault CWD sub.csv reply 550 Permission denied", "serve " + dir.File("remote")}));
    }
    TJobProfile profile = ProfileFor(scripted ? other.PortText() : server.PortText(), row.Sources, local);
    profile.DeleteRemote = false;
    TWalkRun run = Walk(profile);
    EXPECT_EQ(run.Status, row.Status) << run.Text() << (scripted ? other.Log() : server.Log());
    for (const std::string& line : row.Logged) EXPECT_TRUE(run.Logged(line)) << line << "\n" << run.Text();
    if (row.Status) {
      // Every file around the names that are none, from the walk's own folder.
      EXPECT_TRUE(ReadFile(local + "a.csv") == kA) << run.Text();
      EXPECT_TRUE(ReadFile(local + "z.csv") == kC) << run.Text();
    } else {
      EXPECT_FALSE(FileExists(local + "a.csv")) << run.Text();
      // One reason: the server's refusal, or the facts that named a folder.
      EXPECT_EQ(std::count_if(run.Log.begin(), run.Log.end(),
                              [](const std::string& l) {
                                return l.rfind("550 ", 0) == 0 || l == "Source File:sub.csv is not a regular file";
                              }),
                1)
          << run.Text();
    }
    for (const char* name : {"sub.csv", "link.csv", "dangling.csv"}) EXPECT_FALSE(FileExists(local + name)) << name;
  }
  }
}

// Where the server lists its files' facts (MLSD), the walk asks no file's facts before its
// fetch, only after it, before the delete. A file that is another one by its fetch than the
// listing said (more bytes, fewer, a new time by the check after it) is fetched once more with
// its facts asked anew, and so is every file after it: what is fetched and deleted is the same
// as without the listing's facts. A link the listing gives with its own size is one of these.
// Bytes kept from a cut transfer are continued only on facts asked anew.
TEST(FetchWalk, FilesFetchedByTheListingsFactsAreFetchedAgainWhenTheyChangedSince) {
  const std::string kGrown = kB + "more lines from the writer\r\n";
  const struct {
    std::string Name;
    std::vector<std::string> Script;
    std::string Sources;
    std::string BLocal;  // what b.txt (or l.txt) holds locally afterwards
    size_t RetrOfB;      // retrieves of b.txt (or l.txt)
    size_t FactsOfC;     // MLST (or SIZE) of c.dat, fetched after b.txt: 1 by the listing's facts, 2 without
    int Retries = 0;
  } rows[] = {
      {"unchanged: no facts asked before a fetch", {"mlst"}, "b.txt;*.dat", kB, 1, 1},
      {"more bytes than listed", {"mlst", "fault RETR b.txt long"}, "b.txt;*.dat", kB, 2, 2},
      {"fewer bytes than listed", {"mlst", "fault RETR b.txt short"}, "b.txt;*.dat", kB, 2, 2},
      {"written to after its fetch", {"mlst", "fault RETR b.txt grow"}, "b.txt;*.dat", kGrown, 2, 2},
      {"a link listed with its own size", {"mlstlinks"}, "l.txt;*.dat", kB, 2, 2},
      {"cut, then continued", {"mlst", "sessions 2", "fault RETR b.txt cutat 40"}, "b.txt;*.dat", kB, 2, 1, 1},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.Name);
    TTempDir dir;
    MakeFolders(dir, {{"b.txt", kB}, {"c.dat", kC}});
    const bool link = row.Sources[0] == 'l';
    if (link) {
      ASSERT_EQ(::symlink("b.txt", dir.File("remote/l.txt").c_str()), 0);
    }
    std::vector<std::string> script = row.Script;
    script.push_back("mlsd");
    TScriptedFtpServer server;
    TWalkRun run = ServeAndWalk(server, script, dir, row.Sources, row.Retries);
    server.Stop();
    const std::vector<std::string> seen = server.Received();
    const std::string fetched = link ? "l.txt" : "b.txt";
    EXPECT_TRUE(run.Status) << run.Text();
    EXPECT_TRUE(ReadFile(dir.File("local/" + fetched)) == row.BLocal) << run.Text();
    EXPECT_TRUE(ReadFile(dir.File("local/c.dat")) == kC) << run.Text();
    EXPECT_EQ(Count(seen, "DELE " + fetched), 1u);
    EXPECT_EQ(Count(seen, "DELE c.dat"), 1u);
    EXPECT_EQ(Count(seen, "MLSD"), 1u + row.Retries);
    EXPECT_EQ(Count(seen, "RETR " + fetched), row.RetrOfB) << run.Text();
    // Asked after the fetch alone; the continued one before it too (then REST from the kept bytes).
    if (row.FactsOfC == 1) {
      EXPECT_EQ(Count(seen, "MLST b.txt"), 1u + row.Retries) << run.Text();
    }
    if (row.Retries) {
      EXPECT_TRUE(std::any_of(seen.begin(), seen.end(), [](const std::string& l) { return l.rfind("REST ", 0) == 0; }));
    }
    // A link's own size in MLST turns the session to SIZE and MDTM.
    EXPECT_EQ(Count(seen, "MLST c.dat") + Count(seen, "SIZE c.dat"), row.FactsOfC) << run.Text();
    EXPECT_EQ(run.Logged("Source File:" + fetched + " changed since the folder was listed: fetched again"),
              row.FactsOfC == 2)
        << run.Text();
  }
}

// An append is not idempotent. A run that appended a file but did not get to delete it (the
// server refused, the run was killed between the two) leaves a note beside the destination,
// and the next run deletes that very file without appending it a second time. A file changed
// on the server since is another file: appended as usual.
// Where the server lists its files' facts, a file changed after the second run's listing is
// one of those too: the listing's facts never decide that it was appended before.
TEST(FetchWalk, AnAppendedFileWhoseDeleteFailedIsNeverAppendedAgain) {
  enum TFacts { SizeMdtm, Mlst, Mlsd };
  for (const TFacts facts : {SizeMdtm, Mlst, Mlsd}) {
    for (const bool changed : {false, true}) {
      SCOPED_TRACE(std::string(changed ? "changed since" : "the same file") +
                   (facts == SizeMdtm ? " (SIZE, MDTM)" : facts == Mlst ? " (MLST)" : " (MLSD)"));
      const bool mlst = facts != SizeMdtm;
      TTempDir dir;
      MakeFolders(dir, {{"b.txt", kB}});
      WriteFile(dir.File("local/b.txt"), "old\n");
      TJobProfile profile = ProfileFor("", "b.txt", dir.File("local/"));
      profile.Overwrite = false;
      // Two runs against one server: the fault fires in the first only.
      TScriptedFtpServer server;
      std::vector<std::string> script = {"sessions 2", "fault DELE b.txt reply 450 Busy", "serve " + dir.File("remote")};
      if (mlst) script.insert(script.begin(), "mlst");
      // In the second run, after its listing.
      const bool afterListing = changed && facts == Mlsd;
      if (facts == Mlsd) script.insert(script.begin(), "mlsd");
      if (afterListing) script.insert(script.begin(), "fault MLSD * later grow b.txt");
      ASSERT_TRUE(server.Start(script));
      profile.Port = server.PortText();
      for (const bool refused : {true, false}) {
        TWalkRun run = Walk(profile);
        EXPECT_EQ(run.Status, !refused) << run.Text();
        EXPECT_EQ(run.Logged("Source File:b.txt was appended to " + dir.File("local/b.txt") +
                             " by another run that did not delete it"),
                  !refused && !changed)
            << run.Text();
        if (refused && changed && !afterListing) {
          WriteFile(dir.File("remote/b.txt"), kC);
          const struct timespec times[2] = {{0, UTIME_OMIT}, {1000000000, 0}};
          ASSERT_EQ(::utimensat(AT_FDCWD, dir.File("remote/b.txt").c_str(), times, 0), 0);
        }
      }
      server.Stop();
      const std::vector<std::string> seen = server.Received();
      EXPECT_EQ(Count(seen, "RETR b.txt"), changed ? 2u : 1u);
      EXPECT_EQ(Count(seen, "DELE b.txt"), 2u);
      EXPECT_FALSE(FileExists(dir.File("remote/b.txt")));
      const std::string grown = kB + "more lines from the writer\r\n";
      EXPECT_TRUE(ReadFile(dir.File("local/b.txt")) == "old\n" + kB + (afterListing ? grown : changed ? kC : ""))
          << ReadFile(dir.File("local/b.txt")).size();
      EXPECT_EQ(FileExists(dir.File("local/.b.txt.quodra-delivered")), changed);
    }
  }
}
