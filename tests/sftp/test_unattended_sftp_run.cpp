// The program itself, unattended, in mode S against a real OpenSSH server: the same walk,
// log texts and exit status as FTP, and the host-key rules. One row per kind of run.
#include <gtest/gtest.h>
#include <signal.h>

#include <QThread>
#include <filesystem>
#include <thread>

#include "app/piped_run.h"
#include "app/program_run.h"
#include "support/sshd_server_fixture.h"

using namespace quodra::test;

namespace {

struct TRow {
  const char* Sentence;
  std::vector<std::string> Keys;  // profile lines after the common ones
  bool Pin = true;                // HostKeyFingerprint of the server
  int Status;
  std::vector<std::string> Logged;     // lines the log must hold
  std::vector<std::string> NotLogged;  // and must not
  std::map<std::string, std::string> LocalAfter;  // destination files ("" : must not exist)
  std::vector<std::string> RemoteLeft;            // remote files still there afterwards
  std::vector<std::string> RemoteGone;
};

TEST(UnattendedSftpRun, WalkLogAndStatusAsForFtp) {
  TSshdServer server;
  ASSERT_TRUE(server.Start()) << server.Log();
  const std::string key = server.AddClientKey("id", "ed25519");
  const std::string fp = server.HostKeyFingerprint();
  const std::string a = PatternBytes(300000, 1), b = PatternBytes(5000, 2);
  const std::vector<TRow> rows = {
      {"a mask fetches every file and skips the folder and links among the matches, nothing deleted",
       {"SourceFile=*.csv", "Overwrite=Y", "DeleteRemote=N"}, true, 0,
       {"Connect Using SFTP!", "Source File:a.csv to Dest File:", "Transfer Completed OK", "Transferred a.csv to ",
        "Source File:sub.csv is not a regular file, skipped", "Source File:*.csv mask finished!"},
       {"Delete Host File:"}, {{"a.csv", a}, {"b.csv", b}, {"sub.csv", ""}, {"tosub.csv", ""}, {"dangling.csv", ""}},
       {"a.csv", "b.csv"}, {}},
      {"Delete remote file deletes exactly the files fetched", {"SourceFile=*.csv", "Overwrite=Y", "DeleteRemote=Y"},
       true, 0, {"Delete Host File:a.csv", "Delete Host File:b.csv"}, {}, {{"a.csv", a}, {"b.csv", b}},
       {"sub.csv", "other.txt"}, {"a.csv", "b.csv"}},
      {"append adds to what is there", {"SourceFile=b.csv", "Overwrite=N", "DeleteRemote=N", "@old"}, true, 0,
       {"Retrieve and Append"}, {}, {{"b.csv", "old" + b}}, {"b.csv"}, {}},
      {"a full disk while the bytes are appended fails the run, and the remote file stays",
       {"SourceFile=b.csv", "Overwrite=N", "DeleteRemote=Y", "@old", "@full"}, true, 1,
       {"Dest File:", "could not be written: File too large"}, {"Transfer Completed OK", "Delete Host File:"},
       {{"b.csv", "old"}}, {"b.csv"}, {}},
      {"a missing plain name fails the run", {"SourceFile=gone.csv;b.csv", "Overwrite=Y", "DeleteRemote=N"}, true, 1,
       {"Source File:gone.csv does not exist!", "Transferred b.csv"}, {}, {{"b.csv", b}}, {}, {}},
      {"a wrong pinned key ends the run before the login", {"SourceFile=*.csv", "HostKeyFingerprint=SHA256:x"}, false,
       1, {"does not match HostKeyFingerprint", fp}, {"Transfer Completed OK"}, {{"a.csv", ""}}, {"a.csv"}, {}},
      {"an unknown host key ends the run naming its fingerprint", {"SourceFile=*.csv"}, false, 1,
       {"Unknown host key", fp}, {"Transfer Completed OK"}, {{"a.csv", ""}}, {"a.csv"}, {}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.Sentence);
    TTempDir remote, dir;
    WriteFile(remote.File("a.csv"), a);
    WriteFile(remote.File("b.csv"), b);
    WriteFile(remote.File("other.txt"), "x");
    std::filesystem::create_directory(remote.File("sub.csv"));
    std::filesystem::create_symlink(remote.File("sub.csv"), remote.File("tosub.csv"));
    std::filesystem::create_symlink(remote.File("nowhere"), remote.File("dangling.csv"));
    std::filesystem::create_directory(dir.File("in"));
    std::filesystem::create_directory(dir.File("home"));
    std::string profile = "[Options]\r\nFileTransferMode=S\r\nServerName=127.0.0.1\r\nPort=" +
                          std::to_string(server.Port()) + "\r\nLogin=" + TSshdServer::UserName() +
                          "\r\nPrivateKeyFile=" + key + "\r\nDefaultFolder=" + remote.Path() +
                          "\r\nDestinationFile=" + dir.File("in/") + "\r\nTimeOut=400\r\nConnectTimeOut=400\r\n";
    if (row.Pin) profile += "HostKeyFingerprint=" + fp + "\r\n";
    rlim_t fileSizeLimit = RLIM_INFINITY;
    for (const auto& k : row.Keys) {
      if (k == "@old") {
        WriteFile(dir.File("in/b.csv"), "old");
        continue;
      }
      if (k == "@full") {  // room for the fetched bytes, not for them appended to the old ones
        fileSizeLimit = b.size() + 1;
        continue;
      }
      profile += k + "\r\n";
    }
    WriteFile(dir.File("job.FTP"), profile);
    // HOME points at an empty folder: known_hosts knows nothing of the server.
    TProgramRun r;
    if (fileSizeLimit == RLIM_INFINITY) {
      r = RunProgram(dir, dir.File("job.FTP"), {QString::fromStdString("HOME=" + dir.File("home"))});
    } else {
      TPipedRun piped = RunProgramIntoPipe(dir, dir.File("job.FTP"), 1 << 20, fileSizeLimit);
      r.Finished = piped.Exited;
      r.ExitCode = piped.Status;
      r.Output = piped.Read;
      r.Errors = piped.Errors;
    }
    ASSERT_TRUE(r.Finished);
    EXPECT_EQ(r.ExitCode, row.Status) << r.Output << r.Errors;
    if (std::getenv("SHOW_OUTPUT")) std::printf("%s\n", r.Output.c_str());
    for (const auto& line : row.Logged) EXPECT_NE(r.Output.find(line), std::string::npos) << line << "\n" << r.Output;
    for (const auto& line : row.NotLogged) EXPECT_EQ(r.Output.find(line), std::string::npos) << line << "\n" << r.Output;
    for (const auto& [name, bytes] : row.LocalAfter) {
      if (bytes.empty())
        EXPECT_FALSE(FileExists(dir.File("in/" + name))) << name;
      else
        EXPECT_TRUE(ReadFile(dir.File("in/" + name)) == bytes) << name;
    }
    for (const auto& name : row.RemoteLeft) EXPECT_TRUE(FileExists(remote.File(name))) << name;
    for (const auto& name : row.RemoteGone) EXPECT_FALSE(FileExists(remote.File(name))) << name;
    EXPECT_FALSE(FileExists(dir.File("home/.ssh/known_hosts")));  // never written
  }
}

}  // namespace
