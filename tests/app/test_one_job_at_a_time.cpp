// One job at a time: while a copy or a TFTP download runs, a second Connect, Properties and
// the profile box do nothing and Abort stays; Abort, the Close button and the close box stop
// the job, and a closed window goes away only once the job has stopped.
#include <QTimer>

#include "app/log_view.h"
#include "support/tftp_server_fixture.h"
#include "test_main_frm_fixture.h"

using namespace quodra::test;

namespace {

class OneJob : public TMainFrmTest {};

enum class TMode { Copy, Tftp };
enum class TAction { SecondConnect, Abort, CloseButton, CloseBox };

struct TScenario {
  const char* Name;
  TMode Mode;
  TAction Action;
  bool Stops;   // the job ends early, nothing arrives
  bool Closes;  // the window closes once the job is over
};

}  // namespace

TEST_F(OneJob, ASecondJobNeverStartsAndClosingWaitsForTheStoppedJob) {
  const TScenario scenarios[] = {
      {"copy, Connect again", TMode::Copy, TAction::SecondConnect, false, false},
      {"copy, Abort", TMode::Copy, TAction::Abort, true, false},
      {"copy, Close button", TMode::Copy, TAction::CloseButton, true, true},
      {"copy, close box", TMode::Copy, TAction::CloseBox, true, true},
      {"TFTP, Connect again", TMode::Tftp, TAction::SecondConnect, false, false},
      {"TFTP, Abort", TMode::Tftp, TAction::Abort, true, false},
      {"TFTP, Close button", TMode::Tftp, TAction::CloseButton, true, true},
      {"TFTP, close box", TMode::Tftp, TAction::CloseBox, true, true},
  };
  TTempDir served, local;
  // Large enough that the job handles events many times on its way.
  std::string content(3 << 20, 'q');
  for (size_t i = 0; i < content.size(); i += 97) content[i] = '\n';
  WriteFile(served.File("big.bin"), content);
  TTftpdServer server;
  ASSERT_TRUE(server.Start(served.Path()));

  for (const auto& s : scenarios) {
    SCOPED_TRACE(s.Name);
    auto& f = Make();
    f.show();
    auto& opt = *Opt->ui;
    const std::string dest = local.File(std::string("dest-") + std::to_string(&s - scenarios));
    opt.DestFileName1->setText(QString::fromStdString(dest));
    opt.AutoDisconnect1->setChecked(false);
    opt.Overwrite1->setChecked(true);
    opt.DeleteRemote1->setChecked(false);
    opt.Binary1->setChecked(true);
    if (s.Mode == TMode::Copy) {
      opt.FileCopyChkBox1->setChecked(true);
      opt.SourceFileName1->setText(QString::fromStdString(served.File("big.bin")));
    } else {
      opt.TrivialFTPChkBox1->setChecked(true);
      f.ui->ServerName1->setText("127.0.0.1");
      opt.Port1->setText(QString::number(server.Port()));
      opt.TransferTimeOutSpinEdit1->setValue(2000);
      opt.SourceFileName1->setText(QString::fromStdString(server.RemoteName("big.bin")));
    }

    // The action comes with the job's first line after its start; the state of the
    // controls is taken then and at the job's last line.
    const std::string actionLine = s.Mode == TMode::Copy ? "Login" : "Begin Transfer ";
    const std::string lastLine = s.Mode == TMode::Copy ? "Done" : "Close Connection!";
    bool connectDuring = true, propertiesDuring = true, boxDuring = true, abortDuring = false;
    bool abortHidden = false, visibleAtEnd = false;
    QObject::connect(f.ui->ErrorBox1, &TLogView::LineAdded, &f, [&](const QString& line) {
      // The copy job hides Abort itself just before its closing line.
      if (line.toStdString() != "Done") abortHidden |= !f.ui->Abort1->isVisible();
      if (line.toStdString() == lastLine) visibleAtEnd = f.isVisible();
      if (line.toStdString() != actionLine) return;
      QTimer::singleShot(0, &f, [&] {
        connectDuring = f.ui->ConnectBtn1->isEnabled();
        propertiesDuring = f.ui->PropertiesBtn1->isEnabled();
        boxDuring = f.ui->Profilenamebox1->isEnabled();
        abortDuring = f.ui->Abort1->isVisible();
        switch (s.Action) {
          case TAction::SecondConnect:
            f.ui->ConnectBtn1->click();
            f.Connect();  // as a key press or a script would
            break;
          case TAction::Abort: f.ui->Abort1->click(); break;
          case TAction::CloseButton: f.ui->Close1->click(); break;
          case TAction::CloseBox:
            f.close();
            // The close box's Close runs once its event is over: here, still inside the job.
            quodra::host::ProcessPendingEvents();
            break;
        }
      });
    });

    f.ui->ConnectBtn1->click();
    quodra::host::WaitUntil([&] { return !f.JobRunning(); }, quodra::host::NowMs() + 20000);
    quodra::host::ProcessPendingEvents();

    EXPECT_FALSE(connectDuring);
    EXPECT_FALSE(propertiesDuring);
    EXPECT_FALSE(boxDuring);
    EXPECT_TRUE(abortDuring);
    EXPECT_FALSE(abortHidden) << "Abort stays until the job ends";
    EXPECT_TRUE(visibleAtEnd) << "the window stays until the job has stopped";
    int connects = 0;
    for (const auto& l : LogLines()) connects += l.rfind("Connected To Internet:", 0) == 0;
    EXPECT_EQ(connects, 1) << "a second job started";
    EXPECT_EQ(Logged("Aborted by User"), s.Stops);
    if (s.Stops)
      EXPECT_FALSE(FileExists(dest));
    else
      EXPECT_EQ(ReadFile(dest), content);
    EXPECT_EQ(f.isVisible(), !s.Closes);
    EXPECT_FALSE(f.ui->Abort1->isVisible());
    EXPECT_TRUE(f.ui->ConnectBtn1->isEnabled());
    EXPECT_TRUE(f.ui->PropertiesBtn1->isEnabled());
  }
}
