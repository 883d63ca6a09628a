// The SFTP side of the fetch walk against a real OpenSSH server: every operation's result
// comes through the event loop, with the failure kind the walk's retry rule needs.
#include <gtest/gtest.h>

#include <algorithm>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>

#include <filesystem>

#include "host/local_output_file.h"
#include "host/clock.h"
#include "host/pending_durability.h"
#include "host/event_wait.h"
#include "jobs/sftp_remote_side.h"
#include "support/sshd_server_fixture.h"

using namespace quodra::jobs;
using namespace quodra::test;

namespace {

class SftpRemoteSide : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(Server.Start()) << Server.Log();
    Key = Server.AddClientKey("id", "ed25519");
    Server.WriteKnownHosts(Local.File("known_hosts"), false);
    std::filesystem::create_directory(Files.File("in"));
    std::filesystem::create_directory(Files.File("in/sub.csv"));
    WriteFile(Files.File("in/a.csv"), Data);
    std::filesystem::create_symlink(Files.File("in/sub.csv"), Files.File("in/tosub.csv"));
    std::filesystem::create_symlink(Files.File("nowhere"), Files.File("in/dangling.csv"));
  }
  std::unique_ptr<TSftpRemoteSide> Side(const std::string& folder, const std::string& fingerprint = {}) {
    TJobProfile p;
    p.ServerName = "127.0.0.1";
    p.Port = std::to_string(Server.Port());
    p.Login = TSshdServer::UserName();
    auto s = SftpSettingsFor(p, Key, fingerprint);
    s.KnownHostsFile = Local.File("known_hosts");
    return std::make_unique<TSftpRemoteSide>(s, folder);
  }
  // Runs one operation; checks that its result did not come from inside the call.
  template <typename TStart>
  void Run(TStart start) {
    bool done = false, inside = true;
    start([&] { done = true; EXPECT_FALSE(inside) << "result reported from inside the call"; });
    inside = false;
    ASSERT_TRUE(quodra::host::WaitUntil([&] { return done; }, quodra::host::NowMs() + 60000));
  }

  const std::string Data = PatternBytes(700000, 5);
  TSshdServer Server;
  TTempDir Files, Local;
  std::string Key;
};

