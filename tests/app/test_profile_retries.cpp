// The retry keys of a profile: how hand-written values read, that profiles without them stay
// without them, and that the Server page carries them from the file to the job and back.
#include <QSpinBox>

#include "app/ftp_job.h"
#include "app/profile_file.h"
#include "test_main_frm_fixture.h"

using quodra::app::ReadProfile;
using quodra::app::TProfile;
using quodra::app::WriteProfile;
using quodra::test::ReadFile;
using quodra::test::TMainFrmTest;
using quodra::test::WriteFile;

namespace {

class ProfileRetries : public TMainFrmTest {};

}  // namespace

TEST_F(ProfileRetries, HandWrittenValuesReadWithTheProfileRulesAndStayInRange) {
  const struct {
    const char* Lines;
    int Retries, Delay;
  } rows[] = {
      {"", 0, 10},                                  // absent: today's behaviour
      {"Retries=\r\nRetryDelay=  \r\n", 0, 10},     // blank: the defaults too
      {"Retries=3\r\nRetryDelay=45\r\n", 3, 45},
      {"Retries= \"2\" \r\nRetryDelay='1,5'\r\n", 2, 15},  // quotes and digit groups as for time-outs
      {"Retries=-4\r\nRetryDelay=99999\r\n", 0, 300},      // held within 0..99 and 0..300
      {"Retries=abc\r\nRetryDelay=x\r\n", 0, 0},           // junk reads as 0, as the time-outs do
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.Lines);
    WriteFile(Profiles.File("r.FTP"), std::string("[Options]\r\nServerName=h\r\n") + row.Lines);
    TProfile p = ReadProfile(Profiles.File("r.FTP"));
    EXPECT_EQ(p.Retries, row.Retries);
    EXPECT_EQ(p.RetryDelay, row.Delay);
  }
}

TEST_F(ProfileRetries, OnlySetKeysAreWrittenAndTheJobTakesThemFromTheServerPage) {
  TProfile plain;
  plain.ServerName = "127.0.0.1";
  ASSERT_TRUE(WriteProfile(Profiles.File("plain.FTP"), plain));
  EXPECT_EQ(ReadFile(Profiles.File("plain.FTP")).find("Retr"), std::string::npos);

  TProfile set = plain;
  set.Retries = 5;
  set.RetryDelay = 30;
  ASSERT_TRUE(WriteProfile(Profiles.File("set.FTP"), set));
  EXPECT_NE(ReadFile(Profiles.File("set.FTP")).find("Retries=5\r\nRetryDelay=30\r\n"), std::string::npos);

  // Through the windows: loaded into the Server page, taken by the job when it starts, and
  // saved back unchanged; a profile without the keys saves without them.
  auto& f = Make();
  f.ProfilePath = Profiles.File("set.FTP");
  f.LoadProfile();
  EXPECT_EQ(Opt->Retries1->value(), 5);
  EXPECT_EQ(Opt->RetryDelay1->value(), 30);
  f.FileNumber = 1;
  f.FtpJob->GetNextFile();  // a walk without a session: the job reads its profile all the same
  EXPECT_EQ(f.FtpJob->Profile().Retries, 5);
  EXPECT_EQ(f.FtpJob->Profile().RetryDelay, 30);
  ASSERT_TRUE(f.SaveProfile());
  EXPECT_EQ(ReadProfile(Profiles.File("set.FTP")), set);

  f.ProfilePath = Profiles.File("plain.FTP");
  f.LoadProfile();
  EXPECT_EQ(Opt->Retries1->value(), 0);
  EXPECT_EQ(Opt->RetryDelay1->value(), 10);
  ASSERT_TRUE(f.SaveProfile());
  EXPECT_EQ(ReadFile(Profiles.File("plain.FTP")).find("Retr"), std::string::npos);
}
