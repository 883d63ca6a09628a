// Profiles through the windows: loading into the controls, saving from them, the profile
// name box and the Properties button.
#include <QTimer>

#include "app/profile_file.h"
#include "dialup/ras_service.h"
#include "test_main_frm_fixture.h"

using quodra::app::ReadProfile;
using quodra::app::TProfile;
using quodra::test::TMainFrmTest;

namespace {

class ProfileControls : public TMainFrmTest {
 protected:
  TMainFrm& Loaded(const std::string& path) {
    auto& f = Make();
    f.CaptionSuffix = "Quodra FTP Client ";
    f.ProfilePath = path;
    f.LoadProfile();
    return f;
  }
  Ui::TVarnOptFrm& D() { return *Opt->ui; }
  std::string T(const QLineEdit* e) { return e->text().toStdString(); }

  // Runs the Properties button and answers the dialog with `result` once it is up.
  void PressProperties(int result) {
    QTimer::singleShot(0, Opt.get(), [this, result] { Opt->done(result); });
    Frm->ui->PropertiesBtn1->click();
  }
};

}  // namespace

TEST_F(ProfileControls, HandWrittenProfileFillsBothWindows) {
  std::string path = WriteProfileFile(
      "night", {"[Options]", "ServerName=ftp.local", "Password=pw", "Login=me", "Port=2121",
                "DestinationFile=/data/in/", "DefaultFolder=/out", "Overwrite=YES", "AutoDisconnect=y",
                "FileTransferMode=c", "DeleteRemote=N", "Timeout=abc", "ConnectTimeout=1,500",
                "SourceFile=*.csv", "Passive=Y", "Mode=a", "UseDialup=YES", "PhonebookEntry=Office "});
  auto& f = Loaded(path);
  EXPECT_EQ(T(f.ui->Login1), "me");
  EXPECT_EQ(T(f.ui->ServerName1), "ftp.local");
  EXPECT_EQ(T(f.ui->Password1), "pw");
  EXPECT_EQ(BoxText(), "night");
  EXPECT_EQ(f.windowTitle().toStdString(), "night Quodra FTP Client ");
  EXPECT_EQ(f.ui->PropertiesBtn1->text().toStdString(), "Properties");
  EXPECT_EQ(T(D().ProfileName1), "night");
  EXPECT_EQ(T(D().Login1), "me");
  EXPECT_EQ(T(D().ServerName1), "ftp.local");
  EXPECT_EQ(T(D().Password1), "pw");
  EXPECT_EQ(T(D().Port1), "2121");
  EXPECT_EQ(D().TransferTimeOutSpinEdit1->value(), 1000);  // "abc" reads as 0, held at the minimum
  EXPECT_EQ(D().ConnectTimeOutSpinEdit1->value(), 1500);
  EXPECT_TRUE(D().Overwrite1->isChecked());
  EXPECT_TRUE(D().AutoDisconnect1->isChecked());
  EXPECT_TRUE(D().FileCopyChkBox1->isChecked());
  EXPECT_FALSE(D().DeleteRemote1->isChecked());
  EXPECT_TRUE(D().PassiveBox1->isChecked());
  EXPECT_TRUE(D().Ascii1->isChecked());
  EXPECT_FALSE(D().UseDialupCheckBox1->isChecked());
  EXPECT_EQ(T(D().SourceFileName1), "*.csv");
  EXPECT_EQ(T(D().DestFileName1), "/data/in/");
  EXPECT_EQ(T(D().DefaultFolder1), "/out");
  EXPECT_EQ(Opt->SavedEntryName, "Office");
}

