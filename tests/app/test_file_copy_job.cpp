#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QAbstractItemModel>
#include <QPushButton>
#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <thread>

#include "app/append_file.h"
#include "host/local_output_file.h"
#include "app/file_copy_job.h"
#include "app_test_window.h"
#include "file_holder.h"
#include "host/exclusive_source.h"
#include "host/online_state.h"
#include "support/temp_dir.h"

using namespace quodra::test;

namespace {

// A copy profile in the dialog's controls, with absolute paths.
void SetCopyProfile(TAppWindows& w, const std::string& source, const std::string& dest, bool overwrite,
                    bool deleteSource) {
  auto& opt = *w.Opt->ui;
  opt.FileCopyChkBox1->setChecked(true);
  opt.UseDialupCheckBox1->setChecked(false);
  opt.SourceFileName1->setText(QString::fromStdString(source));
  opt.DestFileName1->setText(QString::fromStdString(dest));
  opt.DefaultFolder1->setText("");
  opt.Overwrite1->setChecked(overwrite);
  opt.DeleteRemote1->setChecked(deleteSource);
}

class FileCopyJob : public ::testing::Test {
 protected:
  void SetUp() override { quodra::host::SetOnlineOverride(true); }
  void TearDown() override { quodra::host::SetOnlineOverride(std::nullopt); }
  TTempDir Dir;
};

// A program that writes the source without taking any lock, as nearly all do, in another
// process. Each command is done (and answered) before Send returns:
//   'o' open the file and hold it open     'w' append the next line through the held file
//   'c' close the held file                'n' open by name, append the next line, close
// Lines are "line 1\n", "line 2\n", ... so that every byte can be accounted for.
class TWriterProcess {
 public:
  explicit TWriterProcess(const std::string& path) : Path(path) {
    int cmd[2], ack[2];
    EXPECT_EQ(::pipe(cmd), 0);
    EXPECT_EQ(::pipe(ack), 0);
    Pid = ::fork();
    if (Pid == 0) {
      ::close(cmd[1]);
      ::close(ack[0]);
      Serve(cmd[0], ack[1]);
      ::_exit(0);
    }
    ::close(cmd[0]);
    ::close(ack[1]);
    Cmd = cmd[1];
    Ack = ack[0];
  }
  ~TWriterProcess() {
    ::close(Cmd);
    ::close(Ack);
    ::kill(Pid, SIGKILL);
    ::waitpid(Pid, nullptr, 0);
  }
  // Sends a command; with `wait`, returns once it is done (bounded).
  void Send(char c, bool wait = true) {
    ASSERT_EQ(::write(Cmd, &c, 1), 1);
    if (wait) Await();
  }
  void Await() {
    pollfd p{Ack, POLLIN, 0};
    char done = 0;
    ASSERT_EQ(::poll(&p, 1, 10000), 1) << "the writer did not answer";
    ASSERT_EQ(::read(Ack, &done, 1), 1);
  }
  // Everything written so far, in order.
  std::string Written() const {
    std::string all;
    for (int i = 1; i <= Lines; ++i) all += "line " + std::to_string(i) + "\n";
    return all;
  }
  pid_t Pid = -1;
  int Lines = 0;  // lines written (counted here, as the writer writes them in order)

 private:
  void Serve(int cmd, int ack) {
    int held = -1, n = 0;
    char c;
    while (::read(cmd, &c, 1) == 1) {
      if (c == 'o') held = ::open(Path.c_str(), O_WRONLY | O_APPEND | O_CREAT, 0644);
      if (c == 'c') ::close(held);
      if (c == 'w' || c == 'n') {
        std::string line = "line " + std::to_string(++n) + "\n";
        int fd = c == 'w' ? held : ::open(Path.c_str(), O_WRONLY | O_APPEND | O_CREAT, 0644);
        if (::write(fd, line.data(), line.size()) != static_cast<ssize_t>(line.size())) ::_exit(1);
        if (c == 'n') ::close(fd);
      }
      (void)!::write(ack, &c, 1);
    }
  }
  std::string Path;
  int Cmd = -1, Ack = -1;
};

// Runs `action` when the log first gets `line`.
void OnLogLine(TAppWindows& w, const std::string& line, std::function<void()> action) {
  auto done = std::make_shared<bool>(false);
  QObject::connect(w.Main->ui->ErrorBox1, &TLogView::LineAdded, [&w, line, action, done] {
    auto lines = w.LogLines();
    if (*done || lines.empty() || lines.back() != line) return;
    *done = true;
    action();
  });
}

// Whether the kernel shows a lease on the file that is being broken (an opener waits for it).
bool LeaseBreaking(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return false;
  std::string tag = ":" + std::to_string(st.st_ino) + " ";
  std::string locks = ReadFile("/proc/locks");
  for (size_t at = 0, end; at < locks.size(); at = end + 1) {
    end = locks.find('\n', at);
    if (end == std::string::npos) end = locks.size();
    std::string row = locks.substr(at, end - at);
    if (row.find("LEASE") != std::string::npos && row.find("BREAK") != std::string::npos &&
        row.find(tag) != std::string::npos)
      return true;
  }
  return false;
}

}  // namespace

