// The program as installed and as run by a scheduler: --help and --version, the folder a
// profile name resolves in (build or portable copy, installed layout, QUODRA_PROFILE_DIR),
// and a cron-like run (no XDG_RUNTIME_DIR, no display) that keeps stderr quiet.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QProcess>
#include <QProcessEnvironment>
#include <filesystem>
#include <map>

#include "app/profile_paths.h"
#include "host/program_folder.h"
#include "support/temp_dir.h"

using namespace quodra::test;
namespace fs = std::filesystem;

namespace {

struct TRun {
  int ExitCode = -1;
  std::string Output, Errors;
};

// Starts `program` as cron does: no display, no runtime folder, a private configuration.
TRun RunAs(const std::string& program, const QStringList& args, const TTempDir& dir,
           const std::map<QString, QString>& extra = {}) {
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "XDG_RUNTIME_DIR", "QUODRA_PROFILE_DIR"})
    env.remove(name);
  env.insert("XDG_CONFIG_HOME", QString::fromStdString(dir.File("config")));
  env.insert("QUODRA_PAUSE_MS", "2");
  for (const auto& [name, value] : extra) env.insert(name, value);
  QProcess p;
  p.setProcessEnvironment(env);
  p.start(QString::fromStdString(program), args);
  TRun r;
  if (!p.waitForFinished(60000)) {
    p.kill();
    p.waitForFinished();
    return r;
  }
  r.ExitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
  r.Output = p.readAllStandardOutput().toStdString();
  r.Errors = p.readAllStandardError().toStdString();
  return r;
}

const std::string kBuiltProgram = QUODRA_BIN_DIR "/quodra-ftp";

// A copy of the program at `path` (a hard link when the file system allows it).
void PlaceProgram(const std::string& path) {
  fs::create_directories(fs::path(path).parent_path());
  std::error_code ec;
  fs::create_hard_link(kBuiltProgram, path, ec);
  if (ec) fs::copy_file(kBuiltProgram, path);
}

std::string CopyProfile(const std::string& source, const std::string& dest) {
  return "[Options]\r\nFileTransferMode=C\r\nSourceFile=" + source + "\r\nDestinationFile=" + dest +
         "\r\nDeleteRemote=N\r\nOverwrite=Y\r\n";
}

}  // namespace

TEST(InstallLayout, HelpAndVersionAnswerBeforeTheArgumentRules) {
  TTempDir dir;
  struct TCase {
    QStringList Args;
    std::vector<std::string> Expected;  // each must be in the output
  } cases[] = {
      {{"--help"}, {"Usage: quodra-ftp [/VISIBLE]", "/CONFIG", "QUODRA_PROFILE_DIR", "XDG_CONFIG_HOME", "Exit status:", "  1  "}},
      {{"--version"}, {"quodra-ftp (Quodra FTP Client) 2.0.0.0\n", "Copyright"}},
      {{"/CONFIG", "daily", "--version"}, {"quodra-ftp (Quodra FTP Client) "}},
      {{"--version", "--help"}, {"quodra-ftp (Quodra FTP Client) "}},
  };
  for (const TCase& c : cases) {
    TRun r = RunAs(kBuiltProgram, c.Args, dir);
    SCOPED_TRACE(c.Args.join(' ').toStdString());
    EXPECT_EQ(r.ExitCode, 0);
    EXPECT_EQ(r.Errors, "");
    for (const std::string& text : c.Expected) EXPECT_NE(r.Output.find(text), std::string::npos) << r.Output;
    EXPECT_EQ(r.Output.find("Profile not found"), std::string::npos);
  }
  // Nothing else changes: a profile named "--helpful" is still a profile that does not exist.
  EXPECT_EQ(RunAs(kBuiltProgram, {"--helpful"}, dir).ExitCode, 1);
}

