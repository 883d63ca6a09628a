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

// `quodra-ftp job.FTP | head -n 7`: the reader goes away after seven lines while the copy
// still logs hundreds. The run neither dies of the closed pipe nor changes its outcome.
TEST(UnattendedCopyRun, AReaderThatGoesAwayEndsNeitherTheCopyNorItsStatus) {
  TTempDir dir;
  std::string bytes = PatternBytes(32767 * 600 + 10);  // some 600 "Appending..." lines
  WriteFile(dir.File("in.txt"), bytes);
  WriteFile(dir.File("job.FTP"), CopyProfile(dir.File("in.txt"), dir.File("out.txt"), "Y"));
  TPipedRun r = RunProgramIntoPipe(dir, dir.File("job.FTP"), 7);
  ASSERT_TRUE(r.Exited) << "ended by signal " << r.Status;
  EXPECT_EQ(r.Status, 0) << r.Errors;
  EXPECT_NE(r.Errors.find("Standard output is gone (Broken pipe)"), std::string::npos) << r.Errors;
  EXPECT_TRUE(ReadFile(dir.File("out.txt")) == bytes);
  EXPECT_FALSE(FileExists(dir.File("in.txt")));
  EXPECT_FALSE(FileExists(dir.File("in.TFR")));
}
