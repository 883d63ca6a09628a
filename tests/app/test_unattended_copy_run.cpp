// The program itself, started as a scheduler starts it: a profile path on the command line,
// no display. It must print its log, end by itself and report the outcome as exit status.
#include <gtest/gtest.h>

#include "program_run.h"
#include "support/temp_dir.h"

using namespace quodra::test;

namespace {

std::string CopyProfile(const std::string& source, const std::string& dest, const char* deleteRemote) {
  return "[Options]\r\nFileTransferMode=C\r\nSourceFile=" + source + "\r\nDestinationFile=" + dest +
         "\r\nDeleteRemote=" + deleteRemote + "\r\n";
}

}  // namespace

TEST(UnattendedCopyRun, PrintsTheLogEndsByItselfAndExitsZero) {
  TTempDir dir;
  WriteFile(dir.File("in.txt"), "hello");
  WriteFile(dir.File("job.FTP"), CopyProfile(dir.File("in.txt"), dir.File("out.txt"), "Y"));
  TProgramRun r = RunProgram(dir, dir.File("job.FTP"));
  ASSERT_TRUE(r.Finished);
  EXPECT_EQ(r.ExitCode, 0) << r.Output;
  EXPECT_EQ(ReadFile(dir.File("out.txt")), "hello");
  EXPECT_FALSE(FileExists(dir.File("in.txt")));
  EXPECT_NE(r.Output.find("Connect Using Copy!\n"), std::string::npos) << r.Output;
  EXPECT_NE(r.Output.find("Source file " + dir.File("in.TFR") + " deleted.\n"), std::string::npos);
  EXPECT_NE(r.Output.find("Done\n"), std::string::npos);
  // The profile it ran is remembered.
  EXPECT_NE(ReadFile(dir.File("config/Quodra/quodra-ftp.ini")).find(dir.File("job.FTP")), std::string::npos);
}

TEST(UnattendedCopyRun, AFailedCopyExitsOne) {
  TTempDir dir;
  WriteFile(dir.File("job.FTP"), CopyProfile(dir.File("missing.txt"), dir.File("out.txt"), "N"));
  TProgramRun r = RunProgram(dir, dir.File("job.FTP"));
  ASSERT_TRUE(r.Finished);
  EXPECT_EQ(r.ExitCode, 1) << r.Output;
  EXPECT_NE(r.Output.find("File copy of " + dir.File("missing.txt") + " failed! Error:2"), std::string::npos);
}

TEST(UnattendedCopyRun, AMissingProfileIsLoggedAndExitsOne) {
  TTempDir dir;
  TProgramRun r = RunProgram(dir, dir.File("nothing.FTP"));
  ASSERT_TRUE(r.Finished);
  EXPECT_EQ(r.ExitCode, 1) << r.Output;
  EXPECT_FALSE(r.Output.empty());
}

// Offline with a dial-up profile: a dial that fails (wrong password) or is refused ends the
// run with exit status 1 and the service's text in the log; nothing is copied.
TEST(UnattendedCopyRun, AFailedDialEndsTheRunWithNothingCopied) {
  struct TCase {
    const char* Name;
    const char* Entry;
    const char* Text;
  } cases[] = {
      {"wrong password", "AcceptPassword=other", "Access was denied: the user name or password is not valid for the domain."},
      {"refused", "Refuse=676", "The line is busy."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    TTempDir dir;
    WriteFile(dir.File("in.txt"), "hello");
    WriteFile(dir.File("book.ini"), std::string("[Office]\r\nPhoneNumber=1\r\nPassword=secret\r\nStates=0,2,14\r\nStepMs=1\r\n") +
                                        c.Entry + "\r\n");
    WriteFile(dir.File("job.FTP"), CopyProfile(dir.File("in.txt"), dir.File("out.txt"), "Y") +
                                       "UseDialup=Y\r\nPhonebookEntry=Office\r\n");
    TProgramRun r = RunProgram(dir, dir.File("job.FTP"),
                               {"QUODRA_ONLINE=0", QString::fromStdString("QUODRA_PHONEBOOK=" + dir.File("book.ini"))});
    ASSERT_TRUE(r.Finished);
    EXPECT_EQ(r.ExitCode, 1) << r.Output;
    EXPECT_NE(r.Output.find(std::string("Done...") + c.Text + "\n"), std::string::npos) << r.Output;
    EXPECT_EQ(r.Output.find("Connect Using"), std::string::npos) << r.Output;
    EXPECT_FALSE(FileExists(dir.File("out.txt")));
    EXPECT_EQ(ReadFile(dir.File("in.txt")), "hello");
  }
}
