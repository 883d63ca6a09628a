// Verified, resumable and held retrieves against a real server (pyftpdlib answers SIZE, MDTM
// and REST), and the replies only a scripted server gives: a refused REST, a 226 after a short
// data stream, a cut transfer continued later, the odd answers to SIZE and MDTM.
#include <gtest/gtest.h>


#include <algorithm>
#include <cstring>
#include <set>

#include "ftp/qp_ftp_client.h"
#include "ftp_test_util.h"
#include "host/local_output_file.h"
#include "host/partial_file_store.h"
#include "host/pending_durability.h"
#include "support/ftp_server_fixture.h"
#include "support/temp_dir.h"

using namespace quodra::ftp;
using namespace quodra::ftp::test;
using quodra::host::TLocalOutputFile;
using quodra::host::TPendingDurability;
using quodra::host::TRemoteFileIdentity;
using quodra::test::FileExists;
using quodra::test::FolderNames;
using quodra::test::PatternBytes;
using quodra::test::ReadFile;
using quodra::test::TPyFtpServer;
using quodra::test::TScriptedFtpServer;
using quodra::test::TTempDir;
using quodra::test::WriteFile;

namespace {

// What an earlier, interrupted download left: the first `bytes` of `content` in the partial.
void KeepPartial(const std::string& dest, TLocalOutputFile::TMode mode, const TRemoteFileIdentity& remote,
                 const std::string& content, size_t bytes) {
  TLocalOutputFile out;
  ASSERT_EQ(out.OpenResumable(dest, mode, remote), 0);
  ASSERT_EQ(out.Write(content.data(), bytes), 0);
  ASSERT_EQ(out.Suspend(), 0);
}

// The scripted servers send a few bytes: resumed all the same.
struct TResumeTinyFiles {
  TResumeTinyFiles() { TLocalOutputFile::ResumeWorthBytes = 0; }
  ~TResumeTinyFiles() { TLocalOutputFile::ResumeWorthBytes = Saved; }
  int64_t Saved = TLocalOutputFile::ResumeWorthBytes;
};

struct TClientSession {
  TQpFtpClient Client;
  TFtpRecorder Rec;

  void Connect(const std::string& port) {
    Client.SetServerAddress("127.0.0.1");
    Client.SetWsPort(port);
    Client.UserName = "tester";
    Client.Password = "secret";
    Client.PassiveMode = true;
    Rec.Attach(Client);
  }
  bool LogIn() {
    if (!Client.Login()) return false;
    return WaitFor([&] { return Rec.Has(fsLoggedIn) || !Rec.Errors.empty(); }) && Rec.Has(fsLoggedIn);
  }
  // Waits for the end of the operation just started: its status or an error, then idle.
  bool Await(TFtpStatusCode code, size_t before, size_t errors) {
    bool ended = WaitFor([&] { return Rec.Count(code) > before || Rec.Errors.size() > errors; }, 60000);
    WaitFor([&] { return !Client.InProgress() && !Client.EventsPending(); });
    return ended && Rec.Count(code) == before + 1 && Rec.Errors.size() == errors;
  }
  bool Facts(const std::string& name) {
    size_t before = Rec.Count(fsFileFacts), errors = Rec.Errors.size();
    return Client.FileFacts(name) && Await(fsFileFacts, before, errors);
  }
  bool Fetch(const std::string& remote, const std::string& local, TFtpRetrieveMode mode) {
    size_t before = Rec.Count(fsTransferDone), errors = Rec.Errors.size();
    return Client.Retrieve(remote, local, mode) && Await(fsTransferDone, before, errors);
  }
  bool Restarted() const { return std::count(Rec.Logs.begin(), Rec.Logs.end(), lgRestart) > 0; }
};

}  // namespace