TEST_F(ProfileControls, MissingFileLoadsTheDefaultsOverEarlierValues) {
  std::string path = WriteProfileFile("full", {"[Options]", "Login=me", "FileTransferMode=P", "Mode=A",
                                               "DeleteRemote=N", "Port=69", "Timeout=5000"});
  auto& f = Loaded(path);
  f.ProfilePath = Profiles.File("absent.FTP");
  f.LoadProfile();
  EXPECT_EQ(T(f.ui->Login1), "");
  EXPECT_EQ(T(D().Port1), "ftp");
  EXPECT_TRUE(D().FTPChkBox1->isChecked());
  EXPECT_TRUE(D().Binary1->isChecked());
  EXPECT_TRUE(D().DeleteRemote1->isChecked());
  EXPECT_EQ(D().TransferTimeOutSpinEdit1->value(), 1000);
  EXPECT_EQ(D().ConnectTimeOutSpinEdit1->value(), 300);
  EXPECT_EQ(BoxText(), "absent");
}

TEST_F(ProfileControls, SavedProfileReadsBackIdentically) {
  TProfile p;
  p.ServerName = "127.0.0.1";
  p.Password = " leading blank";
  p.Login = "user";
  p.Port = "2121";
  // Names as older systems write them: Latin-1 bytes, and sequences that are no UTF-8 (cut,
  // overlong, an encoded surrogate) beside a character outside the 16-bit range.
  p.SourceFile = "a.txt;caf\xE9.csv;\xF0\x9F\x93\x84 \xED\xA0\x80 \xC0\xAF.txt;end\xC3";
  // A list of 4,000 names, longer than any fixed limit of a settings reader or a text field.
  for (int i = 0; i < 4000; ++i) p.SourceFile += ";n" + std::to_string(10000 + i) + ".csv";
  p.DestinationFile = "/tmp/in/\xE4\xF6/";
  p.DefaultFolder = "/d\xFCr";
  p.Overwrite = true;
  p.Passive = true;
  p.DeleteRemote = false;
  p.TransferMode = quodra::app::tmTrivialFtp;
  p.Ascii = true;
  p.TimeOut = 4000;
  p.ConnectTimeOut = 20;
  p.DialUserName = "du";
  p.DialPassword = "dp";
  p.DialDomain = "dd";
  p.PhonebookEntry = "Office";
  std::string path = Profiles.File("round.FTP");
  ASSERT_TRUE(quodra::app::WriteProfile(path, p));
  std::string before = quodra::test::ReadFile(path);

  auto& f = Loaded(path);
  // The job gets the very bytes, and the file is written back with them.
  EXPECT_EQ(f.JobProfileFromControls().SourceFile, p.SourceFile);
  EXPECT_EQ(f.JobProfileFromControls().DefaultFolder, p.DefaultFolder);
  ASSERT_TRUE(f.SaveProfile());
  EXPECT_EQ(ReadProfile(path), p);
  EXPECT_EQ(quodra::test::ReadFile(path), before);
  EXPECT_EQ(f.ProfilePath, path);
}

TEST_F(ProfileControls, SaveUsesTheDialogsNameAndValues) {
  auto& f = Make();
  D().ProfileName1->setText("my.profile");
  D().ServerName1->setText("from-dialog");
  f.ui->ServerName1->setText("from-main-window");  // used to connect, never saved
  D().Ascii1->setChecked(true);
  D().FileCopyChkBox1->setChecked(true);
  ASSERT_TRUE(f.SaveProfile());
  EXPECT_EQ(f.ProfilePath, Profiles.File("my.FTP"));
  EXPECT_EQ(BoxText(), "my");
  TProfile p = ReadProfile(Profiles.File("my.FTP"));
  EXPECT_EQ(p.ServerName, "from-dialog");
  EXPECT_TRUE(p.Ascii);
  EXPECT_EQ(p.TransferMode, quodra::app::tmFileCopy);
  std::string text = quodra::test::ReadFile(Profiles.File("my.FTP"));
  EXPECT_NE(text.find("Mode=A\r\n"), std::string::npos);
  EXPECT_NE(text.find("FileTransferMode=C\r\n"), std::string::npos);

  f.LoadProfile();
  ASSERT_EQ(f.ui->Profilenamebox1->count(), 1);
  EXPECT_EQ(f.ui->Profilenamebox1->itemText(0).toStdString(), "my");
}

