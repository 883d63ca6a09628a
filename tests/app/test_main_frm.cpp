// The main window: its layout and the expand button, the log, closing, the directory list,
// and error reporting.
#include <QMouseEvent>
#include <QScreen>

#include "support/server_process.h"
#include "test_main_frm_fixture.h"

using quodra::test::TMainFrmTest;

namespace {

class MainFrm : public TMainFrmTest {};

}  // namespace

TEST_F(MainFrm, ExpandButtonFollowsTheScreenRules) {
  auto& f = Make();
  const int screenWidth = f.screen()->geometry().width();
  ASSERT_GT(screenWidth, 640);
  // Collapsed at creation to the expand button's right edge + 20 by its bottom + 50.
  EXPECT_EQ(f.ui->TermBtn1->geometry(), QRect(256, 251, 25, 25));
  EXPECT_EQ(f.size(), QSize(301, 326));
  EXPECT_EQ(f.ui->Panel3->width(), 295);

  // In the top-left corner the window takes the whole screen width.
  f.move(0, 0);
  f.ui->TermBtn1->click();
  EXPECT_EQ(f.width(), screenWidth);
  EXPECT_EQ(f.x(), 0);
  EXPECT_EQ(f.ui->TermBtn1->text().toStdString(), "<<");

  // Collapsing gives the profile panel alone, narrower than at the start.
  f.ui->TermBtn1->click();
  EXPECT_EQ(f.width(), 295);
  EXPECT_EQ(f.ui->TermBtn1->text().toStdString(), ">>");
  EXPECT_EQ(f.ui->Panel4->width(), 0);

  // A window whose right edge would leave the screen moves left to end at its edge.
  f.move(screenWidth - 100, 40);
  f.ui->TermBtn1->click();
  EXPECT_EQ(f.width(), 635);
  EXPECT_EQ(f.x(), screenWidth - 635);
  EXPECT_EQ(f.y(), 40);
  EXPECT_EQ(f.ui->Panel4->geometry(), QRect(295, 0, 340, f.height()));

  // One that fits stays where it is.
  f.ui->TermBtn1->click();
  f.move(10, 40);
  f.ui->TermBtn1->click();
  EXPECT_EQ(f.x(), 10);
  EXPECT_EQ(f.width(), 635);
}

TEST_F(MainFrm, LogAppendsAndCopiesToStandardOutputInRunsWithArguments) {
  auto& quiet = Make();
  testing::internal::CaptureStdout();
  quiet.Log("first");
  quiet.Log("");
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(LogLines(), (std::vector<std::string>{"first", ""}));

  auto& scripted = Make({"/CONFIG", "x"});
  testing::internal::CaptureStdout();
  scripted.Log("one");
  scripted.Log("");
  scripted.Log("two");
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "one\n\ntwo\n");
  EXPECT_EQ(LogLines().size(), 3u);
}

TEST_F(MainFrm, CloseButtonAbortsAndLogsOutOnceAndRemembersTheProfile) {
  auto& f = Make();
  Start();
  int aborts = 0, logouts = 0;
  f.FtpAbort = [&] { ++aborts; };
  f.FtpLogout = [&] { ++logouts; };
  f.ProfilePath = Profiles.File("chosen.FTP");
  f.ui->Close1->click();
  EXPECT_TRUE(f.Closing);
  EXPECT_FALSE(f.isVisible());
  EXPECT_EQ(aborts, 1);
  EXPECT_EQ(logouts, 2);  // the button's, then the window's own on closing
  EXPECT_EQ(LastProfile(), Profiles.File("chosen.FTP"));

  f.ui->Close1->click();  // a second press does nothing
  EXPECT_EQ(aborts, 1);

  // A session that fails to close is dropped; its profile is not remembered.
  auto& g = Make();
  g.FtpAbort = [] { throw std::runtime_error("abort failed"); };
  g.FtpLogout = [] { throw std::runtime_error("logout failed"); };
  g.ProfilePath = Profiles.File("other.FTP");
  g.ui->Close1->click();
  EXPECT_TRUE(g.Closing);
  EXPECT_EQ(LastProfile(), Profiles.File("chosen.FTP"));
}