TEST(FtpResume, RealServerFactsResumeVerifyAndHold) {
  TTempDir root, local;
  const std::string big = PatternBytes(2 * 1024 * 1024 + 5, 11);
  const int64_t size = static_cast<int64_t>(big.size());
  WriteFile(root.File("big.bin"), big);
  WriteFile(root.File("text.txt"), "one\ntwo\n");
  TPyFtpServer server;
  ASSERT_TRUE(server.Start(root.Path())) << server.Log();
  TClientSession s;
  s.Connect(server.PortText());
  ASSERT_TRUE(s.LogIn());

  // After a listing the session is in ASCII type, where the server refuses SIZE: the facts
  // still come (TYPE I goes first), and a missing file is an answer, not an error.
  size_t lists = s.Rec.Count(fsTextReady);
  ASSERT_TRUE(s.Client.ListDir("", false));
  ASSERT_TRUE(s.Await(fsTextReady, lists, 0));
  ASSERT_TRUE(s.Facts("big.bin")) << s.Rec.Sequence();
  EXPECT_EQ(s.Client.RemoteSize(), size);
  ASSERT_EQ(s.Client.RemoteModTime().size(), 14u) << s.Client.RemoteModTime();
  ASSERT_TRUE(s.Facts("missing.bin")) << s.Rec.Sequence();
  EXPECT_EQ(s.Client.RemoteSize(), -1);
  EXPECT_EQ(s.Client.RemoteModTime(), "");
  ASSERT_TRUE(s.Facts("big.bin"));
  const TRemoteFileIdentity same{"127.0.0.1:" + server.PortText(), "big.bin", size, s.Client.RemoteModTime()};
  TRemoteFileIdentity changed = same;
  changed.ModTime = "19990101000000";

  using M = TLocalOutputFile::TMode;
  enum THold { kNoHold, kCommit, kDiscard };
  struct Row {
    const char* name;
    TFtpRetrieveMode mode;
    const char* before;             // the destination's bytes; nullptr: absent
    const TRemoteFileIdentity* id;  // resume identity given to Retrieve
    const TRemoteFileIdentity* kept;  // identity of a partial left earlier; nullptr: none
    int64_t keptBytes;
    int64_t expected;               // ExpectedSize
    THold hold;
    bool done;
    int64_t received;               // bytes this retrieve fetched
    bool partialLeft;
  };
  const Row rows[] = {
      {"a partial of the same file continues with REST", rmReplace, "old", &same, &same, 1000000, size, kNoHold,
       true, size - 1000000, false},
      {"a partial of a changed file is dropped, the file comes whole", rmReplace, "old", &same, &changed, 1000000,
       size, kNoHold, true, size, false},
      {"an append continues its partial and appends the file once", rmAppend, "old", &same, &same, 700000, size,
       kNoHold, true, size - 700000, false},
      {"a partial holding the whole file needs no more bytes", rmAppend, nullptr, &same, &same, size, size, kNoHold,
       true, 0, false},
      {"a confirmed transfer short of the expected size fails", rmReplace, "old", nullptr, nullptr, 0, size + 1,
       kNoHold, false, size, false},
      {"a short transfer of a resumable download keeps its partial", rmReplace, "old", &same, nullptr, 0, size + 1,
       kNoHold, false, size, true},
      {"a held file discarded leaves the destination", rmReplace, "old", &same, &same, 5000, size, kDiscard, true,
       size - 5000, false},
      {"a held file committed is appended", rmAppend, "old", nullptr, nullptr, 0, size, kCommit, true, size, false},
  };
  int n = 0;
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    const std::string dest = local.File("row" + std::to_string(++n));
    if (r.before) WriteFile(dest, r.before);
    M how = r.mode == rmAppend ? M::Append : M::Replace;
    if (r.kept) KeepPartial(dest, how, *r.kept, big, static_cast<size_t>(r.keptBytes));
    s.Rec.Logs.clear();
    s.Client.FileType = ftBinary;
    s.Client.ExpectedSize = r.expected;
    if (r.id) s.Client.ResumeIdentity = *r.id;
    s.Client.HoldLocalFile = r.hold != kNoHold;
    size_t errors = s.Rec.Errors.size();
    const uint64_t deferred = TPendingDurability::Added;
    EXPECT_EQ(s.Fetch("big.bin", dest, r.mode), r.done) << s.Rec.Sequence();
    s.Client.HoldLocalFile = false;
    EXPECT_EQ(s.Client.BytesTransferred(), r.received);
    EXPECT_EQ(s.Restarted(), r.kept == &same && r.id == &same);
    const std::string old = r.before ? r.before : "";
    const std::string whole = r.mode == rmAppend ? old + big : big;
    if (!r.done) {
      ASSERT_EQ(s.Rec.Errors.size(), errors + 1);
      EXPECT_EQ(s.Rec.Errors.back().Code, kFtpShortTransfer);
      EXPECT_EQ(*s.Rec.Errors.back().Text, "Transfer of big.bin incomplete: " + std::to_string(size) + " of " +
                                                std::to_string(size + 1) + " bytes");
      EXPECT_EQ(ReadFile(dest), old);
    } else if (r.hold != kNoHold) {
      EXPECT_TRUE(s.Client.HoldsLocalFile());
      EXPECT_EQ(ReadFile(dest), old);  // untouched until the caller decides
      if (r.hold == kCommit) {
        EXPECT_EQ(s.Client.CommitHeldFile(), 0);
        EXPECT_TRUE(ReadFile(dest) == whole);
      } else {
        s.Client.DiscardHeldFile();
        EXPECT_EQ(ReadFile(dest), old);
      }
      EXPECT_FALSE(s.Client.HoldsLocalFile());
    } else {
      EXPECT_TRUE(ReadFile(dest) == whole) << ReadFile(dest).size() << " bytes";
    }
    // A file the caller holds (it may delete the remote copy next) is never left to a later
    // sync; one the engine puts in place by itself is.
    EXPECT_EQ(TPendingDurability::Added - deferred, r.done && r.hold == kNoHold && r.mode == rmReplace ? 1u : 0u);
    std::set<std::string> left = FolderNames(local.Path());
    const std::string part = ".row" + std::to_string(n) + ".quodra-part";
    EXPECT_EQ(left.count(part) == 1, r.partialLeft);
    EXPECT_EQ(left.count(".row" + std::to_string(n) + ".quodra-resume") == 1, r.partialLeft);
    if (r.partialLeft) {
      EXPECT_EQ(ReadFile(local.File(part)).size(), big.size());
    }
    EXPECT_EQ(left.count(".row" + std::to_string(n) + ".quodra-journal"), 0u);
  }

  // ASCII never resumes: the kept partial is dropped and the text comes whole.
  const std::string text = local.File("text.txt");
  KeepPartial(text, M::Replace, {same.Server, "text.txt", 8, ""}, "one\r\n", 5);
  s.Rec.Logs.clear();
  s.Client.FileType = ftAscii;
  s.Client.ResumeIdentity = {same.Server, "text.txt", 8, ""};
  ASSERT_TRUE(s.Fetch("text.txt", text, rmReplace)) << s.Rec.Sequence();
  EXPECT_FALSE(s.Restarted());
  EXPECT_EQ(ReadFile(text), "one\ntwo\n");  // ASCII gives local line ends
  EXPECT_FALSE(FileExists(local.File(".text.txt.quodra-part")));
  EXPECT_FALSE(FileExists(local.File(".text.txt.quodra-resume")));

  // No remote file goes before every local file fetched so far is synced.
  ASSERT_GT(TPendingDurability::Pending(), 0u);
  size_t done = s.Rec.Count(fsCommandDone), errors = s.Rec.Errors.size();
  ASSERT_TRUE(s.Client.Delete("text.txt"));
  EXPECT_EQ(TPendingDurability::Pending(), 0u);
  ASSERT_TRUE(s.Await(fsCommandDone, done, errors)) << s.Rec.Sequence();
  EXPECT_FALSE(FileExists(root.File("text.txt")));
}