TEST_F(ProfileControls, UnwritableProfileIsReportedAndNothingElseHappens) {
  auto& f = Make();
  D().ProfileName1->setText(QString::fromStdString(Profiles.File("no-such-folder/job")));
  EXPECT_FALSE(f.SaveProfile());
  EXPECT_EQ(Messages, std::vector<std::string>{"Unable to write to " + Profiles.File("no-such-folder/job.FTP")});

  // The Properties button stops there: no dialog, no reload.
  Messages.clear();
  bool dialogShown = false;
  QTimer::singleShot(0, Opt.get(), [&] {
    dialogShown = Opt->isVisible();
    Opt->done(TVarnOptFrm::kModalCancel);
  });
  f.ui->PropertiesBtn1->click();
  EXPECT_EQ(Messages.size(), 1u);
  quodra::host::ProcessPendingEvents();
  EXPECT_FALSE(dialogShown);
}

TEST_F(ProfileControls, CreateProfileThenCancelLeavesTheFileCreated) {
  Make({"/CONFIG", "fresh"});
  Start();
  ASSERT_EQ(Frm->ui->PropertiesBtn1->text().toStdString(), "Create Profile");
  // The dialog's name field is still empty: the first save is the nameless profile.
  PressProperties(TVarnOptFrm::kModalCancel);
  EXPECT_TRUE(quodra::test::FileExists(Profiles.File(".FTP")));
  EXPECT_GE(Frm->ui->Profilenamebox1->findText(""), 0);

  D().ProfileName1->setText("fresh");
  D().Login1->setText("new-user");
  PressProperties(TVarnOptFrm::kModalCancel);
  EXPECT_TRUE(quodra::test::FileExists(Profiles.File("fresh.FTP")));
  EXPECT_EQ(ReadProfile(Profiles.File("fresh.FTP")).Login, "new-user");
  EXPECT_TRUE(Frm->ui->ConnectBtn1->isEnabled());
  EXPECT_EQ(Frm->ui->PropertiesBtn1->text().toStdString(), "Properties");
}

TEST_F(ProfileControls, OkSavesTheEditsAndCancelDiscardsThem) {
  std::string path = WriteProfileFile("job", {"[Options]", "Login=old"});
  Loaded(path);
  QTimer::singleShot(0, Opt.get(), [this] {
    D().Login1->setText("kept");
    Opt->done(TVarnOptFrm::kModalOk);
  });
  Frm->ui->PropertiesBtn1->click();
  EXPECT_EQ(ReadProfile(path).Login, "kept");
  EXPECT_EQ(T(Frm->ui->Login1), "kept");

  QTimer::singleShot(0, Opt.get(), [this] {
    D().Login1->setText("dropped");
    Opt->done(TVarnOptFrm::kModalCancel);
  });
  Frm->ui->PropertiesBtn1->click();
  EXPECT_EQ(ReadProfile(path).Login, "kept");
  EXPECT_EQ(T(D().Login1), "kept");
}

TEST_F(ProfileControls, ChoosingANameInTheBoxLoadsItFromTheProfileFolder) {
  WriteProfileFile("first", {"[Options]", "Login=one"});
  WriteProfileFile("second", {"[Options]", "Login=two"});
  auto& f = Loaded(Profiles.File("first.FTP"));
  ASSERT_EQ(f.ui->Profilenamebox1->count(), 2);
  int second = f.ui->Profilenamebox1->findText("second");
  ASSERT_GE(second, 0);
  f.ui->Profilenamebox1->setCurrentIndex(second);
  emit f.ui->Profilenamebox1->activated(second);
  EXPECT_EQ(f.ProfilePath, Profiles.File("second.FTP"));
  EXPECT_EQ(T(f.ui->Login1), "two");

  // Typed text with an extension of its own, then leaving the box.
  f.show();
  f.ui->Profilenamebox1->setFocus();
  quodra::host::ProcessPendingEvents();
  f.ui->Profilenamebox1->setEditText("first.old");
  f.ui->Login1->setFocus(Qt::TabFocusReason);
  quodra::host::ProcessPendingEvents();
  EXPECT_EQ(f.ProfilePath, Profiles.File("first.FTP"));
  EXPECT_EQ(T(f.ui->Login1), "one");
}

