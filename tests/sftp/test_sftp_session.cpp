// The SFTP session against a real OpenSSH server: logins and host keys as a table, then
// the file operations, a cut connection and Abort.
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <functional>
#include <map>

#include "host/clock.h"
#include "host/event_wait.h"
#include "host/local_output_file.h"
#include "sftp/sftp_client.h"
#include "sftp/sftp_connection.h"
#include "support/sshd_server_fixture.h"

using namespace quodra::sftp;
using namespace quodra::test;
using quodra::host::TLocalOutputFile;

namespace {

class SftpSession : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(Server.Start()) << Server.Log();
    KeyPath = Server.AddClientKey("id_ed25519", "ed25519");
    Server.WriteKnownHosts(KnownHosts(), false);
  }
  std::string KnownHosts() const { return Client.File("known_hosts"); }
  TSftpSettings Settings() const {
    TSftpSettings s;
    s.Host = "127.0.0.1";
    s.Port = std::to_string(Server.Port());
    s.User = TSshdServer::UserName();
    s.PrivateKeyFile = KeyPath;
    s.KnownHostsFile = KnownHosts();
    s.ConnectTimeoutMs = 20000;
    s.TransferTimeoutMs = 20000;
    return s;
  }
  std::string Remote(const std::string& name) const { return Files.File(name); }

  TSshdServer Server;
  TTempDir Client;  // the client's side: known_hosts, destinations
  TTempDir Files;   // the remote files, reached by absolute paths
  std::string KeyPath;
};

