#pragma once
// A main window with its properties dialog, in surroundings of its own: profiles in a
// temporary folder, the remembered last profile in a temporary configuration folder, no host
// log box, short pauses, and the computer counted as online (nothing is ever dialled).
#include <gtest/gtest.h>

#include <QComboBox>
#include <QCoreApplication>
#include <QSettings>
#include <QStringList>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "app/main_frm.h"
#include "dialogs/varn_opt_frm.h"
#include "dialup/ras_service.h"
#include "host/clock.h"
#include "host/event_wait.h"
#include "host/last_profile_store.h"
#include "support/temp_dir.h"
#include "ui_main_frm.h"
#include "ui_varn_opt_frm.h"

namespace quodra::test {

class TMainFrmTest : public ::testing::Test {
 protected:
  TTempDir Profiles;  // the profile folder
  TTempDir Config;    // $XDG_CONFIG_HOME
  TTempDir Runtime;   // $XDG_RUNTIME_DIR (the host log boxes live there)
  std::unique_ptr<TVarnOptFrm> Opt;
  std::unique_ptr<TMainFrm> Frm;
  std::vector<std::string> Messages;  // message boxes the window asked for

  void SetUp() override {
    ::setenv("QUODRA_PROFILE_DIR", Profiles.Path().c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", Config.Path().c_str(), 1);
    ::setenv("XDG_RUNTIME_DIR", Runtime.Path().c_str(), 1);
    ::setenv("QUODRA_PAUSE_MS", "1", 1);
    ::setenv("QUODRA_ONLINE", "1", 1);
    // A simulated phonebook of this test's own (empty unless a test writes entries).
    WriteFile(Phonebook(), "");
    ::setenv(dialup::kPhonebookEnvVar, Phonebook().c_str(), 1);
    dialup::UnloadRasService();
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, QString::fromStdString(Config.Path()));
  }

  void TearDown() override {
    Frm.reset();
    Opt.reset();
    host::ProcessPendingEvents();
    dialup::UnloadRasService();
    ::unsetenv("QUODRA_PROFILE_DIR");
  }

  std::string Phonebook() const { return Config.File("phonebook.ini"); }

  // A window started with `args`; `withDisplay` false makes it behave as without a display.
  TMainFrm& Make(const QStringList& args = {}, bool withDisplay = true) {
    Frm.reset();
    Opt = std::make_unique<TVarnOptFrm>();
    Frm = std::make_unique<TMainFrm>(Opt.get(), args);
    Frm->WithoutDisplay = !withDisplay;
    Frm->MessageBoxHook = [this](const std::string& text) { Messages.push_back(text); };
    return *Frm;
  }

  // Shows the window as the program entry does and lets the first activation run.
  void Start() {
    if (Frm->windowState() & Qt::WindowMinimized)
      Frm->showMinimized();
    else
      Frm->show();
    host::WaitUntil([this] { return !Frm->FirstActivation; }, host::NowMs() + 10000);
    host::ProcessPendingEvents();
  }

  std::vector<std::string> LogLines() const {
    std::vector<std::string> lines;
    for (int i = 0; i < Frm->ui->ErrorBox1->count(); ++i) lines.push_back(Frm->ui->ErrorBox1->Line(i).toStdString());
    return lines;
  }

  bool Logged(const std::string& prefix) const {
    for (const auto& l : LogLines())
      if (l.rfind(prefix, 0) == 0) return true;
    return false;
  }

  // A profile file written by hand (lines joined with CR LF).
  std::string WriteProfileFile(const std::string& name, const std::vector<std::string>& lines) {
    std::string text;
    for (const auto& l : lines) text += l + "\r\n";
    std::string path = Profiles.File(name + ".FTP");
    WriteFile(path, text);
    return path;
  }

  static void RememberLastProfile(const std::string& path) { host::TLastProfileStore().Write(path); }
  static std::string LastProfile() { return host::TLastProfileStore().Read(); }

  std::string BoxText() const { return Frm->ui->Profilenamebox1->currentText().toStdString(); }
};

}  // namespace quodra::test
