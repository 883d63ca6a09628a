#include "dialup/ras_status_display.h"

#include <QGuiApplication>
#include <QLabel>
#include <QPushButton>
#include <QScreen>

TRasStatusDisplay::TRasStatusDisplay(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint) {
  setObjectName("RasStatusDisplay");
  setFixedSize(kClientWidth, kClientHeight);
  Panel1 = new QLabel(this);
  Panel1->setObjectName("Panel1");
  Panel1->setGeometry(0, 0, kClientWidth, kPanelHeight);
  Panel1->setAlignment(Qt::AlignCenter);
  Panel1->setWordWrap(true);
  CancelBtn = new QPushButton(tr("&Cancel"), this);
  CancelBtn->setObjectName("CancelBtn");
  CancelBtn->setGeometry((kClientWidth - 75) / 2, kPanelHeight + (kClientHeight - kPanelHeight - 25) / 2, 75, 25);
  CancelBtn->setDefault(true);
  connect(CancelBtn, &QPushButton::clicked, this, [this] {
    if (OnCancel) OnCancel();
  });
  SetCtl3D(true);
}

void TRasStatusDisplay::SetEntryName(const std::string& entryName) {
  setWindowTitle(QString::fromStdString("Connecting to " + entryName + "..."));
}

void TRasStatusDisplay::SetStatusText(const std::string& text) { Panel1->setText(QString::fromStdString(text)); }

std::string TRasStatusDisplay::StatusText() const { return Panel1->text().toStdString(); }

void TRasStatusDisplay::SetCtl3D(bool on) {
  Panel1->setFrameStyle(on ? (QFrame::Panel | QFrame::Sunken) : (QFrame::Box | QFrame::Plain));
  Panel1->setLineWidth(1);
}

void TRasStatusDisplay::ApplyPosition(TPosition position) {
  QWidget* anchor = nullptr;
  switch (position) {
    case poDesigned:
    case poDefault:
    case poDefaultPosOnly:
    case poDefaultSizeOnly:
      return;  // the window system places it
    case poMainFormCenter:
    case poOwnerFormCenter:
      anchor = parentWidget();
      break;
    case poScreenCenter:
    case poDesktopCenter:
      break;
  }
  QRect area;
  if (anchor && anchor->isVisible()) {
    area = anchor->frameGeometry();
  } else {
    QScreen* screen = QGuiApplication::primaryScreen();
    if (!screen) return;
    area = screen->availableGeometry();
  }
  move(area.center() - QPoint(width() / 2, height() / 2));
}
