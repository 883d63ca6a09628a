#pragma once
// The program's windows, built as main.cpp builds them, for tests of the jobs.
#include <QListWidget>
#include <QStringList>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "app/main_frm.h"
#include "dialogs/varn_opt_frm.h"
#include "ui_main_frm.h"
#include "ui_varn_opt_frm.h"

namespace quodra::test {

struct TAppWindows {
  explicit TAppWindows(QStringList args = {}) {
    ::setenv("QUODRA_PAUSE_MS", "2", 0);  // before the first pause reads it
    Opt = std::make_unique<TVarnOptFrm>();
    Main = std::make_unique<TMainFrm>(Opt.get(), args);
  }
  ~TAppWindows() {
    Main.reset();
    Opt.reset();
  }
  std::vector<std::string> LogLines() const {
    std::vector<std::string> lines;
    for (int i = 0; i < Main->ui->ErrorBox1->count(); ++i)
      lines.push_back(Main->ui->ErrorBox1->Line(i).toStdString());
    return lines;
  }
  bool Logged(const std::string& line) const {
    for (const auto& l : LogLines())
      if (l == line) return true;
    return false;
  }
  int CountLogged(const std::string& line) const {
    int n = 0;
    for (const auto& l : LogLines()) n += l == line;
    return n;
  }
  // Index of the first line equal to `line` at or after `from`; -1 when absent.
  int IndexOf(const std::string& line, int from = 0) const {
    auto lines = LogLines();
    for (int i = from; i < static_cast<int>(lines.size()); ++i)
      if (lines[i] == line) return i;
    return -1;
  }

  std::unique_ptr<TVarnOptFrm> Opt;
  std::unique_ptr<TMainFrm> Main;
};

}  // namespace quodra::test
