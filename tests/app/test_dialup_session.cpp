// The dial-up path of Connect and the dial-up page of the properties dialog, on a simulated
// phonebook with the online test forced to offline.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QStatusBar>
#include <QTimer>
#include <cstdlib>
#include <memory>

#include "app/log_view.h"
#include "app/main_frm.h"
#include "dialogs/varn_opt_frm.h"
#include "dialup/qp_ras_dialer.h"
#include "dialup/qp_ras_status.h"
#include "dialup/ras_service.h"
#include "dialup/sim_phonebook_service.h"
#include "host/event_wait.h"
#include "host/online_state.h"
#include "support/ftp_server_fixture.h"
#include "support/temp_dir.h"

using namespace quodra::test;

namespace {

const char kBook[] =
    "[Home]\r\nPhoneNumber=111\r\nStepMs=1\r\n"
    "[Office]\r\nPhoneNumber=555 0100\r\nUserName=alice\r\nPassword=secret\r\nDomain=WORK\r\n"
    "States=0,2,14\r\nStepMs=1\r\n";

class TDialupSessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("QUODRA_PAUSE_MS", "1", 1);
    BookPath = Dir.File("phonebook.ini");
    WriteFile(BookPath, kBook);
    ::setenv(quodra::dialup::kPhonebookEnvVar, BookPath.c_str(), 1);
    quodra::dialup::UnloadRasService();
    quodra::host::SetOnlineOverride(false);
    Opt = std::make_unique<TVarnOptFrm>();
    Frm = std::make_unique<TMainFrm>(Opt.get(), QStringList{});
  }
  void TearDown() override {
    Frm.reset();
    Opt.reset();
    quodra::dialup::UnloadRasService();
    quodra::host::SetOnlineOverride(std::nullopt);
  }

  template <class T>
  T* Control(const char* name) {
    T* c = Opt->findChild<T*>(name);
    EXPECT_NE(c, nullptr) << name;
    return c;
  }

  // A file-copy profile that uses the dial-up entry `entry`.
  void CopyProfile(const std::string& entry, bool autoDisconnect) {
    WriteFile(Dir.File("source.txt"), "payload");
    Control<QRadioButton>("FileCopyChkBox1")->setChecked(true);
    Control<QLineEdit>("SourceFileName1")->setText(QString::fromStdString(Dir.File("source.txt")));
    Control<QLineEdit>("DestFileName1")->setText(QString::fromStdString(Dir.File("dest.txt")));
    Control<QAbstractButton>("DeleteRemote1")->setChecked(false);
    Control<QAbstractButton>("AutoDisconnect1")->setChecked(autoDisconnect);
    Control<QAbstractButton>("UseDialupCheckBox1")->setChecked(true);
    Opt->SavedEntryName = entry;
  }

  std::vector<std::string> LogLines() const {
    std::vector<std::string> lines;
    auto* box = Frm->findChild<TLogView*>("ErrorBox1");
    for (int i = 0; box && i < box->count(); ++i) lines.push_back(box->Line(i).toStdString());
    return lines;
  }
  // Index of the first line at or after `from` that starts with `prefix`; -1 when none.
  int Find(const std::string& prefix, int from = 0) const {
    std::vector<std::string> lines = LogLines();
    for (size_t i = from; i < lines.size(); ++i)
      if (lines[i].rfind(prefix, 0) == 0) return static_cast<int>(i);
    return -1;
  }
  size_t LiveConnections() {
    std::vector<quodra::dialup::TRasConnection> conns;
    quodra::dialup::RasService().EnumConnections(conns, 100);
    return conns.size();
  }
  void Rewrite(const std::string& extraForOffice) {
    WriteFile(BookPath, std::string(kBook) + extraForOffice);
  }

  TTempDir Dir;
  std::string BookPath;
  std::unique_ptr<TVarnOptFrm> Opt;
  std::unique_ptr<TMainFrm> Frm;
};

}  // namespace