TEST_F(SftpRemoteSide, OpenListFactsFetchDelete) {
  struct TOpenRow { const char* Sentence; std::string Folder; std::string Fingerprint; TFailureKind Kind; };
  for (const auto& row : std::vector<TOpenRow>{
           {"the remote folder exists", Files.File("in"), "", TFailureKind::None},
           {"the login folder", "/", "", TFailureKind::None},
           {"a missing remote folder is no retry case", Files.File("none"), "", TFailureKind::Permanent},
           {"a file as remote folder", Files.File("in/a.csv"), "", TFailureKind::Permanent},
           {"a wrong pinned key is no retry case", Files.File("in"), "SHA256:wrong", TFailureKind::Permanent},
       }) {
    SCOPED_TRACE(row.Sentence);
    auto side = Side(row.Folder, row.Fingerprint);
    TRemoteResult r;
    Run([&](auto finished) { side->Open([&, finished](const TRemoteResult& x) { r = x; finished(); }); });
    EXPECT_EQ(static_cast<int>(r.Kind), static_cast<int>(row.Kind)) << r.Reason;
    EXPECT_EQ(side->IsOpen(), row.Kind == TFailureKind::None);
  }

  auto side = Side(Files.File("in"));
  TRemoteResult r;
  Run([&](auto finished) { side->Open([&, finished](const TRemoteResult& x) { r = x; finished(); }); });
  ASSERT_TRUE(r.Ok()) << r.Reason;
  std::vector<TRemoteEntry> listed;
  Run([&](auto finished) {
    side->List([&, finished](const TRemoteResult& x, const std::vector<TRemoteEntry>& e) { r = x; listed = e; finished(); });
  });
  ASSERT_TRUE(r.Ok());
  std::map<std::string, TEntryKind> kinds;
  for (const auto& e : listed) kinds[e.Name] = e.Kind;
  EXPECT_EQ(kinds, (std::map<std::string, TEntryKind>{{"a.csv", TEntryKind::File},
                                                      {"sub.csv", TEntryKind::Folder},
                                                      {"tosub.csv", TEntryKind::Folder},
                                                      {"dangling.csv", TEntryKind::Other}}));

  struct TFactsRow { const char* Name; TFailureKind Kind; int64_t Size; };
  for (const auto& row : std::vector<TFactsRow>{{"a.csv", TFailureKind::None, (int64_t)Data.size()},
                                                 {"sub.csv", TFailureKind::Permanent, -2},
                                                 {"missing.csv", TFailureKind::Permanent, -2}}) {
    SCOPED_TRACE(row.Name);
    TRemoteFacts facts;
    Run([&](auto finished) {
      side->Facts(row.Name, [&, finished](const TRemoteResult& x, const TRemoteFacts& f) { r = x; facts = f; finished(); });
    });
    EXPECT_EQ(static_cast<int>(r.Kind), static_cast<int>(row.Kind)) << r.Reason;
    if (row.Size >= 0) {
      EXPECT_EQ(facts.Size, row.Size);
      EXPECT_FALSE(facts.ModTime.empty());
    }
  }

  // The destination changes only with Commit(true), and only with a transfer of the
  // expected length. A kept append notes its source as delivered; nothing else does. A kept
  // replacement whose remote file stays is synced with the run's others (pending); one whose
  // remote file is deleted afterwards is synced at once.
  struct TFetchRow {
    const char* Sentence;
    bool Append, DeleteAfter;
    int64_t Expected;
    bool Keep;
    TFailureKind Kind;
    std::string After;
    bool Pending;
  };
  const std::string dest = Local.File("dest.csv");
  for (const auto& row : std::vector<TFetchRow>{
           {"replaced and kept", false, false, (int64_t)Data.size(), true, TFailureKind::None, Data, true},
           {"replaced and kept, deleted afterwards", false, true, (int64_t)Data.size(), true, TFailureKind::None, Data,
            false},
           {"appended and kept", true, true, -1, true, TFailureKind::None, "old" + Data, false},
           {"fetched but thrown away", false, false, -1, false, TFailureKind::None, "old", false},
           {"another length than expected", false, true, (int64_t)Data.size() + 1, true, TFailureKind::Transient, "old",
            false},
       }) {
    SCOPED_TRACE(row.Sentence);
    WriteFile(dest, "old");
    quodra::host::TPendingDurability::Flush();
    const uint64_t pendingBefore = quodra::host::TPendingDurability::Added;
    TFetchRequest req;
    req.RemoteName = "a.csv";
    req.LocalPath = dest;
    req.Append = row.Append;
    req.DeleteAfter = row.DeleteAfter;
    req.ExpectedSize = row.Expected;
    req.DeliveryKey = "a.csv as listed";
    TFetchResult fr;
    int64_t progressed = 0;
    Run([&](auto finished) {
      side->Fetch(req, [&](int64_t b) { progressed = b; }, [&, finished](const TFetchResult& x) { fr = x; finished(); });
    });
    EXPECT_EQ(static_cast<int>(fr.Kind), static_cast<int>(row.Kind)) << fr.Reason;
    EXPECT_EQ(fr.Bytes, (int64_t)Data.size());
    EXPECT_EQ(progressed, (int64_t)Data.size());
    EXPECT_FALSE(fr.Resumed);
    if (fr.Ok()) side->Commit(row.Keep);
    EXPECT_TRUE(ReadFile(dest) == row.After);
    EXPECT_EQ(quodra::host::TLocalOutputFile::DeliveredBefore(dest, req.DeliveryKey), row.Append && row.Keep);
    EXPECT_EQ(quodra::host::TPendingDurability::Added - pendingBefore, row.Pending ? 1u : 0u);
    EXPECT_EQ(quodra::host::TPendingDurability::Pending(), row.Pending ? 1u : 0u);
  }

  Run([&](auto finished) { side->Delete("a.csv", [&, finished](const TRemoteResult& x) { r = x; finished(); }); });
  EXPECT_TRUE(r.Ok()) << r.Reason;
  EXPECT_FALSE(FileExists(Files.File("in/a.csv")));
  Run([&](auto finished) { side->Delete("a.csv", [&, finished](const TRemoteResult& x) { r = x; finished(); }); });
  EXPECT_EQ(r.Kind, TFailureKind::Permanent);

  // A cut connection is worth a retry; afterwards every call fails at once, through the loop.
  for (pid_t p : Server.SessionProcesses()) ::kill(p, SIGKILL);
  Run([&](auto finished) {
    side->List([&, finished](const TRemoteResult& x, const std::vector<TRemoteEntry>&) { r = x; finished(); });
  });
  EXPECT_EQ(r.Kind, TFailureKind::Transient) << r.Reason;
  EXPECT_FALSE(side->IsOpen());
  Run([&](auto finished) { side->Delete("x", [&, finished](const TRemoteResult& x) { r = x; finished(); }); });
  EXPECT_EQ(r.Kind, TFailureKind::Transient) << r.Reason;
  side->Close();
}