// A TCP listener that never accepts: connections complete in the kernel and then hear nothing.
class TMuteListener {
 public:
  TMuteListener() {
    Fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(Fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(Fd, 8);
    socklen_t len = sizeof a;
    ::getsockname(Fd, reinterpret_cast<sockaddr*>(&a), &len);
    PortNumber = ntohs(a.sin_port);
  }
  ~TMuteListener() { ::close(Fd); }
  int Port() const { return PortNumber; }

 private:
  int Fd = -1;
  int PortNumber = 0;
};

TEST_F(SftpSession, LoginsAndHostKeys) {
  TMuteListener Mute;
  TRefusingTcpPort Closed;
  std::string rsaKey = Server.AddClientKey("id_rsa", "rsa");
  std::string lockedKey = Server.AddClientKey("id_locked", "ed25519", "open sesame");
  std::string strangerKey = Client.File("id_stranger");
  ASSERT_EQ(RunCommand({"ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f", strangerKey}), 0);
  TSshAgent agent;
  ASSERT_TRUE(agent.Start());
  ASSERT_TRUE(agent.Add(rsaKey));
  TSystemUser user;
  const bool asRoot = user.Create("pass word 1");
  const std::string fp = Server.HostKeyFingerprint();
  ASSERT_EQ(fp.rfind("SHA256:", 0), 0u) << fp;

  struct TRow {
    const char* Sentence;
    std::function<void(TSftpSettings&)> Setup;
    TSftpStatus Expected;
    std::string InText;
    bool NeedsRoot = false;
  };
  const std::vector<TRow> rows = {
      {"an ed25519 key logs in", [](TSftpSettings&) {}, TSftpStatus::Ok, ""},
      {"an RSA key logs in (SHA-2 signatures)", [&](TSftpSettings& s) { s.PrivateKeyFile = rsaKey; }, TSftpStatus::Ok, ""},
      {"a key with its passphrase logs in",
       [&](TSftpSettings& s) { s.PrivateKeyFile = lockedKey; s.Password = "open sesame"; }, TSftpStatus::Ok, ""},
      {"a key without its passphrase fails without a prompt",
       [&](TSftpSettings& s) { s.PrivateKeyFile = lockedKey; }, TSftpStatus::Refused, "passphrase"},
      {"a key with a wrong passphrase fails",
       [&](TSftpSettings& s) { s.PrivateKeyFile = lockedKey; s.Password = "wrong"; }, TSftpStatus::Refused, "passphrase"},
      {"a key the server does not know is refused",
       [&](TSftpSettings& s) { s.PrivateKeyFile = strangerKey; }, TSftpStatus::Refused, "did not accept"},
      {"no key and no password: the agent's keys",
       [&](TSftpSettings& s) { s.PrivateKeyFile.clear(); s.AgentSocket = agent.Socket(); }, TSftpStatus::Ok, ""},
      {"a password logs in",
       [&](TSftpSettings& s) { s.PrivateKeyFile.clear(); s.User = user.Name(); s.Password = "pass word 1"; },
       TSftpStatus::Ok, "", true},
      {"a wrong password is refused",
       [&](TSftpSettings& s) { s.PrivateKeyFile.clear(); s.User = user.Name(); s.Password = "pass word 2"; },
       TSftpStatus::Refused, "password", true},
      {"the pinned fingerprint is enough, known_hosts or not",
       [&](TSftpSettings& s) { s.KnownHostsFile = Client.File("none"); s.HostKeyFingerprint = fp; }, TSftpStatus::Ok, ""},
      {"a pinned fingerprint pasted without prefix and with padding",
       [&](TSftpSettings& s) { s.KnownHostsFile = Client.File("none"); s.HostKeyFingerprint = " " + fp.substr(7) + "= "; },
       TSftpStatus::Ok, ""},
      {"a wrong pinned fingerprint ends it, naming the server's",
       [&](TSftpSettings& s) { s.HostKeyFingerprint = "SHA256:AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA"; },
       TSftpStatus::HostKey, fp},
      {"an unknown host key ends it, naming its fingerprint",
       [&](TSftpSettings& s) { s.KnownHostsFile = Client.File("none"); }, TSftpStatus::HostKey, fp},
      {"a changed host key ends it with a warning",
       [&](TSftpSettings& s) {
         Server.WriteKnownHosts(Client.File("changed"), false, true);
         s.KnownHostsFile = Client.File("changed");
       },
       TSftpStatus::HostKey, "has changed"},
      {"a hashed known_hosts entry is found",
       [&](TSftpSettings& s) {
         Server.WriteKnownHosts(Client.File("hashed"), true);
         s.KnownHostsFile = Client.File("hashed");
       },
       TSftpStatus::Ok, ""},
      {"a server that never says a word runs into the connection time-out",
       [&](TSftpSettings& s) {
         s.Port = std::to_string(Mute.Port());
         s.ConnectTimeoutMs = 1500;
       },
       TSftpStatus::TimedOut, "time-out"},
      {"a closed port fails the connection",
       [&](TSftpSettings& s) { s.Port = std::to_string(Closed.Port()); }, TSftpStatus::Lost, "failed"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.Sentence);
    if (row.NeedsRoot && !asRoot) continue;
    TSftpSettings s = Settings();
    row.Setup(s);
    TSftpClient client;
    std::vector<std::string> lines;
    client.OnLog = [&](const std::string& l) { lines.push_back(l); };
    TSftpReply r = client.OpenAndWait(s);
    EXPECT_EQ(static_cast<int>(r.Status), static_cast<int>(row.Expected)) << r.Text << "\n" << Server.Log();
    EXPECT_NE(r.Text.find(row.InText), std::string::npos) << r.Text;
    EXPECT_EQ(client.IsOpen(), row.Expected == TSftpStatus::Ok);
    if (r.Ok()) {
      std::vector<TSftpEntry> entries;
      EXPECT_TRUE(client.ListAndWait(".", entries).Ok());
    }
  }
  // Nothing was ever added to a known_hosts file.
  EXPECT_FALSE(FileExists(Client.File("none")));
  Server.WriteKnownHosts(Client.File("expected"), false);
  EXPECT_EQ(ReadFile(KnownHosts()), ReadFile(Client.File("expected")));
}

TEST_F(SftpSession, ListStatFetchDelete) {
  const std::string data = PatternBytes(3 * 1024 * 1024 + 12345, 7);
  WriteFile(Remote("a.csv"), data);
  WriteFile(Remote("empty.csv"), "");
  std::filesystem::create_directory(Remote("sub.csv"));
  std::filesystem::create_symlink(Remote("sub.csv"), Remote("tosub.csv"));
  std::filesystem::create_symlink(Remote("a.csv"), Remote("toa.csv"));
  std::filesystem::create_symlink(Remote("gone"), Remote("dangling.csv"));
  TSftpClient client;
  ASSERT_TRUE(client.OpenAndWait(Settings()).Ok());

  std::vector<TSftpEntry> entries;
  ASSERT_TRUE(client.ListAndWait(Files.Path(), entries).Ok());
  std::map<std::string, TSftpEntry> byName;
  for (const auto& e : entries) byName[e.Name] = e;
  EXPECT_EQ(byName.size(), 6u);  // no "." or ".."
  struct TKindRow { const char* Name; TEntryKind Kind; bool Link; int64_t Size; };
  for (const TKindRow& k : std::vector<TKindRow>{{"a.csv", TEntryKind::File, false, (int64_t)data.size()},
                                                  {"empty.csv", TEntryKind::File, false, 0},
                                                  {"sub.csv", TEntryKind::Folder, false, -2},
                                                  {"tosub.csv", TEntryKind::Folder, true, -2},
                                                  {"toa.csv", TEntryKind::File, true, (int64_t)data.size()},
                                                  {"dangling.csv", TEntryKind::Other, true, -2}}) {
    SCOPED_TRACE(k.Name);
    ASSERT_TRUE(byName.count(k.Name));
    EXPECT_EQ(static_cast<int>(byName[k.Name].Kind), static_cast<int>(k.Kind));
    EXPECT_EQ(byName[k.Name].Link, k.Link);
    if (k.Size >= 0) {
      EXPECT_EQ(byName[k.Name].Size, k.Size);
    }
  }
  struct stat st {};
  ::stat(Remote("a.csv").c_str(), &st);
  EXPECT_EQ(byName["a.csv"].MTime, st.st_mtime);

  TSftpEntry facts;
  ASSERT_TRUE(client.StatAndWait(Remote("a.csv"), facts).Ok());
  EXPECT_EQ(facts.Size, (int64_t)data.size());
  TSftpReply missing = client.StatAndWait(Remote("nothing"), facts);
  EXPECT_EQ(missing.Status, TSftpStatus::Failed) << missing.Text;
  EXPECT_NE(missing.Text.find("no such file"), std::string::npos) << missing.Text;

  // Whole files, an append after what is there, and a restart from an offset.
  struct TFetchRow {
    const char* Sentence;
    std::string Remote;
    std::string Before;
    TLocalOutputFile::TMode Mode;
    uint64_t Offset;
    std::string After;
  };
  const std::vector<TFetchRow> fetches = {
      {"a new file, whole", "a.csv", "", TLocalOutputFile::TMode::Replace, 0, data},
      {"an empty file", "empty.csv", "old", TLocalOutputFile::TMode::Replace, 0, ""},
      {"appended after the old bytes", "a.csv", "old", TLocalOutputFile::TMode::Append, 0, "old" + data},
      {"through a link to a file", "toa.csv", "", TLocalOutputFile::TMode::Replace, 0, data},
      {"resumed from an offset", "a.csv", data.substr(0, 1000001), TLocalOutputFile::TMode::WriteAt, 1000001, data},
  };
  for (const auto& f : fetches) {
    SCOPED_TRACE(f.Sentence);
    std::string dest = Client.File("dest");
    WriteFile(dest, f.Before);
    TLocalOutputFile out;
    ASSERT_EQ(out.Open(dest, f.Mode, f.Offset), 0);
    int64_t bytes = -1;
    TSftpReply r = client.FetchAndWait(Remote(f.Remote), f.Offset, out, bytes);
    ASSERT_TRUE(r.Ok()) << r.Text;
    ASSERT_EQ(out.Commit(), 0);
    EXPECT_EQ(bytes, (int64_t)(f.After.size() - (f.Mode == TLocalOutputFile::TMode::Append ? f.Before.size() : f.Offset)));
    EXPECT_TRUE(ReadFile(dest) == f.After);
  }
  {
    // A folder cannot be fetched; the session goes on.
    TLocalOutputFile out;
    ASSERT_EQ(out.Open(Client.File("dest"), TLocalOutputFile::TMode::Replace), 0);
    int64_t bytes = 0;
    TSftpReply r = client.FetchAndWait(Remote("sub.csv"), 0, out, bytes);
    EXPECT_FALSE(r.Ok());
    EXPECT_FALSE(r.SessionOver()) << r.Text;
    out.Rollback();
  }
  EXPECT_TRUE(client.DeleteAndWait(Remote("a.csv")).Ok());
  EXPECT_FALSE(FileExists(Remote("a.csv")));
  EXPECT_EQ(client.DeleteAndWait(Remote("a.csv")).Status, TSftpStatus::Failed);
  EXPECT_TRUE(client.IsOpen());
}

// Every read a fetch sends is answered and taken before the next request: an answer left in
// libssh's queue stays there for the rest of the session and every later request searches
// past it, so a folder of many small files took time growing with the square of their count.
// Files of every size around the read pipeline's edges, and a folder (whose reads fail),
// each fetched a few times on one session.
TEST_F(SftpSession, FetchesLeaveNoAnswerQueued) {
  const uint32_t chunk = TSftpConnection::kReadSize;
  struct TRow { const char* Name; std::string Data; };
  const std::vector<TRow> rows = {
      {"small", PatternBytes(100, 1)},
      {"empty", ""},
      {"one whole read", PatternBytes(chunk, 2)},
      {"one read and a byte", PatternBytes(chunk + 1, 3)},
      {"more than all reads in flight", PatternBytes(size_t{chunk} * (TSftpConnection::kReadsInFlight + 3) + 17, 4)},
  };
  for (const auto& row : rows) WriteFile(Remote(row.Name), row.Data);
  std::filesystem::create_directory(Remote("folder"));
  TSftpConnection session;
  ASSERT_TRUE(session.Open(Settings(), nullptr).Ok());
  for (int round = 0; round < 3; ++round) {
    for (const auto& row : rows) {
      SCOPED_TRACE(std::string(row.Name) + ", round " + std::to_string(round));
      const std::string dest = Client.File("dest");
      TLocalOutputFile out;
      ASSERT_EQ(out.Open(dest, TLocalOutputFile::TMode::Replace), 0);
      std::atomic<int64_t> bytes{0};
      TSftpReply r = session.Fetch(Remote(row.Name), 0, out, bytes);
      ASSERT_TRUE(r.Ok()) << r.Text;
      ASSERT_EQ(out.Commit(), 0);
      EXPECT_TRUE(ReadFile(dest) == row.Data);
      EXPECT_EQ(session.UnclaimedReplies(), 0u);
    }
    TLocalOutputFile out;
    ASSERT_EQ(out.Open(Client.File("dest"), TLocalOutputFile::TMode::Replace), 0);
    std::atomic<int64_t> bytes{0};
    TSftpReply r = session.Fetch(Remote("folder"), 0, out, bytes);
    EXPECT_FALSE(r.Ok());
    EXPECT_FALSE(r.SessionOver()) << r.Text;
    out.Rollback();
    EXPECT_EQ(session.UnclaimedReplies(), 0u);
  }
  TSftpEntry facts;
  EXPECT_TRUE(session.Stat(Remote("small"), facts).Ok());
  EXPECT_EQ(session.UnclaimedReplies(), 0u);
}

// A file on its way when the connection is cut or the user aborts: the request ends with
// the session, at once, and the caller's rollback leaves the destination as it was.
TEST(SftpSessionEnds, CutAndAbortMidFile) {
  TSshdServer server;
  TSshdServer::TOptions options;
  options.SlowBytesPerSecond = 512 * 1024;
  ASSERT_TRUE(server.Start(options)) << server.Log();
  TTempDir files, local;
  const std::string key = server.AddClientKey("id", "ed25519");
  server.WriteKnownHosts(local.File("known_hosts"), false);
  WriteFile(files.File("big"), PatternBytes(8 * 1024 * 1024, 3));

  // A server whose SFTP program dies at full speed, with answers of it still unread by the
  // client when the channel's close comes in (the next request finds the channel closed).
  TSshdServer dying;
  TSshdServer::TOptions dyingOptions;
  dyingOptions.CutAfterBytes = 3 * 1024 * 1024 + 4321;
  ASSERT_TRUE(dying.Start(dyingOptions)) << dying.Log();
  const std::string dyingKey = dying.AddClientKey("id", "ed25519");

  struct TRow {
    const char* Sentence;
    std::function<void(TSftpClient&)> Act;
    TSftpStatus Expected;
    int TransferTimeoutMs = 30000;
    bool Dying = false;  // against the server whose SFTP program dies by itself
  };
  auto signalSessions = [&](int sig) {
    for (pid_t p : server.SessionProcesses()) ::kill(p, sig);
  };
  const std::vector<TRow> rows = {
      {"the server's session process is killed", [&](TSftpClient&) { signalSessions(SIGKILL); }, TSftpStatus::Lost},
      {"the user aborts", [](TSftpClient& c) { c.Abort(); }, TSftpStatus::Aborted},
      {"the server falls silent", [&](TSftpClient&) { signalSessions(SIGSTOP); }, TSftpStatus::TimedOut, 1500},
      {"the server's SFTP program dies halfway through an answer", [](TSftpClient&) {}, TSftpStatus::Lost, 30000, true},
  };
  for (const auto& row : rows) {
    // Where the close of the channel comes in relative to the answers still unread is up to
    // the server's timing: the dying server is met several times.
    for (int attempt = 0; attempt < (row.Dying ? 12 : 1); ++attempt) {
      SCOPED_TRACE(std::string(row.Sentence) + ", attempt " + std::to_string(attempt));
      TSftpSettings s;
      s.Host = "127.0.0.1";
      s.Port = std::to_string(row.Dying ? dying.Port() : server.Port());
      s.User = TSshdServer::UserName();
      s.PrivateKeyFile = row.Dying ? dyingKey : key;
      s.KnownHostsFile = local.File("known_hosts");
      if (row.Dying) s.HostKeyFingerprint = dying.HostKeyFingerprint();
      s.ConnectTimeoutMs = 30000;
      s.TransferTimeoutMs = row.TransferTimeoutMs;
      TSftpClient client;
      ASSERT_TRUE(client.OpenAndWait(s).Ok());
      const std::string dest = local.File("dest");
      WriteFile(dest, "the old contents");
      TLocalOutputFile out;
      ASSERT_EQ(out.Open(dest, TLocalOutputFile::TMode::Append), 0);
      bool acted = false, done = false;
      TSftpReply reply;
      client.OnProgress = [&](int64_t bytes) {
        if (bytes > 0 && !acted) {
          acted = true;
          row.Act(client);
        }
      };
      ASSERT_TRUE(client.Fetch(files.File("big"), 0, out, [&](const TSftpReply& r, int64_t) {
        reply = r;
        done = true;
      }));
      ASSERT_TRUE(quodra::host::WaitUntil([&] { return done; }, quodra::host::NowMs() + 60000));
      signalSessions(SIGCONT);
      EXPECT_TRUE(acted);
      EXPECT_EQ(static_cast<int>(reply.Status), static_cast<int>(row.Expected)) << reply.Text;
      EXPECT_FALSE(client.IsOpen());
      EXPECT_EQ(out.Rollback(), 0);
      EXPECT_EQ(ReadFile(dest), "the old contents");
      // The session is over: a new request says so instead of hanging; a new login works.
      std::vector<TSftpEntry> entries;
      EXPECT_TRUE(client.ListAndWait(".", entries).SessionOver());
      TSftpReply again = client.OpenAndWait(s);
      EXPECT_TRUE(again.Ok()) << again.Text;
      EXPECT_TRUE(client.ListAndWait(files.Path(), entries).Ok());
    }
  }
}

// Servers that answer a read with fewer bytes than asked (a cap of their own): every byte
// still arrives once and in its place, from the start and from an offset.
TEST(SftpSessionShortReads, CappedReadsGiveTheWholeFile) {
  struct TRow {
    long Cap;
    size_t Size;  // of the session's first file: below one read of ours, past the cap, it
                  // ends before the second request's offset
  };
  const long halfRead = TSftpConnection::kReadSize / 2 + 7;
  for (const TRow& row : {TRow{1000, 1024 * 1024 + 4321}, TRow{halfRead, 1024 * 1024 + 4321},
                          TRow{halfRead, TSftpConnection::kReadSize - 5536}}) {
    const long cap = row.Cap;
    SCOPED_TRACE("cap " + std::to_string(cap) + ", size " + std::to_string(row.Size));
    TSshdServer server;
    TSshdServer::TOptions options;
    options.ReadCap = cap;
    ASSERT_TRUE(server.Start(options)) << server.Log();
    TTempDir files, local;
    const std::string key = server.AddClientKey("id", "ed25519");
    server.WriteKnownHosts(local.File("known_hosts"), false);
    const std::string data = PatternBytes(row.Size, 11);
    WriteFile(files.File("f"), data);
    TSftpSettings s;
    s.Host = "127.0.0.1";
    s.Port = std::to_string(server.Port());
    s.User = TSshdServer::UserName();
    s.PrivateKeyFile = key;
    s.KnownHostsFile = local.File("known_hosts");
    TSftpClient client;
    ASSERT_TRUE(client.OpenAndWait(s).Ok());
    // With the size the server gave (as the program fetches), without (a server that gives
    // none), and with one the file has outgrown since (written to between the two).
    const int64_t size = static_cast<int64_t>(row.Size);
    const uint64_t from = row.Size / 3;
    for (const auto& [offset, knownSize] : {std::pair<uint64_t, int64_t>{0, -1}, {from, -1}, {0, size}, {from, size},
                                            {0, size / 2}, {from, size / 2}}) {
      SCOPED_TRACE("offset " + std::to_string(offset) + ", known size " + std::to_string(knownSize));
      const std::string dest = local.File("dest");
      WriteFile(dest, data.substr(0, offset));
      TLocalOutputFile out;
      ASSERT_EQ(out.Open(dest, offset ? TLocalOutputFile::TMode::WriteAt : TLocalOutputFile::TMode::Replace, offset), 0);
      int64_t bytes = 0;
      TSftpReply r = client.FetchAndWait(files.File("f"), offset, out, bytes, knownSize);
      ASSERT_TRUE(r.Ok()) << r.Text;
      ASSERT_EQ(out.Commit(), 0);
      EXPECT_EQ(bytes, static_cast<int64_t>(data.size() - offset));
      EXPECT_TRUE(ReadFile(dest) == data);
    }
  }
}

// A server that takes passwords only through keyboard-interactive (PAM's "Password:" prompt):
// the profile's password answers the one prompt. Needs root for the throwaway user.
TEST(SftpKeyboardInteractive, PasswordAnswersTheSinglePrompt) {
  TSystemUser user;
  if (!user.Create("kbd pass 9")) GTEST_SKIP() << "needs root to create a user";
  TSshdServer server;
  TSshdServer::TOptions options;
  options.KeyboardInteractiveOnly = true;
  ASSERT_TRUE(server.Start(options)) << server.Log();
  TTempDir local;
  server.WriteKnownHosts(local.File("known_hosts"), false);
  struct TRow { const char* Sentence; std::string Password; TSftpStatus Expected; };
  for (const auto& row : std::vector<TRow>{{"the right password", "kbd pass 9", TSftpStatus::Ok},
                                            {"a wrong password", "kbd pass 8", TSftpStatus::Refused}}) {
    SCOPED_TRACE(row.Sentence);
    TSftpSettings s;
    s.Host = "127.0.0.1";
    s.Port = std::to_string(server.Port());
    s.User = user.Name();
    s.Password = row.Password;
    s.KnownHostsFile = local.File("known_hosts");
    TSftpClient client;
    std::vector<std::string> lines;
    client.OnLog = [&](const std::string& l) { lines.push_back(l); };
    TSftpReply r = client.OpenAndWait(s);
    EXPECT_EQ(static_cast<int>(r.Status), static_cast<int>(row.Expected)) << r.Text << "\n" << server.Log();
    quodra::host::ProcessPendingEvents();
    EXPECT_NE(std::find(lines.begin(), lines.end(), "Login with keyboard-interactive password"), lines.end());
  }
}

}  // namespace