TEST_F(ProfileControls, PhonebookEntryIsSelectedAndKept) {
  quodra::test::WriteFile(Phonebook(), "[Office]\r\nPhoneNumber=1\r\n[Home]\r\nPhoneNumber=2\r\n");
  std::string path = WriteProfileFile("dial", {"[Options]", "UseDialup=Y", "PhonebookEntry=Home "});
  auto& f = Loaded(path);
  // Saved before the entry list was ever filled: the profile keeps its entry.
  ASSERT_EQ(D().EntrySelect->count(), 0);
  ASSERT_TRUE(f.SaveProfile());
  EXPECT_NE(quodra::test::ReadFile(path).find("PhonebookEntry=Home \r\n"), std::string::npos);

  PressProperties(TVarnOptFrm::kModalOk);
  EXPECT_EQ(D().EntrySelect->currentText().toStdString(), "Home");
  EXPECT_EQ(ReadProfile(path).PhonebookEntry, "Home");
}

namespace {

// A remote access service that is not there at all (no NetworkManager, no phonebook).
struct TMissingService : quodra::dialup::TRasService {
  [[noreturn]] static void Fail() { throw std::runtime_error("no remote access service"); }
  std::string Name() const override { return "missing"; }
  int Dial(const std::string&, const quodra::dialup::TRasDialParams&, uint32_t, quodra::host::TMessageTarget*,
           quodra::dialup::TRasHandle&) override { Fail(); }
  int HangUp(quodra::dialup::TRasHandle) override { Fail(); }
  int GetConnectStatus(quodra::dialup::TRasHandle, int&) override { Fail(); }
  int EnumConnections(std::vector<quodra::dialup::TRasConnection>&, size_t) override { Fail(); }
  int EnumEntries(const std::string&, std::vector<std::string>&, size_t) override { Fail(); }
  int GetEntryDialParams(const std::string&, quodra::dialup::TRasDialParams&, bool&) override { Fail(); }
  int SetEntryDialParams(const std::string&, const quodra::dialup::TRasDialParams&, bool) override { Fail(); }
  int EditEntry(const std::string&, const std::string&) override { Fail(); }
  int CreateEntry(const std::string&) override { Fail(); }
};

}  // namespace

TEST_F(ProfileControls, ProfilesStayEditableWithoutARemoteAccessService) {
  std::string path = WriteProfileFile("job", {"[Options]", "Login=old", "PhonebookEntry=Office "});
  Loaded(path);
  quodra::dialup::SetRasService(std::make_unique<TMissingService>());
  bool shown = false;
  QTimer::singleShot(0, Opt.get(), [&] {
    shown = Opt->isVisible();
    D().Login1->setText("new");
    Opt->done(TVarnOptFrm::kModalOk);
  });
  Frm->ui->PropertiesBtn1->click();
  EXPECT_TRUE(shown);
  EXPECT_EQ(Opt->StatusText(), "no remote access service");
  EXPECT_EQ(ReadProfile(path).Login, "new");
  EXPECT_EQ(ReadProfile(path).PhonebookEntry, "Office");
}

