// The program itself, started as a scheduler starts it: a profile path on the command line,
// no display. It must print its log, end by itself and report the outcome as exit status.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <QProcess>
#include <QProcessEnvironment>

#include "support/temp_dir.h"

using namespace quodra::test;

namespace {

struct TRunResult {
  int ExitCode = -1;
  bool Finished = false;
  std::string Output;
};

TRunResult RunProgram(const TTempDir& dir, const QStringList& args) {
  QProcess p;
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.remove("DISPLAY");
  env.remove("WAYLAND_DISPLAY");
  env.remove("QT_QPA_PLATFORM");
  env.insert("XDG_CONFIG_HOME", QString::fromStdString(dir.File("config")));
  env.insert("XDG_RUNTIME_DIR", QString::fromStdString(dir.Path()));
  env.insert("QUODRA_PAUSE_MS", "2");
  env.insert("QUODRA_ONLINE", "1");
  p.setProcessEnvironment(env);
  p.setProcessChannelMode(QProcess::SeparateChannels);
  p.start(QUODRA_BIN_DIR "/quodra-ftp", args);
  TRunResult r;
  r.Finished = p.waitForFinished(60000);
  if (!r.Finished) p.kill(), p.waitForFinished();
  r.ExitCode = p.exitCode();
  r.Output = p.readAllStandardOutput().toStdString();
  return r;
}

std::string CopyProfile(const std::string& source, const std::string& dest, const char* deleteRemote) {
  return "[Options]\r\nFileTransferMode=C\r\nSourceFile=" + source + "\r\nDestinationFile=" + dest +
         "\r\nDeleteRemote=" + deleteRemote + "\r\n";
}

}  // namespace

TEST(UnattendedCopyRun, PrintsTheLogEndsByItselfAndExitsZero) {
  TTempDir dir;
  WriteFile(dir.File("in.txt"), "hello");
  WriteFile(dir.File("job.FTP"), CopyProfile(dir.File("in.txt"), dir.File("out.txt"), "Y"));
  TRunResult r = RunProgram(dir, {QString::fromStdString(dir.File("job.FTP"))});
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
  TRunResult r = RunProgram(dir, {QString::fromStdString(dir.File("job.FTP"))});
  ASSERT_TRUE(r.Finished);
  EXPECT_EQ(r.ExitCode, 1) << r.Output;
  EXPECT_NE(r.Output.find("File copy of " + dir.File("missing.txt") + " failed! Error:2"), std::string::npos);
}

TEST(UnattendedCopyRun, AMissingProfileIsLoggedAndExitsOne) {
  TTempDir dir;
  TRunResult r = RunProgram(dir, {QString::fromStdString(dir.File("nothing.FTP"))});
  ASSERT_TRUE(r.Finished);
  EXPECT_EQ(r.ExitCode, 1) << r.Output;
  EXPECT_FALSE(r.Output.empty());
}