// Answers to SIZE and MDTM, one row each, in one session: TYPE I goes out once, a 5xx is an
// unknown value and no error, an answer that is no number is unknown too.
TEST(FtpResume, FileFactsAnswers) {
  struct Row {
    const char* name;
    const char* sizeReply;
    const char* mdtmReply;
    int64_t size;
    const char* modTime;
  };
  const Row rows[] = {
      {"a.bin", "213 1234", "213 20240131120000.123", 1234, "20240131120000"},
      {"folder", "550 not a plain file", "550 not a plain file", -1, ""},
      {"old.bin", "502 unknown command", "213 19991231235959", -1, "19991231235959"},
      {"odd.bin", "213 12x", "213 2024", -1, ""},
      {"huge.bin", "213 99999999999999999999999", "500 unknown", -1, ""},
      {"big.iso", "213 5000000000", "504 not for this type", 5000000000LL, ""},
  };
  std::vector<std::string> steps = kLogin;
  steps.insert(steps.end(), {"expect TYPE I", "send 200 binary", "expect FEAT", "send 502 not implemented"});
  for (const Row& r : rows) {
    steps.push_back(std::string("expect SIZE ") + r.name);
    steps.push_back(std::string("send ") + r.sizeReply);
    steps.push_back(std::string("expect MDTM ") + r.name);
    steps.push_back(std::string("send ") + r.mdtmReply);
  }
  steps.insert(steps.end(), {"expect SIZE gone", "send 421 closing down"});
  TScriptedFtpServer server;
  ASSERT_TRUE(server.Start(steps)) << server.Log();
  TClientSession s;
  s.Connect(server.PortText());
  ASSERT_TRUE(s.LogIn());
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    ASSERT_TRUE(s.Facts(r.name)) << s.Rec.Sequence() << "\n" << server.Log();
    EXPECT_EQ(s.Client.RemoteSize(), r.size);
    EXPECT_EQ(s.Client.RemoteModTime(), r.modTime);
  }
  EXPECT_TRUE(s.Rec.Errors.empty());
  EXPECT_FALSE(s.Client.FileFacts("bad\r\nDELE x"));
  // A 421 ends the session as it does for any command: no facts.
  size_t facts = s.Rec.Count(fsFileFacts);
  ASSERT_TRUE(s.Client.FileFacts("gone"));
  ASSERT_TRUE(WaitFor([&] { return !s.Client.Connected() && !s.Client.EventsPending(); }));
  EXPECT_EQ(s.Rec.Count(fsFileFacts), facts);
  EXPECT_TRUE(s.Rec.Has(fsLoggedOut));
}

