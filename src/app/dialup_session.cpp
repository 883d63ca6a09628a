// The dial-up path of Connect: dial the profile's phonebook entry, wait for the outcome in
// the event loop, run the job of the transfer mode, then hang up when the profile says so.
#include <QCheckBox>
#include <QComboBox>
#include <QRadioButton>
#include <exception>

#include "app/ftp_job.h"
#include "app/main_frm.h"
#include "app/profile_paths.h"
#include "dialogs/varn_opt_frm.h"
#include "dialup/qp_ras_dialer.h"
#include "host/byte_text.h"
#include "host/event_wait.h"
#include "ui_main_frm.h"

namespace {

// The dialog's controls by name (its generated header belongs to the dialogs library).
bool Checked(const TVarnOptFrm& opt, const char* name) {
  auto* box = opt.findChild<QAbstractButton*>(name);
  return box && box->isChecked();
}

}  // namespace

void TMainFrm::ConnectWithDialup() {
  TVarnOptFrm& opt = *VarnOptFrm;
  TQpRasDialer& dialer = *opt.QpRasDialer;
  int rc = 0;
  try {
    Log("Using Dialup...");
    ui->Profilenamebox1->setEditText(quodra::host::TextOf(quodra::app::ProfileNameOf(ProfilePath)));
    quodra::host::ProcessPendingEvents();
    opt.RefreshEntryListClick();
    Log("Connect using " + dialer.EntryName());
    Log("Dialing... " + dialer.PhoneNumber());
    // The dial uses the entry's parameters as they are: nothing is stored for it here.
    rc = dialer.Dial();
  } catch (const std::exception& e) {
    // No remote access service. An unattended run must still end; interactively the
    // general handler shows the text.
    if (!HasArguments()) throw;
    Log(e.what());
    MarkRunFailed();
    CloseWindow();
    return;
  }
  if (rc == 0) {
    // Dial reports a disconnection of its own first (it hangs up before dialling): only
    // what comes after it counts. A refused dial has reported already and skips the wait.
    opt.DialOutcome = 0;
    opt.DialError = 0;
    quodra::host::WaitUntil([&] { return opt.DialOutcome != 0 || AbortRequested || Closing; });
    if (opt.DialOutcome == 1) {
      DispatchByTransferMode(true);
    } else {
      // The dial failed after it was accepted, or the link was dropped before it came up
      // (Cancel in the status window, Abort, Close): no job runs over a link that is not there.
      rc = opt.DialError != 0 ? opt.DialError : quodra::dialup::kRasErrorUserDisconnection;
      if (opt.DialOutcome == 0) dialer.Hangup();
    }
  }
  Log("Done..." + dialer.GetErrorText(rc));
  if (Checked(opt, "AutoDisconnect1")) {
    // The FTP job runs on after StartFtp has returned: keep the link up until its session
    // has ended (or the window closes), so that hanging up does not cut the transfer.
    if (rc == 0 && FtpJob && !Checked(opt, "TrivialFTPChkBox1") && !Checked(opt, "FileCopyChkBox1"))
      quodra::host::WaitUntil([this] { return Closing || !isVisible() || !FtpJob->Client().Connected(); });
    try {
      dialer.Hangup();
    } catch (const std::exception&) {
      // A hang-up that fails changes nothing for the transfer.
    }
  }
  // A dial that did not bring the link up fails the run; nothing else ends an unattended one.
  if (rc != 0) {
    MarkRunFailed();
    if (HasArguments()) CloseWindow();
  }
}