TEST_F(TDialupSessionTest, OfflineProfileDialsRunsItsJobAndHangsUp) {
  CopyProfile("Office", true);
  Frm->Connect();
  std::vector<std::string> lines = LogLines();
  int i = Find("Connected To Internet: False");
  ASSERT_GE(i, 0);
  EXPECT_EQ(lines.at(i + 1), "Hangup on Destroy: True");
  EXPECT_EQ(lines.at(i + 2), "Using Dialup...");
  EXPECT_EQ(lines.at(i + 3), "Connect using Office");
  EXPECT_EQ(lines.at(i + 4), "Dialing... 555 0100");
  EXPECT_EQ(lines.at(i + 5), "Connect Using File Copy");
  int done = Find("Done...", i + 6);
  ASSERT_GE(done, 0);
  EXPECT_EQ(lines.back(), "Done...");
  EXPECT_EQ(ReadFile(Dir.File("dest.txt")), "payload");
  EXPECT_EQ(Opt->DialOutcome, 2);  // connected, then hung up by Auto-disconnect
  EXPECT_EQ(LiveConnections(), 0u);
  EXPECT_TRUE(Opt->QpRasDialer->HangupOnDestroy());
  // The dial used the entry's stored credentials, shown on the dial-up page as well.
  EXPECT_EQ(Control<QLineEdit>("UserNameEdit")->text().toStdString(), "alice");
}

TEST_F(TDialupSessionTest, FtpProfileKeepsTheLinkUntilItsSessionHasEnded) {
  TTempDir served;
  const std::string payload = PatternBytes(200000);
  WriteFile(served.File("data.bin"), payload);
  TPyFtpServer server;
  ASSERT_TRUE(server.Start(served.Path()));
  Frm->findChild<QLineEdit*>("ServerName1")->setText("127.0.0.1");
  Frm->findChild<QLineEdit*>("Login1")->setText("tester");
  Frm->findChild<QLineEdit*>("Password1")->setText("secret");
  Control<QRadioButton>("FTPChkBox1")->setChecked(true);
  Control<QLineEdit>("Port1")->setText(QString::fromStdString(server.PortText()));
  Control<QAbstractButton>("PassiveBox1")->setChecked(true);
  Control<QRadioButton>("Binary1")->setChecked(true);
  Control<QLineEdit>("SourceFileName1")->setText("data.bin");
  Control<QLineEdit>("DestFileName1")->setText(QString::fromStdString(Dir.File("got.bin")));
  Control<QAbstractButton>("DeleteRemote1")->setChecked(false);
  Control<QAbstractButton>("AutoDisconnect1")->setChecked(true);
  Control<QAbstractButton>("UseDialupCheckBox1")->setChecked(true);
  Opt->SavedEntryName = "Office";
  // What had arrived when the link was dropped.
  std::string atHangup = "(not hung up)";
  auto dialogHandler = Opt->QpRasDialer->OnDisconnected;
  Opt->QpRasDialer->OnDisconnected = [&](TQpCustomRasDialer* s) {
    atHangup = ReadFile(Dir.File("got.bin"));
    dialogHandler(s);
  };
  Frm->show();  // as in the program: a hidden main window counts as closed
  Frm->Connect();
  EXPECT_GE(Find("Connect Using FTP"), 0);
  EXPECT_GE(Find("Done..."), 0);
  std::string log;
  for (const std::string& l : LogLines()) log += l + "\n";
  EXPECT_TRUE(ReadFile(Dir.File("got.bin")) == payload) << log << server.Log();
  EXPECT_EQ(atHangup.size(), payload.size()) << log;
  EXPECT_EQ(LiveConnections(), 0u);
}

TEST_F(TDialupSessionTest, WithoutAutoDisconnectTheLinkStaysUp) {
  CopyProfile("Office", false);
  Frm->Connect();
  EXPECT_EQ(Opt->DialOutcome, 1);
  EXPECT_EQ(LiveConnections(), 1u);
  EXPECT_EQ(ReadFile(Dir.File("dest.txt")), "payload");
}