// Facts from MLST where FEAT offers it with the size and modify facts: one command per file.
// The facts line is read whatever the order and case of its facts, with the reply code in
// front of it or not; a name with blanks is no fact. What MLST calls a link or a folder is
// asked with SIZE and MDTM. A FEAT without size or modify facts, and an MLST the server then
// does not understand, fall back to SIZE and MDTM for good.
TEST(FtpResume, MlstFactsAnswers) {
  std::vector<std::string> login = kLogin;
  login.insert(login.end(), {"expect TYPE I", "send 200 binary"});
  const std::vector<std::string> feat = {"expect FEAT", "send 211-Features:", "send  MDTM",
                                         "send  MLST type*;perm*;size*;modify*;", "send  SIZE", "send 211 End"};
  struct Row {
    const char* name;
    std::vector<std::string> script;  // the server's side for this name
    int64_t size;
    const char* modTime;
  };
  const Row rows[] = {
      {"a.bin", {"expect MLST a.bin", "send 250-Listing a.bin", "send  type=file;size=1234;modify=20240131120000.123; a.bin", "send 250 End"},
       1234, "20240131120000"},
      {"Up.bin", {"expect MLST Up.bin", "send 250-Listing", "send  Modify=20230101000000;Type=file;Size=7; /x/Up.bin", "send 250 End"},
       7, "20230101000000"},
      {"a b=c;.bin", {"expect MLST a b=c;.bin", "send 250-Listing", "send  type=file;size=3; a b=c;.bin", "send 250 End"}, 3, ""},
      {"coded.bin", {"expect MLST coded.bin", "send 250-Listing", "send 250-size=9;modify=20240101000000; coded.bin", "send 250 End"},
       9, "20240101000000"},
      {"gone.bin", {"expect MLST gone.bin", "send 550 no such file"}, -1, ""},
      {"odd.bin", {"expect MLST odd.bin", "send 250-Listing", "send  size=12x;modify=2024; odd.bin", "send 250 End"}, -1, ""},
      // A link's facts may be its own: SIZE and MDTM for it; a folder is one, with nothing to
      // retrieve (a server may not let the login into it); MLST again after either.
      {"link.bin", {"expect MLST link.bin", "send 250-Listing", "send  type=OS.unix=slink:/x/a.bin;size=5;modify=20240101000000; link.bin",
                    "send 250 End", "expect SIZE link.bin", "send 213 1234", "expect MDTM link.bin", "send 213 20240131120000"},
       1234, "20240131120000"},
      {"dir", {"expect MLST dir", "send 250-Listing", "send  type=dir;size=4096;modify=20240101000000; dir", "send 250 End"},
       -1, ""},
      {"after.bin", {"expect MLST after.bin", "send 250-Listing", "send  TYPE=File;size=8; after.bin", "send 250 End"}, 8, ""},
      // Offered, yet not understood: SIZE and MDTM from here on.
      {"late.bin", {"expect MLST late.bin", "send 500 unknown command", "expect SIZE late.bin", "send 213 5",
                    "expect MDTM late.bin", "send 213 20240101000000"}, 5, "20240101000000"},
      {"next.bin", {"expect SIZE next.bin", "send 213 6", "expect MDTM next.bin", "send 213 20240102000000"},
       6, "20240102000000"},
  };
  const std::vector<std::string> noSizeFact = {"expect FEAT", "send 211-Features:", "send  MLST type*;perm*;",
                                               "send 211 End", "expect SIZE f", "send 213 4", "expect MDTM f",
                                               "send 213 20260101000000"};
  for (int session = 0; session < 2; ++session) {
    SCOPED_TRACE(session == 0 ? "MLST offered" : "MLST without size");
    std::vector<std::string> steps = login;
    if (session == 0) {
      steps.insert(steps.end(), feat.begin(), feat.end());
      for (const Row& r : rows) steps.insert(steps.end(), r.script.begin(), r.script.end());
    } else {
      steps.insert(steps.end(), noSizeFact.begin(), noSizeFact.end());
    }
    TScriptedFtpServer server;
    ASSERT_TRUE(server.Start(steps)) << server.Log();
    TClientSession s;
    s.Connect(server.PortText());
    ASSERT_TRUE(s.LogIn());
    if (session == 0) {
      for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        ASSERT_TRUE(s.Facts(r.name)) << s.Rec.Sequence() << "\n" << server.Log();
        EXPECT_EQ(s.Client.RemoteSize(), r.size);
        EXPECT_EQ(s.Client.RemoteModTime(), r.modTime);
        EXPECT_EQ(s.Client.RemoteIsFolder(), std::string(r.name) == "dir");
      }
    } else {
      ASSERT_TRUE(s.Facts("f")) << s.Rec.Sequence() << "\n" << server.Log();
      EXPECT_EQ(s.Client.RemoteSize(), 4);
      EXPECT_EQ(s.Client.RemoteModTime(), "20260101000000");
    }
    EXPECT_TRUE(s.Rec.Errors.empty());
    for (const std::string& line : server.Received()) EXPECT_NE(line.rfind("!", 0), 0u) << line;
  }
}