TEST_F(FileCopyJob, AppendsBlockByBlockAndKeepsTheSource) {
  TAppWindows w;
  std::string src = Dir.File("data.txt"), dst = Dir.File("out.txt");
  std::string bytes = PatternBytes(100000);
  WriteFile(src, bytes);
  WriteFile(dst, "HEAD");
  SetCopyProfile(w, src, dst, false, false);
  w.Main->Connect();

  EXPECT_EQ(ReadFile(dst), "HEAD" + bytes);
  EXPECT_EQ(ReadFile(src), bytes);
  EXPECT_TRUE(w.Logged("Connected To Internet: True"));
  EXPECT_TRUE(w.Logged("Hangup on Destroy: False"));
  int copyLine = w.IndexOf("Copy the file " + src + " to " + dst + " Attempt:1");
  ASSERT_GE(copyLine, 0);
  EXPECT_LT(w.IndexOf("Connect Using Copy!"), copyLine);
  EXPECT_LT(w.IndexOf("Login"), copyLine);
  EXPECT_EQ(w.CountLogged("Appending...32767 bytes"), 1);
  EXPECT_EQ(w.CountLogged("Appending...98301 bytes"), 1);
  EXPECT_EQ(w.CountLogged("Appending...100000 bytes"), 2);  // the read at the end repeats the total
  EXPECT_GT(w.IndexOf("File " + src + " copied."), copyLine);
  EXPECT_EQ(w.LogLines().back(), "Done");
  EXPECT_EQ(w.Main->ByteCounterText(), "100000 bytes");
  EXPECT_FALSE(w.Main->RunHasFailed());
}

TEST_F(FileCopyJob, OverwriteStartsANewFileButNeverDeletesTheSource) {
  TAppWindows w;
  std::string src = Dir.File("a.txt"), dst = Dir.File("b.txt");
  WriteFile(src, "fresh");
  WriteFile(dst, "old contents that are longer");
  SetCopyProfile(w, src, dst, true, false);
  w.Main->Connect();
  EXPECT_EQ(ReadFile(dst), "fresh");
}

// One file under two paths is refused with code 11 and survives Overwrite; two files whose
// names differ only in letter case are two files here, and copy.
TEST_F(FileCopyJob, TheSameFileIsToldByDeviceAndInodeNotByName) {
  WriteFile(Dir.File("same.txt"), "fresh");
  ASSERT_EQ(::link(Dir.File("same.txt").c_str(), Dir.File("hard.txt").c_str()), 0);
  ASSERT_EQ(::symlink(Dir.File("same.txt").c_str(), Dir.File("soft.txt").c_str()), 0);
  struct {
    std::string dest;
    bool sameFile;
  } rows[] = {
      {Dir.File("same.txt"), true},
      {Dir.Path() + "./same.txt", true},
      {Dir.File("hard.txt"), true},
      {Dir.File("soft.txt"), true},
      {Dir.File("SAME.TXT"), false},
      {Dir.File("same.txt "), false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.dest);
    std::string src = Dir.File("same.txt");
    TAppWindows w;
    SetCopyProfile(w, src, row.dest, true, false);
    w.Main->Connect();
    EXPECT_EQ(ReadFile(src), "fresh");
    EXPECT_EQ(w.CountLogged("Copy the file " + src + " to " + row.dest + " Attempt:1"), 1);
    EXPECT_EQ(w.Logged("File copy of " + src + " failed! Error:11"), row.sameFile);
    EXPECT_EQ(w.Logged("File " + src + " copied."), !row.sameFile);
    EXPECT_EQ(w.Main->RunHasFailed(), row.sameFile);
    if (!row.sameFile) {
      EXPECT_EQ(ReadFile(row.dest), "fresh");
    }
  }
}