TEST(InstallLayout, TheFolderOfAProgramDecidesWhereProfilesLive) {
  TTempDir dir;
  // Installed: PREFIX/bin beside PREFIX/share/doc/quodra-ftp. A portable copy: any folder.
  PlaceProgram(dir.File("usr/bin/quodra-ftp"));
  fs::create_directories(dir.File("usr/share/doc/quodra-ftp"));
  PlaceProgram(dir.File("portable/quodra-ftp"));
  fs::create_directories(dir.File("override"));
  WriteFile(dir.File("in.txt"), "data");

  const std::string configProfiles = dir.File("config/quodra-ftp/profiles/");
  struct TCase {
    const char* Name;
    std::string Program, ProfileFolder;
    bool Override;
  } cases[] = {
      {"installed", dir.File("usr/bin/quodra-ftp"), configProfiles, false},
      {"portable", dir.File("portable/quodra-ftp"), dir.File("portable/"), false},
      {"override beats installed", dir.File("usr/bin/quodra-ftp"), dir.File("override/"), true},
      {"override beats portable", dir.File("portable/quodra-ftp"), dir.File("override/"), true},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    std::map<QString, QString> env;
    if (c.Override) env["QUODRA_PROFILE_DIR"] = QString::fromStdString(c.ProfileFolder);
    fs::remove_all(dir.File("config"));
    // The profile does not exist yet: the run fails, and the installed folder is made private.
    TRun missing = RunAs(c.Program, {"daily"}, dir, env);
    EXPECT_EQ(missing.ExitCode, 1) << missing.Output;
    struct stat st {};
    bool made = ::stat(configProfiles.c_str(), &st) == 0;
    EXPECT_EQ(made, c.ProfileFolder == configProfiles);
    if (made) {
      EXPECT_EQ(st.st_mode & 0777, 0700u);
      ASSERT_EQ(::stat(dir.File("config/quodra-ftp").c_str(), &st), 0);
      EXPECT_EQ(st.st_mode & 0777, 0700u);
    }

    const std::string out = dir.File(std::string("out-") + c.Name);
    WriteFile(c.ProfileFolder + "daily.FTP", CopyProfile(dir.File("in.txt"), out));
    TRun run = RunAs(c.Program, {"daily"}, dir, env);
    EXPECT_EQ(run.ExitCode, 0) << run.Output;
    EXPECT_EQ(ReadFile(out), "data");
    fs::remove(c.ProfileFolder + "daily.FTP");
  }
}

TEST(InstallLayout, InstalledMeansNotWritableOrBesideItsDocuments) {
  TTempDir dir;
  fs::create_directories(dir.File("usr/bin"));
  fs::create_directories(dir.File("usr/share/doc/quodra-ftp"));
  fs::create_directories(dir.File("opt/bin"));
  fs::create_directories(dir.File("readonly"));
  ::chmod(dir.File("readonly").c_str(), 0555);
  using quodra::host::RunsInstalled;
  EXPECT_TRUE(RunsInstalled(dir.File("usr/bin/")));
  EXPECT_FALSE(RunsInstalled(dir.File("opt/bin/")));  // no documents beside it: a portable copy
  EXPECT_FALSE(RunsInstalled(dir.Path()));
  // Root writes everywhere; for everyone else a folder they cannot write is an installed one.
  EXPECT_EQ(RunsInstalled(dir.File("readonly/")), ::geteuid() != 0);
  EXPECT_EQ(quodra::host::InstalledDocFolder(dir.File("usr/bin/")), dir.File("usr/share/doc/quodra-ftp/"));
  EXPECT_EQ(quodra::host::DocumentFolder(dir.File("usr/bin/")), dir.File("usr/share/doc/quodra-ftp/"));
  EXPECT_EQ(quodra::host::DocumentFolder(dir.File("opt/bin/")), dir.File("opt/bin/"));
  ::chmod(dir.File("readonly").c_str(), 0755);
}

TEST(InstallLayout, ACronRunWritesNothingToStderr) {
  TTempDir dir;
  WriteFile(dir.File("in.txt"), "nightly");
  WriteFile(dir.File("job.FTP"), CopyProfile(dir.File("in.txt"), dir.File("out.txt")));
  TRun r = RunAs(kBuiltProgram, {QString::fromStdString(dir.File("job.FTP"))}, dir);
  EXPECT_EQ(r.ExitCode, 0) << r.Output;
  EXPECT_EQ(r.Errors, "");
  EXPECT_EQ(ReadFile(dir.File("out.txt")), "nightly");
  EXPECT_NE(r.Output.find("Done\n"), std::string::npos) << r.Output;
}
