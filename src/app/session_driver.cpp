// Connect: decides whether to dial first, then hands over to the job of the profile's
// transfer mode. The jobs are objects of their own, owned by the main window.
#include <QTimer>
#include <exception>

#include "app/file_copy_job.h"
#include "app/ftp_job.h"
#include "app/sftp_job.h"
#include "app/main_frm.h"
#include "app/profile_paths.h"
#include "dialogs/varn_opt_frm.h"
#include "host/event_wait.h"
#include "host/online_state.h"
#include "port/qp_socket.h"
#include "ui_main_frm.h"
#include "ui_varn_opt_frm.h"
#if __has_include("app/tftp_job.h")
#include "app/tftp_job.h"
#define QUODRA_HAVE_TFTP_JOB 1
#endif

void TMainFrm::CreateJobs() {
  FileCopyJob = new TFileCopyJob(*this);
  FtpJob = new TFtpJob(*this);
  FtpAbort = [this] { FtpJob->Client().Abort(); };
  FtpLogout = [this] {
    // The session's last status events ("Logout", "Connection Port Closed") are queued when
    // Logout returns; they are handled here so that a closing program still logs them.
    FtpJob->ExpectSessionEnd();
    if (FtpJob->Client().Logout()) quodra::host::ProcessPendingEvents();
  };
  FtpChangeDir = [this](const std::string& dir) { FtpJob->Client().ChangeDir(dir); };
  SftpJob = new TSftpJob(*this);
  SftpChangeFolder = [this](const std::string& entry) { return SftpJob->ChangeFolder(entry); };
  SftpLogout = [this] { SftpJob->EndSession(); };
  // What escapes an engine's event handler reaches this window's general handler.
  PreviousUnhandled = quodra::port::TQpSocket::UnhandledException;
  quodra::port::TQpSocket::UnhandledException = [this](const std::exception& e) { ReportException(e.what()); };
#ifdef QUODRA_HAVE_TFTP_JOB
  TftpJob = new TTftpJob(*this);
  TftpAbort = [this] { TftpJob->TFTP1->SetActive(false); };
#endif
}

void TMainFrm::Connect() {
  if (JobActive) return;  // one job at a time
  if (HasArguments()) ui->ConnectBtn1->setEnabled(false);
  JobStarted();
  // The job is over when this returns, unless the FTP session goes on by itself.
  struct TJobEnd {
    TMainFrm& Frm;
    ~TJobEnd() {
      if (!Frm.JobContinues) Frm.JobEnded();
    }
  } jobEnd{*this};
  FileNumber = 1;
  if (!TakeProfileRun()) {
    Log("Profile " + quodra::app::ProfileNameOf(ProfilePath) + " is being run by another process: this run does not start");
    MarkRunFailed();
    if (HasArguments()) CloseWindow();
    return;
  }
  bool online = quodra::host::IsComputerOnline();
  Log("Connected To Internet: " + BoolToText(online));
  bool useDialup = VarnOptFrm->ui->UseDialupCheckBox1->isChecked();
  // A link this program dials is dropped when it ends; one that was up already is not.
  bool hangupOnDestroy = useDialup && !online;
  VarnOptFrm->SetHangupOnDestroy(hangupOnDestroy);
  Log("Hangup on Destroy: " + BoolToText(hangupOnDestroy));
  if (!useDialup || online)
    DispatchByTransferMode(false);
  else
    ConnectWithDialup();
}

void TMainFrm::DispatchByTransferMode(bool afterDial) {
  const auto& opt = *VarnOptFrm->ui;
  // An SFTP session left open for browsing ends before any new job.
  SftpJob->EndSession("Reset/Logout");
  if (VarnOptFrm->SftpChkBox1->isChecked()) {
    Log(afterDial ? "Connect Using SFTP" : "Connect Using SFTP!");
    SftpJob->Run();
    return;
  }
  if (opt.TrivialFTPChkBox1->isChecked()) {
    Log("Connect Using TFTP");
    RunTftp();
  } else if (opt.FileCopyChkBox1->isChecked()) {
    Log(afterDial ? "Connect Using File Copy" : "Connect Using Copy!");
    try {
      RunFileCopy();
    } catch (const std::exception& e) {
      // Interactive runs show the failure in a message box; an unattended run logs it and
      // still ends.
      if (!HasArguments()) throw;
      Log(e.what());
      MarkRunFailed();
    }
    // Unattended copy runs end the program like the FTP and TFTP jobs do.
    if (HasArguments()) CloseWindow();
  } else {
    Log(afterDial ? "Connect Using FTP" : "Connect Using FTP!");
    StartFtp();
  }
}

void TMainFrm::RunFileCopy() { FileCopyJob->Run(); }

#ifdef QUODRA_HAVE_TFTP_JOB
void TMainFrm::RunTftp() {
  // A TFTP run first stops an FTP session that is still open.
  auto& ftp = FtpJob->Client();
  if (ftp.Open()) {
    ftp.Abort();
    ftp.SetOpen(false);
  }
  TftpJob->Run();
}
#else
void TMainFrm::RunTftp() {
  Log("Error: TFTP transfers are not available yet");
  MarkRunFailed();
  if (HasArguments()) CloseWindow();
}
#endif

void TMainFrm::StartFtp() { FtpJob->StartFtp(); }
