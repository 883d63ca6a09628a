// Logins against servers set up otherwise than the usual fixture: several host keys, a second
// login after the key, no algorithm in common, no SFTP to be had. One row per setup that a
// session once failed or misreported.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>

#include "host/event_wait.h"
#include "jobs/sftp_remote_side.h"
#include "sftp/sftp_client.h"
#include "support/sshd_server_fixture.h"

using namespace quodra::sftp;
using namespace quodra::test;

namespace {

size_t OpenDescriptors() {
  size_t n = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) ++n;
  return n;
}

struct TRow {
  const char* Sentence;
  TSshdServer::TOptions Server;
  std::string PinKind;  // the host key kind whose fingerprint the profile pins; "-" a foreign one
  bool OtherUser;       // log in as a user with a password (needs root), else the current user
  std::string Password;
  TSftpStatus Status;
  quodra::jobs::TFailureKind Kind;   // as the walk treats it (retry or not)
  std::vector<std::string> InText;   // parts of the reply's text, "#KIND" a key's fingerprint
  std::vector<std::string> Logged;   // parts of login lines
};

TEST(SftpServerSetups, LoginsAgainstServersSetUpOtherwise) {
  using quodra::jobs::TFailureKind;
  TSshdServer::TOptions threeKeys;
  threeKeys.MoreHostKeyTypes = {"ecdsa", "rsa"};
  TSshdServer::TOptions threeKeysOneAtATime = threeKeys;  // drops a connection while another is not logged in
  threeKeysOneAtATime.ExtraConfig = {"MaxStartups 1:100:1"};
  TSshdServer::TOptions keyThenPassword;
  keyThenPassword.ExtraConfig = {"AuthenticationMethods publickey,password"};
  TSshdServer::TOptions keyThenPrompt;
  keyThenPrompt.KeyboardInteractiveOnly = true;
  keyThenPrompt.ExtraConfig = {"AuthenticationMethods publickey,keyboard-interactive"};
  TSshdServer::TOptions newKexOnly;
  newKexOnly.ExtraConfig = {"KexAlgorithms sntrup761x25519-sha512@openssh.com"};
  TSshdServer::TOptions noSftp;
  noSftp.SftpSubsystem = "-";
  TSshdServer::TOptions forcedCommand;
  forcedCommand.ExtraConfig = {"ForceCommand /bin/echo Welcome"};
  TSshdServer::TOptions noSessions;
  noSessions.ExtraConfig = {"MaxSessions 0"};
  const std::string pw = "pass word 1";
  const std::vector<TRow> rows = {
      {"a pinned RSA key of a server that shows its ed25519 key first", threeKeys, "rsa", false, "", TSftpStatus::Ok,
       TFailureKind::None, {}, {}},
      {"a pinned ECDSA key likewise", threeKeys, "ecdsa", false, "", TSftpStatus::Ok, TFailureKind::None, {}, {}},
      {"likewise where the server takes one connection at a time until its login", threeKeysOneAtATime, "rsa", false,
       "", TSftpStatus::Ok, TFailureKind::None, {}, {}},
      {"a pin of none of its keys names every key the server has", threeKeys, "-", false, "", TSftpStatus::HostKey,
       TFailureKind::Permanent, {"#", "#ecdsa", "#rsa", "(ssh-rsa)"}, {}},
      {"key, then password: the profile's password completes the login", keyThenPassword, "", true, pw,
       TSftpStatus::Ok, TFailureKind::None, {}, {"accepted the key of", "Login with password"}},
      {"key, then password, none in the profile: refused, saying what is missing", keyThenPassword, "", true, "",
       TSftpStatus::Refused, TFailureKind::Permanent, {"accepted the key", "asks for a password too"}, {}},
      {"key, then PAM's prompt: answered with the password", keyThenPrompt, "", true, pw, TSftpStatus::Ok,
       TFailureKind::None, {}, {"Login with keyboard-interactive password"}},
      {"no key exchange in common: no retry, and the methods named", newKexOnly, "", false, "", TSftpStatus::Failed,
       TFailureKind::Permanent, {"no algorithm in common", "sntrup761x25519"}, {}},
      {"a server without SFTP says so, no retry", noSftp, "", false, "", TSftpStatus::Failed, TFailureKind::Permanent,
       {"The server offers no SFTP"}, {}},
      {"a forced command in the way of SFTP is named as a cause", forcedCommand, "", false, "", TSftpStatus::Failed,
       TFailureKind::Permanent, {"SFTP did not start", "forced command"}, {}},
      {"a server that opens no channel says so", noSessions, "", false, "", TSftpStatus::Failed,
       TFailureKind::Permanent, {"refused a channel for SFTP"}, {}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.Sentence);
    TSystemUser user;
    if (row.OtherUser && !user.Create(pw)) {
      std::printf("skipped (needs root): %s\n", row.Sentence);
      continue;
    }
    TSshdServer server;
    ASSERT_TRUE(server.Start(row.Server)) << server.Log();
    TSftpSettings s;
    s.Host = "127.0.0.1";
    s.Port = std::to_string(server.Port());
    s.User = row.OtherUser ? user.Name() : TSshdServer::UserName();
    s.Password = row.Password;
    s.PrivateKeyFile = server.AddClientKey("id", "ed25519");
    s.KnownHostsFile = server.Folder().File("no_known_hosts");
    s.HostKeyFingerprint = row.PinKind == "-" ? "SHA256:AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA"
                                              : server.HostKeyFingerprint(row.PinKind);
    s.ConnectTimeoutMs = s.TransferTimeoutMs = 20000;
    const size_t fdsBefore = OpenDescriptors();
    auto client = std::make_unique<TSftpClient>();
    std::vector<std::string> logged;
    client->OnLog = [&](const std::string& line) { logged.push_back(line); };
    const TSftpReply r = client->OpenAndWait(s);
    quodra::host::ProcessPendingEvents();  // the login's lines come as events
    EXPECT_EQ(r.Status, row.Status) << r.Text << "\n" << server.Log();
    EXPECT_EQ(quodra::jobs::SftpFailureKind(r.Status), row.Kind);
    for (std::string part : row.InText) {
      if (part.front() == '#') part = server.HostKeyFingerprint(part.substr(1));
      EXPECT_NE(r.Text.find(part), std::string::npos) << part << "\n" << r.Text;
    }
    for (const auto& part : row.Logged) {
      bool found = false;
      for (const auto& l : logged) found = found || l.find(part) != std::string::npos;
      EXPECT_TRUE(found) << part << "\n" << ::testing::PrintToString(logged);
    }
    if (r.Ok()) {
      std::vector<TSftpEntry> entries;
      EXPECT_TRUE(client->ListAndWait("/", entries).Ok());  // the session works, not only the login
    }
    client.reset();
    EXPECT_EQ(OpenDescriptors(), fdsBefore);  // every connection made for the login is closed
  }
}

}  // namespace
