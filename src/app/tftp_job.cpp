#include "tftp_job.h"

#include <unistd.h>

#include <cstdio>
#include <exception>

#include "app/append_file.h"
#include "app/digits_to_int.h"
#include "app/main_frm.h"
#include "dialogs/varn_opt_frm.h"
#include "host/event_wait.h"
#include "host/program_folder.h"
#include "host/text_util.h"
#include "ui_main_frm.h"
#include "ui_varn_opt_frm.h"

using namespace quodra::tftp;
using quodra::host::Trim;

namespace {

constexpr int kDefaultTftpPort = 69;

bool Exists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

}  // namespace

TTftpJob::TTftpJob(TMainFrm& frm) : QObject(&frm), TFTP1(new TDgTrivialFTP(this)), Frm(frm) {
  TFTP1->Port = 69;
  TFTP1->ReceiveTimeout = 4000;
  TFTP1->RequestedBlockSize = 512;
  TFTP1->OnStatus = [this](TDgComponent* s, TDgStatus st, const std::string& t) { TFTP1Status(s, st, t); };
  TFTP1->OnWork = [this](TDgComponent* s, TWorkMode m, int64_t c) { TFTP1Work(s, m, c); };
  TFTP1->OnWorkBegin = [this](TDgComponent* s, TWorkMode m, int64_t c) { TFTP1WorkBegin(s, m, c); };
}

std::string TTftpJob::TempFileName() { return quodra::host::ProgramFolder() + kTempFileName; }

void TTftpJob::Run() {
  const auto& opt = *Frm.VarnOptFrm->ui;
  try {
    Frm.AbortRequested = false;

    // An FTP session that is still open has been stopped by TMainFrm::RunTftp before it
    // called Run: the window holds the FTP engine.
    if (TFTP1->Active()) {
      Frm.Log("Reset active connection!");
      TFTP1->SetActive(false);
      TMainFrm::Pause(3);
    }

    TFTP1->Host = Frm.ui->ServerName1->text().toStdString();
    TFTP1->ReceiveTimeout = opt.TransferTimeOutSpinEdit1->value();  // taken as milliseconds

    const std::string portText = opt.Port1->text().toStdString();
    TFTP1->Port = Trim(portText).empty() ? kDefaultTftpPort : quodra::app::DigitsToInt(portText);
    Frm.Log("Port: [" + std::to_string(TFTP1->Port) + "]");

    const bool binary = opt.Binary1->isChecked();
    Frm.Log("Binary Mode: " + TMainFrm::BoolToText(binary));
    TFTP1->TransferMode = binary ? tfOctet : tfNetAscii;

    Frm.Log("Begin Transfer ");
    Download(opt.SourceFileName1->text().toStdString(), opt.DestFileName1->text().toStdString());
  } catch (...) {
    // A TFTP error reply, a time-out, a host that does not resolve, a local file that
    // cannot be written: the job ends here.
    Frm.Log("Connect Failed");
    Frm.MarkRunFailed();
  }

  Frm.Log("Close Connection!");
  TFTP1->SetActive(false);

  if (opt.AutoDisconnect1->isChecked() || Frm.HasArguments()) Frm.CloseWindow();
}

void TTftpJob::Download(const std::string& source, const std::string& dest) {
  const auto& opt = *Frm.VarnOptFrm->ui;
  if (Trim(source).empty()) {
    Frm.Log("Error: Enter a valid source file name!");
    Frm.MarkRunFailed();
  } else if (Trim(dest).empty()) {
    Frm.Log("Error: Enter a valid destination file name!");
    Frm.MarkRunFailed();
  } else if (opt.Overwrite1->isChecked() || !Exists(dest)) {
    TFTP1->Get(source, dest);
  } else {
    // Appending: the download goes to the temporary file, which is appended only when it
    // arrived whole.
    const std::string temp = TempFileName();
    TFTP1->Get(source, temp);
    if (AppendFile(Frm, temp, dest) != kAppendOk) {
      Frm.Log(std::string("Error: Unable to append the temporary TFTP file ") + kTempFileName + " to " + dest);
      Frm.MarkRunFailed();
    } else {
      std::remove(temp.c_str());
    }
  }
}

void TTftpJob::TFTP1Status(TDgComponent*, TDgStatus, const std::string& text) { Frm.Log("TFTP: " + text); }

void TTftpJob::TFTP1Work(TDgComponent*, TWorkMode, int64_t count) {
  Frm.SetByteCounter(std::to_string(count) + " bytes");
  quodra::host::ProcessPendingEvents();
}

void TTftpJob::TFTP1WorkBegin(TDgComponent*, TWorkMode, int64_t) { quodra::host::ProcessPendingEvents(); }
