// The properties dialog: its pages and controls, the transfer-mode rules, the dial-up check
// box, and its modal results.
#include <gtest/gtest.h>

#include <QComboBox>
#include <QDir>
#include <QLineEdit>
#include <QKeyEvent>
#include <QTimer>

#include "dialogs/about_box.h"
#include "dialogs/varn_opt_frm.h"
#include "dialup/qp_ras_dialer.h"
#include "ui_about_box.h"
#include "ui_varn_opt_frm.h"

namespace {

bool TabShown(TVarnOptFrm& frm, QWidget* page) {
  return frm.ui->PageControl1->isTabVisible(frm.ui->PageControl1->indexOf(page));
}

// Visible on its page (the dialog need not be on screen, nor the page current).
bool Shown(QWidget* page, QWidget* w) { return w->isVisibleTo(page); }

// Runs the dialog modally, lets `act` press something, and returns the modal result.
int RunModal(TVarnOptFrm& frm, const std::function<void()>& act) {
  QTimer::singleShot(0, &frm, act);
  return frm.exec();
}

}  // namespace

TEST(VarnOptFrm, DesignStateAfterCreation) {
  TVarnOptFrm frm;
  EXPECT_EQ(frm.objectName(), "VarnOptFrm");
  EXPECT_EQ(frm.windowTitle(), "Properties");
  EXPECT_EQ(frm.size(), QSize(353, 292));
  EXPECT_EQ(frm.ui->PageControl1->size(), QSize(337, 217));
  EXPECT_EQ(frm.ui->PageControl1->currentWidget(), frm.ui->GeneralTabSheet1);
  EXPECT_EQ(frm.DialOutcome, 0);
  EXPECT_TRUE(frm.SavedEntryName.empty());

  const QStringList titles = {"&General", "&Dialup", "Server", "&Login", "&Files", "&Info"};
  ASSERT_EQ(frm.ui->PageControl1->count(), titles.size());
  for (int i = 0; i < titles.size(); ++i) EXPECT_EQ(frm.ui->PageControl1->tabText(i), titles[i]);

  EXPECT_TRUE(frm.ui->FTPChkBox1->isChecked());
  EXPECT_TRUE(frm.ui->Binary1->isChecked());
  EXPECT_EQ(frm.ui->Port1->text(), "ftp");
  EXPECT_FALSE(Shown(frm.ui->ConnectTabSheet, frm.ui->DialParametersGrp1));
  EXPECT_FALSE(frm.ui->EntrySelect->isEditable());
  // Passwords never show in clear.
  EXPECT_EQ(frm.ui->PasswordEdit->echoMode(), QLineEdit::Password);
  EXPECT_EQ(frm.ui->Password1->echoMode(), QLineEdit::Password);
  EXPECT_FALSE(frm.ui->InfoImage1->pixmap().isNull());

  // The dialog owns a dialer from the start; the session driver sets its hang-up rule here.
  ASSERT_NE(frm.QpRasDialer, nullptr);
  frm.SetHangupOnDestroy(true);
  EXPECT_TRUE(frm.QpRasDialer->HangupOnDestroy());
  frm.SetHangupOnDestroy(false);
  EXPECT_FALSE(frm.QpRasDialer->HangupOnDestroy());
}

TEST(VarnOptFrm, SpinEditsHoldTheirLimits) {
  TVarnOptFrm frm;
  QSpinBox* connect = frm.ui->ConnectTimeOutSpinEdit1;
  QSpinBox* transfer = frm.ui->TransferTimeOutSpinEdit1;
  EXPECT_EQ(connect->value(), 0);
  EXPECT_EQ(transfer->value(), 1000);
  connect->setValue(999999);
  EXPECT_EQ(connect->value(), 999999);
  connect->setValue(1000000);
  EXPECT_EQ(connect->value(), 999999);
  connect->setValue(-5);
  EXPECT_EQ(connect->value(), 0);
  transfer->setValue(999);  // a stored time-out below the minimum comes back as 1000
  EXPECT_EQ(transfer->value(), 1000);
  transfer->setValue(40000);
  EXPECT_EQ(transfer->value(), 32000);
  transfer->setValue(1500);
  EXPECT_EQ(transfer->value(), 1500);
}

