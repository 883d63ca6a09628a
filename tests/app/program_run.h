#pragma once
// Starts the program itself as a scheduler would: arguments on the command line, no
// display, its own configuration and runtime folders, short pauses. Waits for it to end.
#include <QElapsedTimer>
#include <QProcess>
#include <QProcessEnvironment>
#include <QStringList>
#include <cstdint>
#include <string>

#include "support/temp_dir.h"

namespace quodra::test {

struct TProgramRun {
  bool Finished = false;
  int ExitCode = -1;
  std::string Output;  // standard output
  std::string Errors;  // standard error
  int64_t WallMs = 0;  // from the start to the end of the process
};

// Starts the program in `p` and returns at once (for a test that acts while it runs).
// `extraEnv` ("NAME=value" items) is set last, over the defaults above.
inline void StartProgram(QProcess& p, const TTempDir& dir, const QStringList& args, const QStringList& extraEnv = {}) {
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.remove("DISPLAY");
  env.remove("WAYLAND_DISPLAY");
  env.remove("QT_QPA_PLATFORM");
  env.insert("XDG_CONFIG_HOME", QString::fromStdString(dir.File("config")));
  env.insert("XDG_RUNTIME_DIR", QString::fromStdString(dir.Path()));
  env.insert("QUODRA_PAUSE_MS", "2");
  env.insert("QUODRA_ONLINE", "1");
  for (const QString& item : extraEnv) env.insert(item.section('=', 0, 0), item.section('=', 1));
  p.setProcessEnvironment(env);
  p.start(QUODRA_BIN_DIR "/quodra-ftp", args);
}

inline TProgramRun RunProgram(const TTempDir& dir, const QStringList& args, const QStringList& extraEnv = {}) {
  QProcess p;
  QElapsedTimer clock;
  clock.start();
  StartProgram(p, dir, args, extraEnv);
  TProgramRun r;
  r.Finished = p.waitForFinished(60000);
  if (!r.Finished) {
    p.kill();
    p.waitForFinished();
  }
  r.WallMs = clock.elapsed();
  r.ExitCode = p.exitCode();
  r.Output = p.readAllStandardOutput().toStdString();
  r.Errors = p.readAllStandardError().toStdString();
  return r;
}

inline TProgramRun RunProgram(const TTempDir& dir, const std::string& profile, const QStringList& extraEnv = {}) {
  return RunProgram(dir, QStringList{QString::fromStdString(profile)}, extraEnv);
}

}  // namespace quodra::test
