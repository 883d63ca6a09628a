#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QAbstractItemModel>
#include <QPushButton>

#include "app/append_file.h"
#include "app/file_copy_job.h"
#include "app_test_window.h"
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

// Holds a classic fcntl lock on a file from another process until destroyed.
class TForeignLock {
 public:
  explicit TForeignLock(const std::string& path) {
    int ready[2];
    EXPECT_EQ(::pipe(ready), 0);
    Pid = ::fork();
    if (Pid == 0) {
      int fd = ::open(path.c_str(), O_RDWR);
      struct flock fl {};
      fl.l_type = F_WRLCK;
      fl.l_whence = SEEK_SET;
      ::fcntl(fd, F_SETLK, &fl);
      char c = 'x';
      (void)!::write(ready[1], &c, 1);
      ::pause();
      ::_exit(0);
    }
    char c;
    EXPECT_EQ(::read(ready[0], &c, 1), 1);
    ::close(ready[0]);
    ::close(ready[1]);
  }
  ~TForeignLock() {
    ::kill(Pid, SIGKILL);
    ::waitpid(Pid, nullptr, 0);
  }

 private:
  pid_t Pid;
};

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

  // The same file as source and destination: code 11, and the file survives Overwrite.
  TAppWindows w2;
  SetCopyProfile(w2, src, src, true, false);
  w2.Main->Connect();
  EXPECT_EQ(ReadFile(src), "fresh");
  EXPECT_TRUE(w2.Logged("File copy of " + src + " failed! Error:11"));
  EXPECT_EQ(w2.CountLogged("Copy the file " + src + " to " + src + " Attempt:1"), 1);
  EXPECT_TRUE(w2.Main->RunHasFailed());
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
  TForeignLock lock(src);
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
  TForeignLock lock(dst);
  EXPECT_EQ(AppendFile(*w.Main, src, dst), kAppendCannotOpen);
  EXPECT_EQ(ReadFile(dst), "keep");
}

TEST_F(FileCopyJob, AbortDuringTheCopyStopsAfterTheCurrentBlock) {
  TAppWindows w;
  std::string src = Dir.File("big.bin"), dst = Dir.File("out.bin");
  std::string bytes = PatternBytes(32767 * 40);
  WriteFile(src, bytes);
  SetCopyProfile(w, src, dst, false, true);
  // Press Abort when the second block has been appended.
  QObject::connect(w.Main->ui->ErrorBox1, &TLogView::LineAdded, [&] {
    auto lines = w.LogLines();
    if (!lines.empty() && lines.back() == "Appending...65534 bytes") w.Main->ui->Abort1->click();
  });
  w.Main->Connect();
  std::string tfr = Dir.File("big.TFR");
  EXPECT_TRUE(w.Logged("File copy of " + tfr + " failed! Error:0"));
  EXPECT_TRUE(w.Logged("Aborted by User"));
  EXPECT_EQ(w.LogLines().back(), "Done");
  EXPECT_EQ(ReadFile(tfr), bytes);       // the source is not deleted
  EXPECT_EQ(ReadFile(dst).size(), 65534u);  // the part written stays
  EXPECT_FALSE(w.Main->ui->Abort1->isVisible());
  EXPECT_TRUE(w.Main->ui->ConnectBtn1->isEnabled());
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