TEST(VarnOptFrm, TransferModeShowsOnlyItsPagesAndControls) {
  TVarnOptFrm frm;
  frm.show();

  frm.ui->FileCopyChkBox1->click();
  EXPECT_FALSE(TabShown(frm, frm.ui->ServerTabSheet1));
  EXPECT_FALSE(TabShown(frm, frm.ui->LoginTabSheet1));
  EXPECT_FALSE(Shown(frm.ui->ServerTabSheet1, frm.ui->PassiveBox1));
  EXPECT_FALSE(frm.ui->DefaultFolder1->isVisibleTo(frm.ui->TabSheet4));
  EXPECT_FALSE(frm.ui->DefaultFolder1Lbl->isVisibleTo(frm.ui->TabSheet4));
  EXPECT_TRUE(frm.ui->DeleteRemote1->isVisibleTo(frm.ui->TabSheet4));
  EXPECT_TRUE(TabShown(frm, frm.ui->TabSheet4));
  EXPECT_TRUE(TabShown(frm, frm.ui->ConnectTabSheet));

  frm.ui->TrivialFTPChkBox1->click();
  EXPECT_TRUE(TabShown(frm, frm.ui->ServerTabSheet1));
  EXPECT_FALSE(TabShown(frm, frm.ui->LoginTabSheet1));
  EXPECT_FALSE(frm.ui->PassiveBox1->isVisibleTo(frm.ui->ServerTabSheet1));
  EXPECT_FALSE(frm.ui->DefaultFolder1->isVisibleTo(frm.ui->TabSheet4));
  EXPECT_FALSE(frm.ui->DeleteRemote1->isVisibleTo(frm.ui->TabSheet4));

  frm.ui->FTPChkBox1->click();
  EXPECT_TRUE(TabShown(frm, frm.ui->ServerTabSheet1));
  EXPECT_TRUE(TabShown(frm, frm.ui->LoginTabSheet1));
  EXPECT_TRUE(frm.ui->PassiveBox1->isVisibleTo(frm.ui->ServerTabSheet1));
  EXPECT_TRUE(frm.ui->DefaultFolder1->isVisibleTo(frm.ui->TabSheet4));
  EXPECT_TRUE(frm.ui->DefaultFolder1Lbl->isVisibleTo(frm.ui->TabSheet4));
  EXPECT_TRUE(frm.ui->DeleteRemote1->isVisibleTo(frm.ui->TabSheet4));

  // The profile loader sets the buttons from code; the pages follow then too, and a page
  // that goes away while open is not left showing.
  frm.ui->PageControl1->setCurrentWidget(frm.ui->ServerTabSheet1);
  frm.ui->FileCopyChkBox1->setChecked(true);
  EXPECT_FALSE(TabShown(frm, frm.ui->ServerTabSheet1));
  EXPECT_NE(frm.ui->PageControl1->currentWidget(), frm.ui->ServerTabSheet1);
}

TEST(VarnOptFrm, TrivialFtpTurnsTheFtpServiceIntoPort69) {
  const std::pair<const char*, const char*> cases[] = {
      {"ftp", "69"}, {"  ftp ", "69"}, {"", "69"}, {"   ", "69"},
      {"21", "21"},  {"FTP", "FTP"},   {"ftp-data", "ftp-data"}, {"6969", "6969"}};
  for (const auto& [before, after] : cases) {
    TVarnOptFrm frm;
    frm.ui->Port1->setText(before);
    frm.ui->TrivialFTPChkBox1->click();
    EXPECT_EQ(frm.ui->Port1->text().toStdString(), after) << "'" << before << "'";
  }

  // File copy and FTP leave the port alone.
  TVarnOptFrm frm;
  frm.ui->FileCopyChkBox1->click();
  EXPECT_EQ(frm.ui->Port1->text(), "ftp");
  frm.ui->FTPChkBox1->click();
  EXPECT_EQ(frm.ui->Port1->text(), "ftp");
}

TEST(VarnOptFrm, ShowingAppliesTheTransferModeRules) {
  TVarnOptFrm frm;
  // Set quietly, as if loaded before the handlers saw it.
  {
    const QSignalBlocker b1(frm.ui->TrivialFTPChkBox1);
    const QSignalBlocker b2(frm.ui->FTPChkBox1);
    frm.ui->TrivialFTPChkBox1->setChecked(true);
  }
  EXPECT_EQ(frm.ui->Port1->text(), "ftp");
  const int result = RunModal(frm, [&] {
    EXPECT_EQ(frm.ui->Port1->text(), "69");
    EXPECT_FALSE(TabShown(frm, frm.ui->LoginTabSheet1));
    frm.ui->Button1->click();
  });
  EXPECT_EQ(result, TVarnOptFrm::kModalOk);
}

TEST(VarnOptFrm, UseDialUpShowsTheParametersAndClearsTheStatusWhenOff) {
  TVarnOptFrm frm;
  frm.ui->UseDialupCheckBox1->click();
  EXPECT_TRUE(Shown(frm.ui->ConnectTabSheet, frm.ui->DialParametersGrp1));

  frm.SetStatusText("Office line");
  EXPECT_EQ(frm.StatusText(), "Office line");
  EXPECT_EQ(frm.ui->StatusBar1->currentMessage(), "Office line");
  frm.ui->UseDialupCheckBox1->click();
  EXPECT_FALSE(Shown(frm.ui->ConnectTabSheet, frm.ui->DialParametersGrp1));
  EXPECT_EQ(frm.StatusText(), "");

  // Loading a profile with dial-up switched on shows the parameters as well.
  frm.ui->UseDialupCheckBox1->setChecked(true);
  EXPECT_TRUE(Shown(frm.ui->ConnectTabSheet, frm.ui->DialParametersGrp1));
  frm.SetStatusText("kept while checked");
  frm.ui->UseDialupCheckBox1->setChecked(true);
  EXPECT_EQ(frm.StatusText(), "kept while checked");
}

