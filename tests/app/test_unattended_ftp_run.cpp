// The program itself running an FTP profile unattended against a local server: it prints
// its log, ends by itself, and its exit status tells whether every named file arrived.
#include <gtest/gtest.h>
#include <sys/stat.h>

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
