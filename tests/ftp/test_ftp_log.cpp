// The history log: when it writes, what it writes, and how it is attached.
#include <gtest/gtest.h>

#include "ftp/qp_ftp_client.h"
#include "ftp/qp_ftp_log.h"
#include "support/temp_dir.h"

using namespace quodra::ftp;
using quodra::test::FileExists;
using quodra::test::ReadFile;
using quodra::test::TTempDir;
using quodra::test::WriteFile;

TEST(FtpLog, WritesOnlyWhenEnabledAndNamed) {
  TTempDir dir;
  TQpFtpClient client;
  TQpFtpLog log;
  client.SetFtpLog(&log);
  log.FtpHistoryName = dir.File("hist.his");

  log.UpdateLog(lgTimeout);  // not enabled: no file at all
  EXPECT_FALSE(FileExists(log.FtpHistoryName));

  log.Enabled = true;
  log.FtpHistoryName.clear();
  log.UpdateLog(lgTimeout);
  log.FtpHistoryName = dir.File("hist.his");
  log.UpdateLog(lgTimeout);  // a missing file is created
  WriteFile(dir.File("old.his"), "earlier\n");
  log.FtpHistoryName = dir.File("old.his");
  log.UpdateLog(lgUserAbort);  // an existing one is appended to

  std::string created = ReadFile(dir.File("hist.his"));
  EXPECT_NE(created.find(" : Transfer timed out\n"), std::string::npos) << created;
  std::string appended = ReadFile(dir.File("old.his"));
  EXPECT_EQ(appended.rfind("earlier\n", 0), 0u);
  EXPECT_NE(appended.find(" : Transfer aborted by user\n"), std::string::npos) << appended;

  // A file that cannot be opened is ignored.
  log.FtpHistoryName = dir.File("no/such/folder/x.his");
  log.UpdateLog(lgClosed);
}

TEST(FtpLog, LineTextsQuoteTheClient) {
  TQpFtpClient client;
  TQpFtpLog log;
  log.SetFtpClient(&client);
  EXPECT_EQ(client.FtpLog(), &log);
  client.SetServerAddress("127.0.0.1");
  client.UserName = "ann";
  client.RestartAt = 1000;
  EXPECT_EQ(log.LineText(lgClosed), "Disconnected");
  EXPECT_EQ(log.LineText(lgOpened), "Connected to 127.0.0.1");
  EXPECT_EQ(log.LineText(lgLoggedOut), "ann logged out");
  EXPECT_EQ(log.LineText(lgLoggedIn), "ann logged in");
  EXPECT_EQ(log.LineText(lgTransferDone), "Transfer complete. 0 bytes Transferred");
  EXPECT_EQ(log.LineText(lgRestart), "Attempting re-transfer at 1000 bytes");
}

TEST(FtpLog, AttachingAndDetaching) {
  quodra::port::TQpBaseComponent owner;
  auto* client = new TQpFtpClient(&owner);
  // A log placed beside a client without one attaches itself.
  auto* log = new TQpFtpLog(&owner);
  EXPECT_EQ(client->FtpLog(), log);
  EXPECT_EQ(log->FtpClient(), client);
  // A second log finds the client taken.
  TQpFtpLog second(&owner);
  EXPECT_EQ(second.FtpClient(), nullptr);
  // Moving the client to the second log releases the first.
  client->SetFtpLog(&second);
  EXPECT_EQ(log->FtpClient(), nullptr);
  EXPECT_EQ(second.FtpClient(), client);
  delete log;
  EXPECT_EQ(client->FtpLog(), &second);
  // Destroying the client leaves the log without one; destroying the log detaches it.
  delete client;
  EXPECT_EQ(second.FtpClient(), nullptr);
  {
    TQpFtpClient c2;
    {
      TQpFtpLog l2;
      c2.SetFtpLog(&l2);
    }
    EXPECT_EQ(c2.FtpLog(), nullptr);
  }
}
