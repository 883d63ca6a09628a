// The program itself, started as a scheduler starts it: a profile path on the command line,
// no display. It must print its log, end by itself and report the outcome as exit status.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <filesystem>

#include "file_holder.h"
#include "piped_run.h"
#include "program_run.h"
#include "support/temp_dir.h"

using namespace quodra::test;

namespace {

std::string CopyProfile(const std::string& source, const std::string& dest, const char* deleteRemote,
                        const char* overwrite = "N") {
  return "[Options]\r\nFileTransferMode=C\r\nSourceFile=" + source + "\r\nDestinationFile=" + dest +
         "\r\nDeleteRemote=" + deleteRemote + "\r\nOverwrite=" + overwrite + "\r\n";
}

// Files the run left behind under a hidden name (its temporary files).
std::vector<std::string> HiddenFiles(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(folder))
    if (e.path().filename().string()[0] == '.') names.push_back(e.path().filename().string());
  return names;
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

// A reader that stops reading without going away holds the run by its log, but not its stop:
// SIGTERM ends the copy as always (nothing half written, the hand-over file left for the next
// run), and the run exits 1 without waiting for the reader.
TEST(UnattendedCopyRun, AReaderThatStopsReadingDoesNotHoldUpTheStop) {
  TTempDir dir;
  std::string bytes = PatternBytes(32767 * 600 + 10);
  WriteFile(dir.File("in.txt"), bytes);
  WriteFile(dir.File("job.FTP"), CopyProfile(dir.File("in.txt"), dir.File("out.txt"), "Y"));
  TPipedRun r = RunProgramIntoPipe(dir, dir.File("job.FTP"), 3, RLIM_INFINITY, false, SIGTERM);
  ASSERT_TRUE(r.HeldByItsLog);
  ASSERT_TRUE(r.Exited) << "ended by signal " << r.Status;
  EXPECT_EQ(r.Status, 1) << r.Errors;
  EXPECT_FALSE(FileExists(dir.File("out.txt")));
  EXPECT_TRUE(ReadFile(dir.File("in.txt")) == bytes || ReadFile(dir.File("in.TFR")) == bytes);
}

// A disk that fills up during the copy (RLIMIT_FSIZE, SIGXFSZ ignored: the write fails as on
// a full disk). The destination keeps its old bytes (also with Overwrite), or is not there
// when it was not, the hand-over file waits, and the next run with room appends the whole
// file once. The reader of the log may go away meanwhile: the status stays the job's.
TEST(UnattendedCopyRun, AFullDiskLeavesTheOldBytesAndTheNextRunAppendsOnce) {
  struct {
    const char* name;
    bool destExisted;
    bool overwrite;
    int linesRead;  // then the reader goes away
  } rows[] = {
      {"existing destination, log read to the end", true, false, 1 << 30},
      {"new destination, reader gone after 7 lines", false, false, 7},
      {"existing destination overwritten", true, true, 1 << 30},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    TTempDir dir;
    std::string bytes = PatternBytes(32767 * 300);
    std::string in = dir.File("in.txt"), out = dir.File("out.txt"), tfr = dir.File("in.TFR");
    WriteFile(in, bytes);
    if (row.destExisted) WriteFile(out, "OLD-BYTES");
    WriteFile(dir.File("job.FTP"), CopyProfile(in, out, "Y", row.overwrite ? "Y" : "N"));

    TPipedRun full = RunProgramIntoPipe(dir, dir.File("job.FTP"), row.linesRead, 32767 * 100 + 5);
    ASSERT_TRUE(full.Exited) << "ended by signal " << full.Status;
    EXPECT_EQ(full.Status, 1) << full.Errors;
    EXPECT_EQ(FileExists(out), row.destExisted);
    EXPECT_EQ(ReadFile(out), row.destExisted ? "OLD-BYTES" : "");
    EXPECT_TRUE(ReadFile(tfr) == bytes);
    EXPECT_TRUE(HiddenFiles(dir.Path()).empty());
    if (row.linesRead > 7) {
      std::string undone = row.overwrite ? " left as it was\n" : " cut back to its 9 bytes\n";
      EXPECT_NE(full.Read.find("Copy undone: " + out + undone), std::string::npos) << full.Read;
      EXPECT_NE(full.Read.find("File copy of " + tfr + " failed! Error:7\n"), std::string::npos);
    }

    TPipedRun room = RunProgramIntoPipe(dir, dir.File("job.FTP"), 1 << 30);
    ASSERT_TRUE(room.Exited);
    EXPECT_EQ(room.Status, 0) << room.Read;
    EXPECT_TRUE(ReadFile(out) == (row.destExisted && !row.overwrite ? "OLD-BYTES" : "") + bytes);
    EXPECT_FALSE(FileExists(tfr));
  }
}

// A source that another process holds open is in use: the run retries and fails with code 2,
// and the next run, once it is free, copies it. With a lease (the owner, or root) any other
// opener counts; without one (another user's file) the writers found in /proc do.
TEST(UnattendedCopyRun, ASourceInUseByAnotherProcessWaitsForTheNextRun) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to give the source to another user";
  struct {
    const char* name;
    bool withoutLeases;
    int holderFlags;
    bool inUse;
  } rows[] = {
      {"lease, a writer", false, O_WRONLY | O_APPEND, true},
      {"lease, a reader", false, O_RDONLY, true},
      {"no lease, a writer", true, O_WRONLY | O_APPEND, true},
      {"no lease, a reader", true, O_RDONLY, false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    TTempDir dir;
    std::string in = dir.File("in.txt"), out = dir.File("out.txt"), tfr = dir.File("in.TFR");
    WriteFile(in, "payload");
    ASSERT_EQ(::chown(in.c_str(), 65534, 65534), 0);  // a file of another user
    WriteFile(dir.File("job.FTP"), CopyProfile(in, out, "Y"));
    {
      TFileHolder holder(in, row.holderFlags);
      TPipedRun r = RunProgramIntoPipe(dir, dir.File("job.FTP"), 1 << 30, RLIM_INFINITY, row.withoutLeases);
      ASSERT_TRUE(r.Exited);
      EXPECT_EQ(r.Status, row.inUse ? 1 : 0) << r.Read;
      EXPECT_EQ(r.Read.find("File copy of " + tfr + " failed! Error:2\n") != std::string::npos, row.inUse);
      EXPECT_EQ(r.Read.find(" Attempt:11\n") != std::string::npos, row.inUse);
      EXPECT_EQ(ReadFile(out), row.inUse ? "" : "payload");
      EXPECT_EQ(ReadFile(tfr), row.inUse ? "payload" : "");
    }
    if (row.inUse) {
      TPipedRun next = RunProgramIntoPipe(dir, dir.File("job.FTP"), 1 << 30, RLIM_INFINITY, row.withoutLeases);
      EXPECT_EQ(next.Status, 0) << next.Read;
    }
    EXPECT_EQ(ReadFile(out), "payload");
    EXPECT_FALSE(FileExists(tfr));
  }
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