// The type a retrieve asks for: a session the server has put in that type (the facts just
// asked, the retrieve before) takes it as it is; after a listing (ASCII) or a retrieve of the
// other type, or before any, the retrieve says its type. The server's record is the whole
// dialogue.
TEST(FtpResume, ARetrieveSaysItsTypeOnlyWhenTheSessionIsInAnother) {
  enum TStep { kFacts, kList, kBinary, kAscii };
  const std::vector<std::string> facts = {"expect SIZE f", "send 213 4", "expect MDTM f", "send 213 20260101000000"};
  const std::vector<std::string> retr = {"expect PASV", "pasv 227 Entering Passive Mode (127,0,0,1,{p1},{p2})",
                                         "accept", "expect RETR f", "send 150 opening", "data abcd", "dataclose",
                                         "send 226 done"};
  const std::vector<std::string> list = {"expect PASV", "pasv 227 Entering Passive Mode (127,0,0,1,{p1},{p2})",
                                         "accept", "expect NLST", "send 150 opening", "data f\r\n", "dataclose",
                                         "send 226 done"};
  auto join = [](std::initializer_list<std::vector<std::string>> parts) {
    std::vector<std::string> all;
    for (const auto& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
  };
  const std::vector<std::string> typeI = {"expect TYPE I", "send 200 binary"};
  const std::vector<std::string> feat = {"expect FEAT", "send 500 unknown"};  // asked before the first facts
  const std::vector<std::string> typeA = {"expect TYPE A", "send 200 ascii"};
  const struct {
    const char* Name;
    std::vector<TStep> Steps;
    std::vector<std::string> Script;  // after the login
  } rows[] = {
      {"facts, then a binary retrieve", {kFacts, kBinary}, join({typeI, feat, facts, retr})},
      {"facts, a listing, a binary retrieve", {kFacts, kList, kBinary}, join({typeI, feat, facts, typeA, list, typeI, retr})},
      {"facts, then an ASCII retrieve", {kFacts, kAscii}, join({typeI, feat, facts, typeA, retr})},
      {"two binary retrieves without facts", {kBinary, kBinary}, join({typeI, retr, retr})},
      {"a binary retrieve after an ASCII one", {kAscii, kBinary, kBinary}, join({typeA, retr, typeI, retr, retr})},
      {"facts for each of two retrieves", {kFacts, kBinary, kFacts, kBinary}, join({typeI, feat, facts, retr, facts, retr})},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.Name);
    std::vector<std::string> steps = kLogin;
    steps.insert(steps.end(), r.Script.begin(), r.Script.end());
    TScriptedFtpServer server;
    ASSERT_TRUE(server.Start(steps)) << server.Log();
    TTempDir local;
    TClientSession s;
    s.Connect(server.PortText());
    ASSERT_TRUE(s.LogIn());
    for (TStep step : r.Steps) {
      if (step == kFacts) {
        ASSERT_TRUE(s.Facts("f")) << s.Rec.Sequence() << "\n" << server.Log();
      } else if (step == kList) {
        size_t lists = s.Rec.Count(fsTextReady);
        ASSERT_TRUE(s.Client.ListDir("", false));
        ASSERT_TRUE(s.Await(fsTextReady, lists, 0)) << s.Rec.Sequence() << "\n" << server.Log();
      } else {
        s.Client.FileType = step == kAscii ? ftAscii : ftBinary;
        ASSERT_TRUE(s.Fetch("f", local.File("f"), rmReplace)) << s.Rec.Sequence() << "\n" << server.Log();
        EXPECT_EQ(ReadFile(local.File("f")), "abcd");
      }
    }
    for (const std::string& line : server.Received()) EXPECT_NE(line.rfind("!", 0), 0u) << line;
  }
}

