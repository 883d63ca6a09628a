#pragma once
// The about box: the program's identity from its version block, and a list of system facts a
// support person asks for. Picking an item name shows its value beside the list.
#include <QDialog>
#include <optional>
#include <string>
#include <vector>

#include "dialogs/version_info.h"

namespace Ui {
class TAboutBox;
}

class TAboutBox : public QDialog {
  Q_OBJECT
 public:
  static constexpr int kModalOk = 1;

  explicit TAboutBox(QWidget* parent = nullptr);
  ~TAboutBox() override;

  Ui::TAboutBox* ui;  // the controls, by name

  // Full path of the program file, taken at creation; "new.txt" is looked for beside it
  // (in the documentation folder when the program is installed).
  std::string ProgramFilePath;
  // The version block shown; the generated one unless replaced (no value: the program
  // file has none).
  std::optional<quodra::dialogs::TVersionBlock> VersionBlock;

  // The item store: "name=value", in the order the items were added.
  const std::vector<std::string>& Items() const { return Items_; }
  // Value of the first item of that name; empty when there is none.
  std::string ItemValue(const std::string& name) const;
  std::vector<std::string> ItemNames() const;

  // --- handlers ---
  void FormCreate();
  void FormShow();  // rebuilds every item
  void lbVerItemsClick();
  void IconImageClick();
  void OKButtonClick();
  void ProgramIconDblClick() {}

 protected:
  void showEvent(QShowEvent* e) override;
  bool eventFilter(QObject* watched, QEvent* e) override;

 private:
  void AddItem(const std::string& name, const std::string& value);
  void SelectItem(int row);
  std::vector<std::string> Items_;
};