TEST_F(FileCopyJob, HandOverRenamesCopiesAndDeletes) {
  TAppWindows w;
  std::string src = Dir.File("data.txt"), tfr = Dir.File("data.TFR"), dst = Dir.File("out.txt");
  WriteFile(src, "payload");
  SetCopyProfile(w, src, dst, false, true);
  w.Main->Connect();
  EXPECT_EQ(ReadFile(dst), "payload");
  EXPECT_FALSE(FileExists(src));
  EXPECT_FALSE(FileExists(tfr));
  EXPECT_TRUE(w.Logged("Rename File for Transfer Attempt:1"));
  EXPECT_TRUE(w.Logged("Copy the file " + tfr + " to " + dst + " Attempt:1"));
  EXPECT_TRUE(w.Logged("Source file " + tfr + " deleted."));
  EXPECT_FALSE(w.Main->RunHasFailed());
}

TEST_F(FileCopyJob, AnUnfinishedHandOverIsTakenUpAndNeverReplaced) {
  TAppWindows w;
  std::string src = Dir.File("data.txt"), tfr = Dir.File("data.TFR"), dst = Dir.File("out.txt");
  WriteFile(src, "new data");
  WriteFile(tfr, "left over");
  SetCopyProfile(w, src, dst, false, true);
  w.Main->Connect();
  EXPECT_FALSE(w.Logged("Rename File for Transfer Attempt:1"));
  EXPECT_EQ(ReadFile(dst), "left over");
  EXPECT_EQ(ReadFile(src), "new data");  // waits for the next run
  EXPECT_FALSE(FileExists(tfr));
}

// A run that appended the hand-over file but ended before deleting it (here: the file is
// moved away at that moment and back after the run) leaves a note: the next run deletes it
// without appending it a second time.
TEST_F(FileCopyJob, AHandOverFileAppendedButNotDeletedIsNeverAppendedAgain) {
  TAppWindows w;
  std::string src = Dir.File("data.txt"), tfr = Dir.File("data.TFR"), dst = Dir.File("out.txt");
  WriteFile(src, "payload");
  WriteFile(dst, "old+");
  SetCopyProfile(w, src, dst, false, true);
  quodra::host::TLocalOutputFile::OnCommitStep = [&](const char* step) {
    if (std::string(step) == "delivered") {
      ASSERT_EQ(::rename(tfr.c_str(), Dir.File("aside").c_str()), 0);
    }
  };
  w.Main->Connect();
  quodra::host::TLocalOutputFile::OnCommitStep = nullptr;
  EXPECT_TRUE(w.Main->RunHasFailed());
  ASSERT_EQ(::rename(Dir.File("aside").c_str(), tfr.c_str()), 0);
  w.Main->Connect();
  EXPECT_TRUE(w.Logged("File " + tfr + " was appended to " + dst + " by another run that did not delete it"));
  EXPECT_TRUE(w.Logged("Source file " + tfr + " deleted."));
  EXPECT_EQ(ReadFile(dst), "old+payload");
  EXPECT_FALSE(FileExists(tfr));
  EXPECT_FALSE(FileExists(Dir.File(".out.txt.quodra-delivered")));
}

TEST_F(FileCopyJob, MissingSourceCannotBeHandedOver) {
  TAppWindows w;
  std::string src = Dir.File("gone.txt"), dst = Dir.File("out.txt");
  SetCopyProfile(w, src, dst, false, true);
  w.Main->Connect();
  EXPECT_TRUE(w.Logged("Rename File for Transfer Attempt:16"));
  EXPECT_TRUE(w.Logged("Error: Could not rename file " + src + " to " + Dir.File("gone.TFR")));
  EXPECT_EQ(w.IndexOf("Copy the file " + src + " to " + dst + " Attempt:1"), -1);
  EXPECT_FALSE(FileExists(dst));
  EXPECT_TRUE(w.Main->RunHasFailed());
  EXPECT_EQ(w.LogLines().back(), "Done");
}

TEST_F(FileCopyJob, EmptySourceCountsAsCopiedWithoutCreatingTheDestination) {
  TAppWindows w;
  std::string src = Dir.File("empty.txt"), dst = Dir.File("out.txt");
  WriteFile(src, "");
  SetCopyProfile(w, src, dst, false, false);
  w.Main->Connect();
  EXPECT_TRUE(w.Logged("File " + src + " copied."));
  EXPECT_FALSE(FileExists(dst));
}