// Replies of a server that a real one does not give on request, one retrieve each, in one
// session: a refused REST, or a retrieve refused after it, starts over; a 226 after a short
// stream fails with 103; a cut transfer keeps its partial, which the next retrieve continues.
TEST(FtpResume, ScriptedRestRefusedShortAndCutTransfers) {
  TResumeTinyFiles tiny;
  // The session is in binary type from the first retrieve on: only that one says TYPE I.
  auto retr = [](const std::string& name, const std::vector<std::string>& middle, const std::vector<std::string>& tail) {
    std::vector<std::string> s = {"expect PASV", "pasv 227 Entering Passive Mode (127,0,0,1,{p1},{p2})", "accept"};
    s.insert(s.end(), middle.begin(), middle.end());
    s.insert(s.end(), {"expect RETR " + name, "send 150 opening"});
    s.insert(s.end(), tail.begin(), tail.end());
    return s;
  };
  const std::vector<std::string> restThenRefusal = {
      "expect PASV", "pasv 227 Entering Passive Mode (127,0,0,1,{p1},{p2})",
      "accept", "expect REST 4", "send 350 restarting at 4", "expect RETR denied", "resetdata", "sleep 200",
      "send 451 Restart not permitted",
      "expect PASV", "pasv 227 Entering Passive Mode (127,0,0,1,{p1},{p2})", "accept", "expect REST 0",
      "send 350 restarting at 0", "expect RETR denied", "send 150 opening", "data whole file", "dataclose",
      "send 226 done"};
  std::vector<std::string> steps = kLogin;
  steps.insert(steps.end(), {"expect TYPE I", "send 200 binary"});
  for (auto part : {retr("refused", {"expect REST 4", "send 502 REST not implemented"},
                         {"data whole file", "dataclose", "send 226 done"}),
                    restThenRefusal,
                    retr("short", {}, {"data part", "dataclose", "send 226 done"}),
                    retr("cut", {}, {"data abcd", "dataclose", "send 426 connection lost"}),
                    retr("cut", {"expect REST 4", "send 350 restarting at 4"}, {"data efghij", "dataclose", "send 226 done"})})
    steps.insert(steps.end(), part.begin(), part.end());
  TScriptedFtpServer server;
  ASSERT_TRUE(server.Start(steps)) << server.Log();
  TTempDir local;
  TClientSession s;
  s.Connect(server.PortText());
  ASSERT_TRUE(s.LogIn());
  const std::string srv = "127.0.0.1:" + server.PortText();

  // REST refused: the kept bytes go, the file comes whole.
  const std::string refused = local.File("refused");
  KeepPartial(refused, TLocalOutputFile::TMode::Replace, {srv, "refused", 10, ""}, "whole file", 4);
  s.Client.ResumeIdentity = {srv, "refused", 10, ""};
  s.Client.ExpectedSize = 10;
  ASSERT_TRUE(s.Fetch("refused", refused, rmReplace)) << s.Rec.Sequence() << "\n" << server.Log();
  EXPECT_EQ(ReadFile(refused), "whole file");
  EXPECT_NE(std::find(s.Rec.Notices.begin(), s.Rec.Notices.end(), "Server refused REST: starting refused over"),
            s.Rec.Notices.end());

  // REST taken, the retrieve from there refused: likewise, on a new data connection.
  const std::string denied = local.File("denied");
  KeepPartial(denied, TLocalOutputFile::TMode::Replace, {srv, "denied", 10, ""}, "whole file", 4);
  s.Client.ResumeIdentity = {srv, "denied", 10, ""};
  s.Client.ExpectedSize = 10;
  ASSERT_TRUE(s.Fetch("denied", denied, rmReplace)) << s.Rec.Sequence() << "\n" << server.Log();
  EXPECT_EQ(ReadFile(denied), "whole file");
  EXPECT_NE(std::find(s.Rec.Notices.begin(), s.Rec.Notices.end(),
                      "Server refused to resume denied (451 Restart not permitted): starting it over"),
            s.Rec.Notices.end());

  // 226 after 4 of 10 bytes: not done, the destination as it was.
  const std::string shortFile = local.File("short");
  WriteFile(shortFile, "old");
  s.Client.ExpectedSize = 10;
  EXPECT_FALSE(s.Fetch("short", shortFile, rmReplace));
  ASSERT_FALSE(s.Rec.Errors.empty());
  EXPECT_EQ(s.Rec.Errors.back().Code, kFtpShortTransfer);
  EXPECT_EQ(*s.Rec.Errors.back().Text, "Transfer of short incomplete: 4 of 10 bytes");
  EXPECT_EQ(ReadFile(shortFile), "old");

  // Cut after 4 bytes: the partial stays, and the next attempt asks only for the rest.
  const std::string cut = local.File("cut");
  s.Client.ResumeIdentity = {srv, "cut", 10, "20260101000000"};
  EXPECT_FALSE(s.Fetch("cut", cut, rmAppend));
  EXPECT_EQ(s.Rec.Errors.back().Code, 426);
  EXPECT_FALSE(FileExists(cut));
  EXPECT_EQ(ReadFile(local.File(".cut.quodra-part")), "abcd");
  s.Client.ResumeIdentity = {srv, "cut", 10, "20260101000000"};
  s.Client.ExpectedSize = 10;
  ASSERT_TRUE(s.Fetch("cut", cut, rmAppend)) << s.Rec.Sequence() << "\n" << server.Log();
  EXPECT_EQ(ReadFile(cut), "abcdefghij");
  EXPECT_EQ(FolderNames(local.Path()), (std::set<std::string>{"cut", "denied", "refused", "short"}));
}