// The phonebook entry's dial parameters change only when the user changes them in the
// dialog and confirms it: loading, Properties with Cancel, and OK without edits write nothing.
TEST_F(ProfileControls, DialParametersAreWrittenOnlyForTheUsersOwnChange) {
  const std::string book = "[Office]\r\nPhoneNumber=1\r\nUserName=alice\r\nPassword=secret\r\nDomain=WORK\r\n";
  struct TCase {
    const char* Name;
    const char* Entry;     // the profile's phonebook entry ("" for a profile without dial-up)
    int Result;            // how the dialog is answered
    const char* EditUser;  // typed into the user name edit first, or nullptr
    bool Written;
  } cases[] = {
      {"no dial-up, Cancel", "", TVarnOptFrm::kModalCancel, nullptr, false},
      {"no dial-up, OK", "", TVarnOptFrm::kModalOk, nullptr, false},
      {"dial-up, Cancel after an edit", "Office", TVarnOptFrm::kModalCancel, "bob", false},
      {"dial-up, OK unchanged", "Office", TVarnOptFrm::kModalOk, nullptr, false},
      {"dial-up, OK after an edit", "Office", TVarnOptFrm::kModalOk, "bob", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    quodra::test::WriteFile(Phonebook(), book);
    quodra::dialup::UnloadRasService();
    std::string path = WriteProfileFile("p", {"[Options]", "ServerName=h", std::string("PhonebookEntry=") + c.Entry,
                                              std::string("UseDialup=") + (*c.Entry ? "Y" : "N")});
    Loaded(path);
    // Twice, as a user looking around would.
    for (int round = 0; round < 2; ++round) {
      QTimer::singleShot(0, Opt.get(), [&] {
        if (c.EditUser) D().UserNameEdit->setText(c.EditUser);
        Opt->done(round == 0 ? TVarnOptFrm::kModalCancel : c.Result);
      });
      Frm->ui->PropertiesBtn1->click();
    }
    const std::string after = quodra::test::ReadFile(Phonebook());
    if (c.Written)
      EXPECT_NE(after.find("UserName=bob"), std::string::npos) << after;
    else
      EXPECT_EQ(after, book);
  }
}

// A profile opened by its path, from the command line or as the last profile, stays that
// file: leaving the profile box keeps it, the box lists and resolves names in its folder,
// and OK writes back to it. Nothing lands in the profile folder.
TEST_F(ProfileControls, AProfileOpenedByPathStaysThatProfile) {
  for (bool asLastProfile : {false, true}) {
    SCOPED_TRACE(asLastProfile ? "last profile" : "command line");
    quodra::test::TTempDir elsewhere;
    const std::string path = elsewhere.File("job.FTP");
    quodra::test::WriteFile(path, "[Options]\r\nServerName=far.example\r\nLogin=far\r\n");
    quodra::test::WriteFile(elsewhere.File("other.FTP"), "[Options]\r\nLogin=other\r\n");
    if (asLastProfile) {
      RememberLastProfile(path);
      Make();
    } else {
      Make({"/CONFIG", QString::fromStdString(path)});
    }
    Start();
    ASSERT_EQ(Frm->ProfilePath, path);
    ASSERT_EQ(T(Frm->ui->Login1), "far");

    // Leaving the box.
    Frm->ui->Profilenamebox1->setFocus();
    quodra::host::ProcessPendingEvents();
    Frm->ui->Login1->setFocus(Qt::TabFocusReason);
    quodra::host::ProcessPendingEvents();
    EXPECT_EQ(Frm->ProfilePath, path);
    EXPECT_EQ(T(Frm->ui->Login1), "far");

    // Another entry of the box, then back.
    int other = Frm->ui->Profilenamebox1->findText("other");
    ASSERT_GE(other, 0);
    Frm->ui->Profilenamebox1->setCurrentIndex(other);
    emit Frm->ui->Profilenamebox1->activated(other);
    EXPECT_EQ(Frm->ProfilePath, elsewhere.File("other.FTP"));
    EXPECT_EQ(T(Frm->ui->Login1), "other");
    int job = Frm->ui->Profilenamebox1->findText("job");
    ASSERT_GE(job, 0);
    Frm->ui->Profilenamebox1->setCurrentIndex(job);
    emit Frm->ui->Profilenamebox1->activated(job);
    EXPECT_EQ(Frm->ProfilePath, path);

    // Properties, an edit, OK.
    QTimer::singleShot(0, Opt.get(), [this] {
      D().Login1->setText("edited");
      Opt->done(TVarnOptFrm::kModalOk);
    });
    Frm->ui->PropertiesBtn1->click();
    EXPECT_EQ(Frm->ProfilePath, path);
    EXPECT_EQ(ReadProfile(path).Login, "edited");
    EXPECT_EQ(ReadProfile(path).ServerName, "far.example");
    EXPECT_FALSE(quodra::test::FileExists(Profiles.File("job.FTP")));

    Frm->ui->Close1->click();
    EXPECT_EQ(LastProfile(), path);
  }
}