TEST_F(FileCopyJob, LockedSourceIsRetriedElevenTimesThenFailsWithCode2) {
  TAppWindows w;
  std::string src = Dir.File("busy.txt"), dst = Dir.File("out.txt");
  WriteFile(src, "busy");
  TFileHolder lock(src, O_RDWR, true);
  SetCopyProfile(w, src, dst, false, false);
  w.Main->Connect();
  EXPECT_TRUE(w.Logged("Copy the file " + src + " to " + dst + " Attempt:11"));
  EXPECT_FALSE(w.Logged("Copy the file " + src + " to " + dst + " Attempt:12"));
  EXPECT_TRUE(w.Logged("File copy of " + src + " failed! Error:2"));
  EXPECT_EQ(ReadFile(src), "busy");
  EXPECT_TRUE(w.Main->RunHasFailed());
}

TEST_F(FileCopyJob, LockedDestinationGivesCode2Too) {
  TAppWindows w;
  std::string src = Dir.File("a.txt"), dst = Dir.File("locked.txt");
  WriteFile(src, "abc");
  WriteFile(dst, "keep");
  TFileHolder lock(dst, O_RDWR, true);
  EXPECT_EQ(AppendFile(*w.Main, src, dst), kAppendCannotOpen);
  EXPECT_EQ(ReadFile(dst), "keep");
}

// An aborted copy takes back what it appended: the destination is as it was before the job,
// or not there at all when the job created it.
TEST_F(FileCopyJob, AbortDuringTheCopyStopsAfterTheCurrentBlockAndUndoesIt) {
  for (bool destExisted : {true, false}) {
    SCOPED_TRACE(destExisted ? "existing destination" : "new destination");
    TTempDir dir;
    TAppWindows w;
    std::string src = dir.File("big.bin"), dst = dir.File("out.bin");
    std::string bytes = PatternBytes(32767 * 40);
    WriteFile(src, bytes);
    if (destExisted) WriteFile(dst, "HEAD");
    SetCopyProfile(w, src, dst, false, true);
    // Press Abort when the second block has been appended.
    QObject::connect(w.Main->ui->ErrorBox1, &TLogView::LineAdded, [&] {
      auto lines = w.LogLines();
      if (!lines.empty() && lines.back() == "Appending...65534 bytes") w.Main->ui->Abort1->click();
    });
    w.Main->Connect();
    std::string tfr = dir.File("big.TFR");
    EXPECT_TRUE(w.Logged(destExisted ? "Copy undone: " + dst + " cut back to its 4 bytes"
                                     : "Copy undone: " + dst + " removed again"));
    EXPECT_TRUE(w.Logged("File copy of " + tfr + " failed! Error:0"));
    EXPECT_TRUE(w.Logged("Aborted by User"));
    EXPECT_EQ(w.LogLines().back(), "Done");
    EXPECT_EQ(ReadFile(tfr), bytes);  // the source is not deleted
    EXPECT_EQ(FileExists(dst), destExisted);
    EXPECT_EQ(ReadFile(dst), destExisted ? "HEAD" : "");
    EXPECT_FALSE(w.Main->ui->Abort1->isVisible());
    EXPECT_TRUE(w.Main->ui->ConnectBtn1->isEnabled());
  }
}

// A writer that takes no lock appends to the source while the job hands it over. Whatever it
// does, each of its bytes ends up exactly once in the destination, the hand-over file or a
// new source file; the job waits for it (code 2 and the retries) rather than lose any.
TEST_F(FileCopyJob, AWriterThatTakesNoLockNeverLosesBytesInTheHandOver) {
  struct TRow {
    const char* name;
    // Log line -> what the writer does then (before the job goes on).
    std::vector<std::pair<std::string, std::string>> script;
    bool copied;
    int lastAttempt;
    int linesInSourceAfter;  // written by name after the rename: a new source file
  };
  const std::string src = Dir.File("data.txt"), tfr = Dir.File("data.TFR"), dst = Dir.File("out.txt");
  const std::string copy = "Copy the file " + tfr + " to " + dst + " Attempt:";
  TRow rows[] = {
      {"holds the file open all along", {{"Login", "owww"}, {copy + "1", "ww"}}, false, 11, 0},
      {"closes it during the retries", {{"Login", "owww"}, {copy + "1", "ww"}, {copy + "3", "c"}}, true, 3, 0},
      {"opens it by name for each line",
       {{"Login", "nn"}, {copy + "1", "nn"}, {"Source file " + tfr + " deleted.", "n"}}, true, 1, 3},
  };
  for (const TRow& row : rows) {
    SCOPED_TRACE(row.name);
    ::unlink(src.c_str());
    ::unlink(tfr.c_str());
    ::unlink(dst.c_str());
    TAppWindows w;
    TWriterProcess writer(src);
    for (const auto& [line, commands] : row.script)
      OnLogLine(w, line, [&writer, commands] {
        for (char c : commands) {
          writer.Send(c);
          writer.Lines += c == 'w' || c == 'n';
        }
      });
    SetCopyProfile(w, src, dst, false, true);
    w.Main->Connect();

    EXPECT_TRUE(w.Logged(copy + std::to_string(row.lastAttempt)));
    EXPECT_FALSE(w.Logged(copy + std::to_string(row.lastAttempt + 1)));
    EXPECT_EQ(w.Logged("File copy of " + tfr + " failed! Error:2"), !row.copied);
    EXPECT_EQ(w.Main->RunHasFailed(), !row.copied);
    EXPECT_EQ(FileExists(tfr), !row.copied);
    EXPECT_EQ(ReadFile(dst) + ReadFile(tfr) + ReadFile(src), writer.Written());
    std::string newSource = ReadFile(src);
    EXPECT_EQ(std::count(newSource.begin(), newSource.end(), '\n'), row.linesInSourceAfter);
  }
}