// Every way a resumable retrieve can fail keeps the bytes that arrived, with their record, and
// leaves the destination as it was.
TEST(FtpResume, EveryFailureKeepsTheResumablePartial) {
  TResumeTinyFiles tiny;
  struct Row {
    const char* name;
    std::vector<std::string> tail;  // after the 150
    bool abort;                      // the user aborts once the bytes are in
  };
  const std::vector<Row> rows = {
      {"the server reports a failure", {"data abcd", "dataclose", "send 426 connection lost"}, false},
      {"the server falls silent", {"data abcd", "hold"}, false},
      {"the control connection drops", {"data abcd", "sleep 200", "close"}, false},
      {"the user aborts", {"data abcd", "expect ABOR", "dataclose", "send 426 aborted", "send 226 abort ok"}, true},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    std::vector<std::string> steps = kLogin;
    steps.insert(steps.end(), {"expect TYPE I", "send 200 binary", "expect PASV",
                               "pasv 227 Entering Passive Mode (127,0,0,1,{p1},{p2})", "accept", "expect RETR f",
                               "send 150 opening"});
    steps.insert(steps.end(), r.tail.begin(), r.tail.end());
    TScriptedFtpServer server;
    ASSERT_TRUE(server.Start(steps)) << server.Log();
    TTempDir local;
    const std::string dest = local.File("f");
    WriteFile(dest, "old");
    TClientSession s;
    s.Connect(server.PortText());
    s.Client.TransferTimeout = 6;
    ASSERT_TRUE(s.LogIn());
    s.Client.ResumeIdentity = {"127.0.0.1:" + server.PortText(), "f", 10, ""};
    ASSERT_TRUE(s.Client.Retrieve("f", dest, rmAppend));
    if (r.abort) {
      ASSERT_TRUE(WaitFor([&] { return s.Client.BytesTransferred() == 4; }));
      ASSERT_TRUE(s.Client.Abort());
    }
    ASSERT_TRUE(WaitFor([&] {
      return !s.Client.InProgress() && !s.Client.EventsPending() &&
             std::any_of(s.Rec.Notices.begin(), s.Rec.Notices.end(),
                         [](const std::string& n) { return n.rfind("Partial download of ", 0) == 0; });
    })) << s.Rec.Sequence();
    EXPECT_FALSE(s.Rec.Has(fsTransferDone));
    EXPECT_EQ(ReadFile(dest), "old");
    EXPECT_EQ(ReadFile(local.File(".f.quodra-part")), "abcd");
    EXPECT_NE(std::find(s.Rec.Notices.begin(), s.Rec.Notices.end(), "Partial download of " + dest + " kept: 4 bytes, resumable"),
              s.Rec.Notices.end());
    quodra::host::TResumeRecord record;
    ASSERT_TRUE(quodra::host::ReadResumeRecord(local.File(".f.quodra-resume"), record));
    EXPECT_EQ(record.Checked, 4u);
  }
}
