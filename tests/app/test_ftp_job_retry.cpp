// Retries in the window: the pause before a new login is an event-loop wait that Abort ends
// at once, with no new login and the run counted as failed.
#include <gtest/gtest.h>

#include <QSpinBox>

#include "app/ftp_job.h"
#include "app_test_window.h"
#include "host/clock.h"
#include "host/event_wait.h"
#include "host/online_state.h"
#include "support/server_process.h"

using namespace quodra::test;

TEST(FtpJobRetry, AbortEndsThePauseBeforeARetry) {
  quodra::host::SetOnlineOverride(true);
  TAppWindows w;
  auto& opt = *w.Opt->ui;
  opt.FTPChkBox1->setChecked(true);
  opt.UseDialupCheckBox1->setChecked(false);
  TRefusingTcpPort closed;
  opt.Port1->setText(QString::number(closed.Port()));  // nobody listens: refused, a transient failure
  opt.SourceFileName1->setText("a.txt");
  opt.DestFileName1->setText("/tmp/");
  opt.AutoDisconnect1->setChecked(false);
  w.Opt->Retries1->setValue(3);
  w.Opt->RetryDelay1->setValue(300);
  w.Main->ui->ServerName1->setText("127.0.0.1");
  w.Main->Connect();
  ASSERT_TRUE(quodra::host::WaitUntil([&] { return w.Logged("Retry 1 of 3 in 300 s: 10061 WsError"); },
                                      quodra::host::NowMs() + 30000));
  EXPECT_TRUE(w.Main->JobRunning());  // the job waits for its retry
  w.Main->ui->Abort1->click();
  // Bounded far below the pause: the abort ends it, not the clock.
  EXPECT_TRUE(quodra::host::WaitUntil([&] { return w.Main->RunHasFailed(); }, quodra::host::NowMs() + 30000));
  EXPECT_FALSE(w.Main->JobRunning());
  EXPECT_EQ(w.CountLogged("Connecting to 127.0.0.1"), 1);  // no new login after the abort
  quodra::host::SetOnlineOverride(std::nullopt);
}