// A connection cut mid-file keeps what arrived; the next attempt goes on after it when the
// remote file is unchanged, and starts over when it changed.
TEST(SftpRemoteSideResume, CutThenNextAttempt) {
  TSshdServer server;
  TSshdServer::TOptions options;
  options.SlowBytesPerSecond = 1024 * 1024;
  ASSERT_TRUE(server.Start(options)) << server.Log();
  TTempDir files, local;
  const std::string key = server.AddClientKey("id", "ed25519");
  server.WriteKnownHosts(local.File("known_hosts"), false);
  struct TRow { const char* Sentence; bool ChangeBetween; bool Resumed; };
  for (const auto& row : std::vector<TRow>{{"the same file goes on after the kept bytes", false, true},
                                            {"a changed file starts over", true, false}}) {
    SCOPED_TRACE(row.Sentence);
    std::string data = PatternBytes(3 * 1024 * 1024, 9);
    WriteFile(files.File("big"), data);
    const std::string dest = local.File("dest");
    WriteFile(dest, "before");
    std::vector<std::string> log;
    auto attempt = [&](bool cut) {
      TJobProfile p;
      p.ServerName = "127.0.0.1";
      p.Port = std::to_string(server.Port());
      p.Login = TSshdServer::UserName();
      auto s = SftpSettingsFor(p, key, "");
      s.KnownHostsFile = local.File("known_hosts");
      TSftpRemoteSide side(s, files.Path());
      side.OnLog = [&](const std::string& line) { log.push_back(line); };
      bool opened = false;
      side.Open([&](const TRemoteResult& r) { opened = true; EXPECT_TRUE(r.Ok()) << r.Reason; });
      EXPECT_TRUE(quodra::host::WaitUntil([&] { return opened; }, quodra::host::NowMs() + 30000));
      TFetchRequest req;
      req.RemoteName = "big";
      req.LocalPath = dest;
      req.ExpectedSize = static_cast<int64_t>(data.size());
      TFetchResult result;
      bool done = false, killed = false;
      side.Fetch(req, [&](int64_t bytes) {
        if (cut && !killed && bytes > 0) {
          killed = true;
          for (pid_t pid : server.SessionProcesses()) ::kill(pid, SIGKILL);
        }
      }, [&](const TFetchResult& r) { result = r; done = true; });
      EXPECT_TRUE(quodra::host::WaitUntil([&] { return done; }, quodra::host::NowMs() + 60000));
      if (result.Ok()) side.Commit(true);
      side.Close();
      return result;
    };
    TFetchResult first = attempt(true);
    EXPECT_EQ(first.Kind, TFailureKind::Transient) << first.Reason;
    EXPECT_EQ(ReadFile(dest), "before");
    if (row.ChangeBetween) {
      data = PatternBytes(data.size(), 10);  // same size, other bytes, a later time
      WriteFile(files.File("big"), data);
      struct timespec later[2] = {{0, UTIME_OMIT}, {::time(nullptr) + 100, 0}};
      ::utimensat(AT_FDCWD, files.File("big").c_str(), later, 0);
    }
    log.clear();
    TFetchResult second = attempt(false);
    ASSERT_TRUE(second.Ok()) << second.Reason;
    EXPECT_EQ(second.Resumed, row.Resumed);
    EXPECT_EQ(std::any_of(log.begin(), log.end(), [](const std::string& l) { return l.rfind("Resuming big at ", 0) == 0; }),
              row.Resumed);
    EXPECT_EQ(second.Bytes, (int64_t)data.size());
    EXPECT_TRUE(ReadFile(dest) == data);
  }
}

}  // namespace
