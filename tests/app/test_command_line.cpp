// The command line: which profile is used, whether the window starts minimised, whether the
// transfer starts by itself, and what is remembered as the last profile afterwards.
#include "app/command_line.h"
#include "app/profile_file.h"

#include "support/server_process.h"
#include "test_main_frm_fixture.h"

using namespace quodra::app;
using quodra::test::TMainFrmTest;

TEST(CommandLine, SwitchesMatchWholeArgumentsInAnyCase) {
  TArguments args{"daily", "/visible", "/CONFIGX", "/Config"};
  EXPECT_EQ(FindSwitch(args, "/VISIBLE"), 2);
  EXPECT_EQ(FindSwitch(args, "/CONFIG"), 4);
  EXPECT_EQ(FindSwitch(args, "/DEFAULT"), -1);
  EXPECT_EQ(FindSwitch({}, "/CONFIG"), -1);
}

TEST(CommandLine, LastProfileNameWinsAndSwitchesAreNoNames) {
  EXPECT_EQ(ProfileArgument({"first", "/VISIBLE", "second", "/ENTITY:7", "/unknown"}), "second");
  EXPECT_EQ(ProfileArgument({"/ENTITY:7"}), "");
  EXPECT_EQ(ProfileArgument({"name", ""}), "name");
  // An absolute path names a profile file; a lone "/WORD" stays a switch.
  EXPECT_EQ(ProfileArgument({"/srv/jobs/night"}), "/srv/jobs/night");
  EXPECT_EQ(ProfileArgument({"/ENTITY:a/b"}), "");
  EXPECT_TRUE(UsesLastProfile({}));
  EXPECT_TRUE(UsesLastProfile({"/ENTITY:7"}));
  EXPECT_TRUE(UsesLastProfile({"/DEFAULT", "named"}));
  EXPECT_FALSE(UsesLastProfile({"named"}));
}

namespace {

// Start-up of the whole window. The profiles point at a loopback port nobody listens on, so
// a transfer that starts by itself fails at once and harmlessly.
class StartUp : public TMainFrmTest {
 protected:
  std::string Last, Named, Other;

  void SetUp() override {
    TMainFrmTest::SetUp();
    std::string port = std::to_string(quodra::test::FreeTcpPort());
    Last = WriteProfileFile("last", {"[Options]", "ServerName=127.0.0.1", "Port=" + port, "Login=last-user"});
    Named = WriteProfileFile("named", {"[Options]", "ServerName=127.0.0.1", "Port=" + port, "Login=named-user"});
    Other = WriteProfileFile("other", {"[Options]", "ServerName=127.0.0.1", "Port=" + port, "Login=other-user"});
    RememberLastProfile(Last);
  }

  bool Started() const { return Logged("Connected To Internet: "); }
  bool Minimised() const { return Frm->windowState() & Qt::WindowMinimized; }
  std::string UserName() const { return Frm->ui->Login1->text().toStdString(); }
  static std::string ReadProfileLogin(const std::string& path) { return quodra::app::ReadProfile(path).Login; }
};

}  // namespace

TEST_F(StartUp, NoArgumentsLoadsTheLastProfileAndWaits) {
  Make();
  EXPECT_FALSE(Minimised());
  EXPECT_EQ(Frm->size(), QSize(301, 326));  // collapsed to the profile panel
  Start();
  EXPECT_EQ(Frm->ProfilePath, Last);
  EXPECT_EQ(UserName(), "last-user");
  EXPECT_EQ(Frm->windowTitle().toStdString(), "last Quodra FTP Client ");
  EXPECT_FALSE(Started());
  EXPECT_TRUE(Frm->isVisible());
  EXPECT_TRUE(Frm->ui->ConnectBtn1->isEnabled());

  // Later activations do nothing: an edit survives.
  Frm->ui->Login1->setText("edited");
  Frm->hide();
  Frm->show();
  Frm->activateWindow();
  quodra::host::ProcessPendingEvents();
  EXPECT_EQ(UserName(), "edited");
}

// Each command line: which profile is used, whether the window starts minimised, and
// whether the transfer starts by itself.
TEST_F(StartUp, CommandLinesChooseProfileWindowStateAndStart) {
  struct TCase {
    QStringList Args;
    std::string* Profile;
    bool Minimised, Starts;
  } cases[] = {
      {{"other", "named"}, &Named, true, true},
      {{"/CONFIG", "named"}, &Named, false, false},
      {{"/CONFIG", "/DEFAULT", "named"}, &Last, false, true},
      {{"/visible", "named"}, &Named, false, true},
      {{"/DEFAULT"}, &Last, true, true},
      {{"/ENTITY:7"}, &Last, true, true},
      {{"/VISIBLE", QString::fromStdString(Other)}, &Other, false, true},  // an absolute path
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Args.join(' ').toStdString());
    RememberLastProfile(Last);  // the failed run before may have remembered its own
    Make(c.Args);
    EXPECT_EQ(Minimised(), c.Minimised);
    Start();
    EXPECT_EQ(Frm->ProfilePath, *c.Profile);
    EXPECT_EQ(UserName(), ReadProfileLogin(*c.Profile));
    EXPECT_EQ(Started(), c.Starts);
    EXPECT_EQ(Frm->Unattended(), c.Starts);
    EXPECT_EQ(Frm->ui->ConnectBtn1->isEnabled(), !c.Starts);  // an unattended run disables it
  }
}

TEST_F(StartUp, MissingLastProfileIsCalledNone) {
  RememberLastProfile("");
  Make();
  Start();
  EXPECT_EQ(Frm->ProfilePath, Profiles.File("<none>.FTP"));
  EXPECT_FALSE(Frm->ui->ConnectBtn1->isEnabled());
}

TEST_F(StartUp, MissingNamedProfileOffersToCreateItAndNeverStarts) {
  Make({"absent"});
  Start();
  EXPECT_EQ(Frm->ProfilePath, Profiles.File("absent.FTP"));
  EXPECT_FALSE(Started());
  EXPECT_FALSE(Frm->ui->ConnectBtn1->isEnabled());
  EXPECT_EQ(Frm->ui->PropertiesBtn1->text().toStdString(), "Create Profile");
  EXPECT_EQ(BoxText(), "");  // the name is not listed, so nothing is selected
  EXPECT_EQ(Frm->ui->Profilenamebox1->count(), 3);
  EXPECT_FALSE(Minimised());
  EXPECT_TRUE(Frm->isVisible());
  EXPECT_FALSE(Frm->RunHasFailed());
}

// Without a display nobody could answer the window: such runs end, reported as failed.
TEST_F(StartUp, WithoutDisplayRunsThatWouldWaitEndAsFailed) {
  Make({"absent"}, /*withDisplay=*/false);
  Start();
  EXPECT_TRUE(Logged("Profile not found: " + Profiles.File("absent.FTP")));
  EXPECT_TRUE(Frm->RunHasFailed());
  EXPECT_FALSE(Frm->isVisible());
  EXPECT_FALSE(Started());

  Make({"/CONFIG", "named"}, /*withDisplay=*/false);
  Start();
  EXPECT_TRUE(Frm->RunHasFailed());
  EXPECT_FALSE(Frm->isVisible());
}

TEST_F(StartUp, ClosingRemembersTheProfileUsed) {
  Make({"/CONFIG", "named"});
  Start();
  Frm->CloseWindow();
  EXPECT_EQ(LastProfile(), Named);
}