// A dial that does not bring the link up ends the job: its text after "Done...", a failed
// run, nothing transferred, no link left.
TEST_F(TDialupSessionTest, DialThatFailsOrIsCancelledEndsTheJob) {
  struct TCase {
    const char* Name;
    const char* Entry;
    const char* Book;    // added to the phonebook: keys of the Office entry, or an entry
    bool CancelInWindow;
    const char* Text;    // logged after "Done..."
  } cases[] = {
      {"failing midway", "Office", "Error=678\r\n", false, "There is no answer."},
      {"wrong password", "Office", "AcceptPassword=other\r\n", false,
       "Access was denied: the user name or password is not valid for the domain."},
      {"cancelled", "Slow", "[Slow]\r\nPhoneNumber=9\r\nStates=0,1,2,3,4,5\r\nStepMs=100000\r\n", true,
       "The connection was closed by the user."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    Frm.reset();
    Opt.reset();
    quodra::dialup::UnloadRasService();
    Rewrite(c.Book);
    ::unlink(Dir.File("dest.txt").c_str());
    Opt = std::make_unique<TVarnOptFrm>();
    Frm = std::make_unique<TMainFrm>(Opt.get(), QStringList{});
    CopyProfile(c.Entry, true);
    bool sawWindow = false;
    if (c.CancelInWindow)
      QTimer::singleShot(50, [&] {
        TRasStatusDisplay* d = Opt->QpRasStatus->Display();
        ASSERT_NE(d, nullptr);
        sawWindow = d->isVisible() && d->windowTitle() == QString("Connecting to %1...").arg(c.Entry);
        d->CancelBtn->click();
      });
    Frm->Connect();
    EXPECT_EQ(sawWindow, c.CancelInWindow);
    EXPECT_EQ(Find("Connect Using"), -1) << "no job over a link that is not there";
    EXPECT_EQ(LogLines().back(), std::string("Done...") + c.Text);
    EXPECT_FALSE(FileExists(Dir.File("dest.txt")));
    EXPECT_TRUE(Frm->RunHasFailed());
    EXPECT_FALSE(Frm->JobRunning());
    EXPECT_EQ(Opt->DialOutcome, 2);
    EXPECT_EQ(LiveConnections(), 0u);
  }
}

TEST_F(TDialupSessionTest, RefusedDialLogsItsTextAndRunsNoJob) {
  Rewrite("Refuse=676\r\n");
  CopyProfile("Office", false);
  Frm->Connect();
  EXPECT_EQ(Find("Connect Using"), -1);
  EXPECT_GE(Find("Done...The line is busy."), 0);
  EXPECT_FALSE(FileExists(Dir.File("dest.txt")));
  EXPECT_TRUE(Frm->RunHasFailed());
}

TEST_F(TDialupSessionTest, OnlineNothingIsDialled) {
  quodra::host::SetOnlineOverride(true);
  CopyProfile("Office", true);
  Frm->Connect();
  EXPECT_GE(Find("Connected To Internet: True"), 0);
  EXPECT_GE(Find("Hangup on Destroy: False"), 0);
  EXPECT_GE(Find("Connect Using Copy!"), 0);
  EXPECT_EQ(Find("Using Dialup..."), -1);
  EXPECT_FALSE(Opt->QpRasDialer->HangupOnDestroy());
  EXPECT_EQ(LiveConnections(), 0u);
}

// --- the dial-up page ---

TEST_F(TDialupSessionTest, RefreshSelectsTheProfilesEntryOrTheFirst) {
  Opt->SavedEntryName = "Office";
  Opt->RefreshEntryListClick();
  auto* select = Control<QComboBox>("EntrySelect");
  ASSERT_EQ(select->count(), 2);
  EXPECT_EQ(select->currentText().toStdString(), "Office");
  EXPECT_EQ(Opt->QpRasDialer->EntryName(), "Office");
  EXPECT_EQ(Opt->StatusText(), "Office");
  EXPECT_EQ(Control<QLineEdit>("UserNameEdit")->text().toStdString(), "alice");
  EXPECT_EQ(Control<QLineEdit>("PasswordEdit")->text().toStdString(), "secret");
  EXPECT_EQ(Control<QLineEdit>("DomainEdit")->text().toStdString(), "WORK");

  Opt->SavedEntryName = "office";  // exact text only
  Opt->RefreshEntryListClick();
  EXPECT_EQ(select->currentText().toStdString(), "Home");
  EXPECT_EQ(Control<QLineEdit>("UserNameEdit")->text().toStdString(), "");

  // Choosing an entry loads its parameters.
  select->setCurrentIndex(1);
  Opt->EntrySelectChange();
  EXPECT_EQ(Control<QLineEdit>("DomainEdit")->text().toStdString(), "WORK");
  EXPECT_EQ(Opt->StatusText(), "Office");
}

TEST_F(TDialupSessionTest, RefreshErrorsGoToTheStatusBarAndChangeNothingElse) {
  Opt->SetDialCredentials("u", "p", "d");
  ::unlink(BookPath.c_str());
  Opt->RefreshEntryListClick();
  EXPECT_EQ(Control<QComboBox>("EntrySelect")->count(), 0);
  EXPECT_EQ(Opt->StatusText(), "The phonebook cannot be opened.");
  EXPECT_EQ(Control<QLineEdit>("UserNameEdit")->text().toStdString(), "u");

  // An empty phonebook leaves the selection, the dialer and the edits alone.
  WriteFile(BookPath, "; nothing\r\n");
  Opt->SetStatusText("kept");
  Opt->RefreshEntryListClick();
  EXPECT_EQ(Opt->StatusText(), "kept");
  EXPECT_EQ(Control<QLineEdit>("PasswordEdit")->text().toStdString(), "p");
}

TEST_F(TDialupSessionTest, NewEntryAppearsInTheList) {
  Opt->NewEntry1Click();
  auto* select = Control<QComboBox>("EntrySelect");
  ASSERT_EQ(select->count(), 3);
  EXPECT_EQ(select->itemText(2).toStdString(), "New Entry");
}

TEST_F(TDialupSessionTest, CredentialsRoundTripThroughThePhonebook) {
  Opt->SavedEntryName = "Home";
  Opt->RefreshEntryListClick();
  Control<QLineEdit>("UserNameEdit")->setText("bob");
  Control<QLineEdit>("PasswordEdit")->setText("pw");
  Control<QLineEdit>("DomainEdit")->setText("DOM");
  Opt->StoreDialCredentials();
  Control<QLineEdit>("UserNameEdit")->clear();
  Opt->RefreshEntryListClick();
  EXPECT_EQ(Control<QLineEdit>("UserNameEdit")->text().toStdString(), "bob");
  EXPECT_EQ(Control<QLineEdit>("PasswordEdit")->text().toStdString(), "pw");
  EXPECT_EQ(Control<QLineEdit>("DomainEdit")->text().toStdString(), "DOM");

  // Edit Dial Properties takes the edits into the dialer first.
  Control<QLineEdit>("UserNameEdit")->setText("carol");
  Opt->DialProperties1Click();
  EXPECT_EQ(Opt->QpRasDialer->UserName(), "carol");
  EXPECT_EQ(Control<QLineEdit>("UserNameEdit")->text().toStdString(), "carol");
}

TEST_F(TDialupSessionTest, DialErrorHandlerHangsUpAndEndsFailed) {
  Opt->SavedEntryName = "Office";
  Opt->RefreshEntryListClick();
  Opt->QpRasDialer->SetDialMode(dmSync);
  ASSERT_EQ(Opt->QpRasDialer->Dial(), 0);
  ASSERT_EQ(LiveConnections(), 1u);
  Opt->QpRasDialerDialError();
  EXPECT_EQ(Opt->DialOutcome, 2);
  EXPECT_EQ(LiveConnections(), 0u);
}
