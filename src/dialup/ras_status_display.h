#pragma once
// The small progress window shown while a dial runs: the status text in a panel at the top
// and a Cancel button below it.
#include <QDialog>
#include <functional>
#include <string>

class QLabel;
class QPushButton;

// Where a form appears when it is shown.
enum TPosition {
  poDesigned,
  poDefault,
  poDefaultPosOnly,
  poDefaultSizeOnly,
  poScreenCenter,
  poDesktopCenter,
  poMainFormCenter,
  poOwnerFormCenter
};

class TRasStatusDisplay : public QDialog {
 public:
  static constexpr int kClientWidth = 250;
  static constexpr int kClientHeight = 79;
  static constexpr int kPanelHeight = 45;

  explicit TRasStatusDisplay(QWidget* parent = nullptr);

  QLabel* Panel1;          // the status text
  QPushButton* CancelBtn;  // "&Cancel"
  // Run when Cancel is pressed.
  std::function<void()> OnCancel;

  void SetEntryName(const std::string& entryName);  // the caption
  void SetStatusText(const std::string& text);
  std::string StatusText() const;
  void SetCtl3D(bool on);
  // Places the window as `position` asks (screen-centred for the centring choices).
  void ApplyPosition(TPosition position);

 protected:
  // The window has no close box; Escape must not close it behind the dialer's back either.
  void reject() override {}
};