// A program that opens the hand-over file while it is being copied waits for the copy to let
// it go: the copy is undone, the program writes, and the next attempt copies it all.
TEST_F(FileCopyJob, AWriterThatComesDuringTheCopyMakesItStartAgain) {
  std::string tfr = Dir.File("data.TFR"), dst = Dir.File("out.txt");
  std::string bytes = PatternBytes(32767 * 8);
  WriteFile(tfr, bytes);
  WriteFile(dst, "HEAD");
  TAppWindows w;
  TWriterProcess writer(tfr);
  // After the first block the writer opens the file by name; it waits there for the lease.
  OnLogLine(w, "Appending...32767 bytes", [&] {
    writer.Lines = 1;
    writer.Send('n', false);
    for (int i = 0; i < 10000 && !LeaseBreaking(tfr); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  });
  OnLogLine(w, "Copy the file " + tfr + " to " + dst + " Attempt:2", [&] { writer.Await(); });
  SetCopyProfile(w, Dir.File("data.txt"), dst, false, true);
  w.Main->Connect();
  EXPECT_TRUE(w.Logged("Source " + tfr + " changed during the copy"));
  EXPECT_TRUE(w.Logged("Copy undone: " + dst + " cut back to its 4 bytes"));
  EXPECT_TRUE(w.Logged("Source file " + tfr + " deleted."));
  EXPECT_FALSE(w.Main->RunHasFailed());
  EXPECT_EQ(ReadFile(dst), "HEAD" + bytes + writer.Written());
}

// Where no lease can be had, writers are found among the processes' open files.
TEST_F(FileCopyJob, WritersAreFoundInProcWithoutALease) {
  std::string path = Dir.File("watched.txt");
  WriteFile(path, "x");
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_FALSE(quodra::host::ProcessesHoldOpenForWriting(st.st_dev, st.st_ino));
  {
    int reader = ::open(path.c_str(), O_RDONLY);
    EXPECT_FALSE(quodra::host::ProcessesHoldOpenForWriting(st.st_dev, st.st_ino));
    ::close(reader);
  }
  TWriterProcess writer(path);
  writer.Send('o');
  EXPECT_TRUE(quodra::host::ProcessesHoldOpenForWriting(st.st_dev, st.st_ino));
  writer.Send('c');
  EXPECT_FALSE(quodra::host::ProcessesHoldOpenForWriting(st.st_dev, st.st_ino));
}

TEST_F(FileCopyJob, RelativePathsAreTakenFromTheRemoteHomeFolder) {
  char cwd[4096];
  ASSERT_NE(::getcwd(cwd, sizeof cwd), nullptr);
  TAppWindows w;
  WriteFile(Dir.File("rel.txt"), "relative");
  SetCopyProfile(w, "rel.txt", "copy.txt", false, false);
  w.Opt->ui->DefaultFolder1->setText(QString::fromStdString(Dir.Path()));
  w.Main->Connect();
  EXPECT_EQ(::chdir(cwd), 0);
  EXPECT_TRUE(w.Logged("Change Directory to " + Dir.Path()));
  EXPECT_EQ(ReadFile(Dir.File("copy.txt")), "relative");
}

TEST(HandOverName, ReplacesTheExtensionOfTheFileName) {
  EXPECT_EQ(TFileCopyJob::HandOverName("/in/data.txt"), "/in/data.TFR");
  EXPECT_EQ(TFileCopyJob::HandOverName("/in.d/data"), "/in.d/data.TFR");
  EXPECT_EQ(TFileCopyJob::HandOverName("a.b.c"), "a.b.TFR");
  EXPECT_EQ(TFileCopyJob::HandOverName("C:\\in.d\\data"), "C:\\in.d\\data.TFR");
}