TEST_F(MainFrm, ClickingADirectoryEntryChangesToIt) {
  auto& f = Make();
  f.ui->TermBtn1->click();
  f.show();
  quodra::host::ProcessPendingEvents();
  std::vector<std::string> changes;
  f.FtpChangeDir = [&](const std::string& dir) { changes.push_back(dir); };
  f.ui->lbxCurrentDir->addItems({"<Start>", "incoming", "<End>"});
  QWidget* view = f.ui->lbxCurrentDir->viewport();
  auto click = [&](QPoint at) {
    QMouseEvent press(QEvent::MouseButtonPress, at, view->mapToGlobal(at), Qt::LeftButton, Qt::LeftButton, {});
    QMouseEvent release(QEvent::MouseButtonRelease, at, view->mapToGlobal(at), Qt::LeftButton, Qt::NoButton, {});
    QCoreApplication::sendEvent(view, &press);
    QCoreApplication::sendEvent(view, &release);
  };
  click(f.ui->lbxCurrentDir->visualItemRect(f.ui->lbxCurrentDir->item(1)).center());
  EXPECT_EQ(f.ClickedEntry, "incoming");
  EXPECT_EQ(changes, std::vector<std::string>{"incoming"});

  // Below the last entry: the entry clicked before stays, and no change is asked for.
  QRect last = f.ui->lbxCurrentDir->visualItemRect(f.ui->lbxCurrentDir->item(2));
  ASSERT_LT(last.bottom() + 10, view->height());
  click(QPoint(last.center().x(), last.bottom() + 10));
  EXPECT_EQ(f.ClickedEntry, "incoming");
  EXPECT_EQ(changes.size(), 1u);

  // Refilling the list (a new listing) is not a click.
  f.ui->lbxCurrentDir->setCurrentRow(0);
  f.ui->lbxCurrentDir->clear();
  f.ui->lbxCurrentDir->addItems({"<Start>", "<End>"});
  f.ui->lbxCurrentDir->setCurrentRow(1);
  EXPECT_EQ(changes.size(), 1u);
}

TEST_F(MainFrm, EscapedExceptionsAreShownOrLoggedByTheKindOfRun) {
  auto& interactive = Make();
  interactive.ReportException("broken");
  EXPECT_EQ(Messages, std::vector<std::string>{"broken"});
  EXPECT_FALSE(interactive.RunHasFailed());

  Messages.clear();
  auto& headless = Make({}, /*withDisplay=*/false);
  headless.MessageBoxHook = nullptr;
  testing::internal::CaptureStderr();
  headless.ReportException("broken too");
  headless.ShowError("Unable to write to /x.FTP");
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(err, "broken too\nUnable to write to /x.FTP\n");
  EXPECT_EQ(LogLines(), (std::vector<std::string>{"broken too", "Unable to write to /x.FTP"}));
  EXPECT_TRUE(headless.RunHasFailed());

  // An unattended run with a display logs them too: nobody is there to close a box.
  Messages.clear();
  std::string port = std::to_string(quodra::test::FreeTcpPort());
  WriteProfileFile("job", {"[Options]", "ServerName=127.0.0.1", "Port=" + port});
  auto& unattended = Make({"/VISIBLE", "job"});
  Start();
  ASSERT_TRUE(unattended.Unattended());
  unattended.ReportException("went wrong");
  EXPECT_TRUE(Messages.empty());
  EXPECT_TRUE(Logged("went wrong"));
  EXPECT_TRUE(unattended.RunHasFailed());
}

// Every log line is one line in the list, on standard output and at the host: line ends at
// its end are dropped (server replies end with CR LF), those inside it are escaped.
TEST_F(MainFrm, LogLinesNeverHoldLineEnds) {
  auto& f = Make({"/CONFIG", "x"});
  const std::pair<std::string, std::string> cases[] = {
      {"550 No such file.\r\n", "550 No such file."},
      {"ends with LF\n", "ends with LF"},
      {"two\r\nlines", "two\\r\\nlines"},
      {"lone\rCR", "lone\\rCR"},
      {"\r\n", ""},
  };
  testing::internal::CaptureStdout();
  std::string expectedOut;
  for (const auto& [in, out] : cases) {
    f.Log(in);
    EXPECT_EQ(LogLines().back(), out);
    expectedOut += out + "\n";
  }
  EXPECT_EQ(testing::internal::GetCapturedStdout(), expectedOut);
}