TEST(VarnOptFrm, ModalResultsOfOkCancelAndEscape) {
  TVarnOptFrm frm;
  EXPECT_EQ(RunModal(frm, [&] { frm.ui->Button1->click(); }), 1);
  EXPECT_EQ(RunModal(frm, [&] { frm.ui->Button2->click(); }), 2);
  EXPECT_EQ(RunModal(frm, [&] {
              QKeyEvent esc(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
              QCoreApplication::sendEvent(&frm, &esc);
            }),
            2);
  EXPECT_EQ(RunModal(frm, [&] { frm.close(); }), 2);
}

TEST(VarnOptFrm, AboutButtonOpensTheAboutBoxModally) {
  TVarnOptFrm frm;
  frm.ui->About1->click();  // without an about box nothing happens

  TAboutBox about;
  frm.SetAboutBox(&about);
  bool wasModal = false;
  int itemsShown = 0;
  QTimer::singleShot(0, &about, [&] {
    wasModal = about.isModal() && about.isVisible();
    itemsShown = about.ui->lbVerItems->count();
    about.ui->OKButton->click();
  });
  frm.ui->About1->click();
  EXPECT_TRUE(wasModal);
  EXPECT_GT(itemsShown, 2);
  EXPECT_FALSE(about.isVisible());
}

// Renders every page and the about box at their design sizes. With QUODRA_SCREENSHOT_DIR
// set, the pictures are also saved there (for looking at them under a real X server).
TEST(VarnOptFrm, PagesAndAboutBoxRender) {
  TVarnOptFrm frm;
  TAboutBox about;
  const QString dir = qEnvironmentVariable("QUODRA_SCREENSHOT_DIR");
  frm.ui->UseDialupCheckBox1->setChecked(true);
  frm.SetStatusText("Office line");
  frm.show();
  for (int i = 0; i < frm.ui->PageControl1->count(); ++i) {
    frm.ui->PageControl1->setCurrentIndex(i);
    const QPixmap shot = frm.grab();
    ASSERT_FALSE(shot.isNull());
    EXPECT_EQ(shot.size() / shot.devicePixelRatio(), QSize(353, 292));
    if (!dir.isEmpty()) shot.save(QDir(dir).filePath(QString("properties_%1.png").arg(i + 1)));
  }
  frm.hide();
  about.show();
  const QPixmap shot = about.grab();
  EXPECT_EQ(shot.size() / shot.devicePixelRatio(), QSize(488, 346));
  if (!dir.isEmpty()) shot.save(QDir(dir).filePath("about.png"));
  about.hide();
}

// The security choice and the fingerprint box: FTP only; implicit TLS moves a default port
// to 990 and back; a loaded profile keeps its port; plain FTP is saved as no key at all for a
// profile that had none.
TEST(VarnOptFrm, SecurityControlsOfTheServerPage) {
  TVarnOptFrm frm;
  frm.show();
  frm.ui->FTPChkBox1->click();
  EXPECT_TRUE(Shown(frm.ui->ServerTabSheet1, frm.Security1));
  EXPECT_TRUE(Shown(frm.ui->ServerTabSheet1, frm.Fingerprint1));
  EXPECT_FALSE(frm.Fingerprint1->isEnabled());
  frm.ui->TrivialFTPChkBox1->click();
  EXPECT_FALSE(Shown(frm.ui->ServerTabSheet1, frm.Security1));
  EXPECT_FALSE(Shown(frm.ui->ServerTabSheet1, frm.Fingerprint1));
  frm.ui->FTPChkBox1->click();

  frm.ui->Port1->setText("ftp");
  frm.Security1->setCurrentIndex(2);
  EXPECT_EQ(frm.ui->Port1->text(), "990");
  EXPECT_TRUE(frm.Fingerprint1->isEnabled());
  EXPECT_EQ(frm.SecurityKey(), "I");
  frm.Security1->setCurrentIndex(1);
  EXPECT_EQ(frm.ui->Port1->text(), "ftp");
  EXPECT_EQ(frm.SecurityKey(), "E");
  frm.ui->Port1->setText("2121");
  frm.Security1->setCurrentIndex(2);
  EXPECT_EQ(frm.ui->Port1->text(), "2121");  // a port of the user's own stays

  const std::pair<const char*, const char*> keys[] = {{"", ""}, {"N", "N"}, {"E", "E"}, {"I", "I"}};
  for (const auto& [loaded, saved] : keys) {
    frm.ui->Port1->setText("ftp");
    frm.SetSecurityKey(loaded);
    EXPECT_EQ(frm.SecurityKey(), saved) << loaded;
    EXPECT_EQ(frm.ui->Port1->text(), "ftp") << loaded;
  }
  frm.SetSecurityKey("");
  frm.Security1->setCurrentIndex(1);
  frm.Security1->setCurrentIndex(0);
  EXPECT_EQ(frm.SecurityKey(), "");
}
