#include "ftp_job.h"

#include <cstring>
#include <exception>

#include "app/ftp_source_list.h"
#include "app/main_frm.h"
#include "dialogs/varn_opt_frm.h"
#include "host/clock.h"
#include "host/event_wait.h"
#include "host/text_util.h"
#include "jobs/retry_policy.h"
#include "ui_main_frm.h"
#include "ui_varn_opt_frm.h"

using namespace quodra::ftp;
using quodra::host::Trim;
using quodra::host::UpperCase;

namespace {

QString QText(const std::string& s) { return QString::fromStdString(s); }
std::string Text(const char* s) { return s ? std::string(s) : std::string(); }

// A session the server ended without a word counts as a cut connection.
constexpr int32_t kWsaConnReset = 10054;
constexpr const char* kClosedByServer = "the server closed the connection";

}  // namespace

TFtpJob::TFtpJob(TMainFrm& frm) : QObject(&frm), Frm(frm), QpFtpClient1(std::make_unique<TQpFtpClient>()), DirList(*frm.ui->lbxCurrentDir) {
  // Design-time settings of the window's FTP client.
  QpFtpClient1->ConnectTimeout = 0;
  QpFtpClient1->FileType = ftBinary;
  QpFtpClient1->PassiveMode = false;
  QpFtpClient1->TransferTimeout = 1092;
  QpFtpClient1->SetWsPort("ftp");
  QpFtpClient1->OnFtpStatus = [this](TQpCustomFtpClient*, TFtpStatusCode code, const char* text) {
    QpFtpClient1FtpStatus(code, Text(text));
  };
  QpFtpClient1->OnFtpError = [this](TQpCustomFtpClient*, int32_t code, const char* text) {
    QpFtpClient1FtpError(code, Text(text));
  };
  QpFtpClient1->OnWsError = [this](quodra::port::TQpBaseComponent*, int32_t code) { QpFtpClient1WsError(code); };
  QpFtpClient1->OnFtpNotice = [this](TQpCustomFtpClient*, const char* text) { Log(Text(text)); };
  RetryTimer.setSingleShot(true);
  RetryTimer.callOnTimeout(this, [this] { RetryNow(); });
}

TFtpJob::~TFtpJob() {
  // The window is going away: no event may reach it any more.
  QpFtpClient1->OnFtpStatus = nullptr;
  QpFtpClient1->OnFtpError = nullptr;
  QpFtpClient1->OnWsError = nullptr;
  QpFtpClient1->OnFtpNotice = nullptr;
}

// Server texts reach the log through here: control characters are written as escapes.
void TFtpJob::Log(const std::string& line) { Frm.Log(EscapeControl(line)); }

void TFtpJob::Logout() {
  SessionEnding = true;
  try {
    QpFtpClient1->Logout();
  } catch (const std::exception&) {
  }
}

void TFtpJob::ReadProfile() { JobProfile = Frm.JobProfileFromControls(); }

void TFtpJob::StartFtp() {
  RetryTimer.stop();
  RetryPending = RetrySession = false;
  Attempt = 0;
  Fetched.clear();
  LeftForNextRun.clear();
  ReadProfile();
  StartSession();
}

void TFtpJob::StartSession() {
  const quodra::jobs::TJobProfile& p = JobProfile;
  WalkRetrieve = false;
  Outcome = TOutcome::None;
  DeletePending.clear();
  Probe = {};
  try {
    if (QpFtpClient1->Connected()) {
      Frm.Log("Reset/Logout");
      Logout();
      TMainFrm::Pause(3);
      // The old session's last events (its logout, its close) belong to it, not to the new one.
      quodra::host::WaitUntil([this] { return !QpFtpClient1->EventsPending(); },
                              quodra::host::NowMs() + QpFtpClient1->LogoutWaitMs);
    }
    SessionEnding = false;
    Frm.Log("Connecting to " + p.ServerName);
    QpFtpClient1->SetServerAddress(p.ServerName);
    QpFtpClient1->UserName = p.Login;
    QpFtpClient1->Password = p.Password;
    QpFtpClient1->Account.clear();
    QpFtpClient1->PassiveMode = p.Passive;
    QpFtpClient1->TransferTimeout = p.TransferTimeOut;
    QpFtpClient1->ConnectTimeout = p.ConnectTimeOut;
    QpFtpClient1->Security = p.Security == "E" ? fcExplicitTls : p.Security == "I" ? fcImplicitTls : fcPlain;
    QpFtpClient1->CertificateFingerprint = p.Fingerprint;
    std::string port = Trim(p.Port);
    // Implicit TLS has a port of its own; the plain FTP port would never answer in TLS.
    if (port.empty() || (port == "ftp" && QpFtpClient1->Security == fcImplicitTls))
      port = QpFtpClient1->Security == fcImplicitTls ? "990" : "ftp";
    QpFtpClient1->SetWsPort(port);
    if (QpFtpClient1->Security != fcPlain)
      Frm.Log(std::string("Security: ") + (QpFtpClient1->Security == fcExplicitTls ? "explicit" : "implicit") + " TLS");
    Frm.Log("WS Port: [" + QpFtpClient1->WsPort() + "]");
    bool binary = p.Binary;
    Frm.Log("Binary Mode: " + TMainFrm::BoolToText(binary));
    QpFtpClient1->FileType = binary ? ftBinary : ftAscii;
    Frm.Log("Begin Login ");
    if (!QpFtpClient1->Login()) throw std::runtime_error("login refused");
    Frm.JobPhase = 0;
    Frm.JobGoesOn();  // the session's events carry the job from here
  } catch (const std::exception&) {
    Logout();
    Frm.Log("Connect Failed");
    // Nothing else would end an unattended run now.
    CloseAfterFailure(false);
  }
}

bool TFtpJob::EndsRunOnFailure() const { return JobProfile.AutoDisconnect || Frm.HasArguments(); }

void TFtpJob::CloseAfterFailure(bool logout) {
  Frm.MarkRunFailed();
  EndJob();
  if (!EndsRunOnFailure() || Frm.Closing) return;
  Frm.Closing = true;
  if (logout) Logout();
  Frm.CloseWindow();
}

// The server ended the session (closed the connection, 421): the run cannot go on.
void TFtpJob::SessionLost() {
  TransferFailed();
  Frm.MarkRunFailed();
  CloseAfterFailure(false);
}

void TFtpJob::TransferFailed() {
  if (Outcome == TOutcome::Pending) Outcome = TOutcome::Failed;
}

void TFtpJob::QpFtpClient1FtpStatus(TFtpStatusCode code, const std::string& info) {
  if (Probe.Active && (code == fsCommandDone || code == fsCurrentDir || code == fsTextReady)) {
    Probe.Done = Probe.Ok = true;
    Probe.Text = info;
    return;
  }
  // The session ended meanwhile: handled below as ever.
  if (Probe.Active && (code == fsClosed || code == fsLoggedOut || code == fsTimeout)) Probe.Done = Probe.Broken = true;
  switch (code) {
    case fsClosed:
      Frm.Log("Connection Port Closed");
      if (!SessionEnding && RetryLater(kWsaConnReset, kClosedByServer)) {
        TransferFailed();
        break;
      }
      EndJob();
      if (!SessionEnding) SessionLost();
      break;
    case fsLoggedOut:
      DirList.Clear();
      Frm.Log("Logout");
      if (!SessionEnding && RetryLater(kWsaConnReset, kClosedByServer)) {
        TransferFailed();
        break;
      }
      EndJob();
      if (!SessionEnding) SessionLost();
      break;
    case fsLoggedIn:
      LoginStep();
      break;
    case fsCommandDone:
      Frm.Log("Complete");
      if (Frm.Closing || SessionEnding) break;  // the program is ending: no new walk
      if (!DeletePending.empty()) {
        // The walk's own delete: a fresh listing would only lack the file just deleted,
        // so the work list drops it and the walk goes on at once.
        DirList.Remove(DeletePending);
        DeletePending.clear();
        Frm.JobPhase = 3;
        Frm.FileNumber = 1;
        GetNextFile();
        break;
      }
      if (!QpFtpClient1->ListDir("", false)) {
        Frm.Log("Name listing could not be started");
        CloseAfterFailure(true);
        break;
      }
      Frm.JobPhase = 3;
      break;
    case fsCurrentDir:
      break;
    case fsFileFacts:
      if (FactsPending) {
        FactsDone = true;
        Facts = {QpFtpClient1->RemoteSize(), QpFtpClient1->RemoteModTime()};
      }
      break;
    case fsTextReady:
      FillDirectoryList(info);
      if (Frm.JobPhase == 3) {
        Frm.FileNumber = 1;
        GetNextFile();
      }
      break;
    case fsProgress:
      Frm.SetByteCounter(std::to_string(QpFtpClient1->BytesTransferred()) + " bytes");
      break;
    case fsTransferDone:
      TransferDoneStep();
      break;
    case fsTimeout:
      TransferFailed();
      Frm.Log("Timeout");
      if (RetryLater(-1, "Timeout")) break;
      Frm.FileNumber = 1;
      CloseAfterFailure(false);
      break;
    default:  // fsConnected has no reaction of its own
      Frm.Log("Unknown Result #" + std::to_string(static_cast<int>(code)));
      break;
  }
}

void TFtpJob::LoginStep() {
  Frm.Log("Login");
  TMainFrm::Pause(3);
  std::string folder = JobProfile.DefaultFolder;
  std::string trimmed = Trim(folder);
  if (trimmed == "\\" || trimmed == "/" || trimmed == ".") {
    // Stay in the login folder; the command's completion still brings the listing.
    Frm.Log("Change Directory to " + folder);
    QpFtpClient1->ChangeDir(".");
  } else if (!trimmed.empty()) {
    Frm.Log("Change Directory to " + folder);
    QpFtpClient1->ChangeDir(folder);
  } else {
    Frm.JobPhase = 3;
    Frm.FileNumber = 1;
    GetNextFile();
  }
  TMainFrm::Pause(3);
}

void TFtpJob::TransferDoneStep() {
  // The file this transfer fetched: the walk may have moved CurrentSource on meanwhile.
  const std::string fetched = QpFtpClient1->RemoteFile();
  if (QpFtpClient1->HoldsLocalFile() && !KeepHeldFile(fetched)) {
    WalkRetrieve = false;
    TransferFailed();
    return;
  }
  Fetched.insert(UpperCase(fetched));
  if (Outcome == TOutcome::Pending) Outcome = TOutcome::Done;
  DoneBytes = QpFtpClient1->BytesTransferred();
  Frm.Log("Transfer Completed OK");
  Frm.SetByteCounter(std::to_string(QpFtpClient1->BytesTransferred()) + " bytes [Done]");
  // Every file the walk fetched is deleted, also when a listing asked for meanwhile has
  // changed the job's phase; a file it did not fetch never is.
  bool fromWalk = WalkRetrieve;
  WalkRetrieve = false;
  if (fromWalk && JobProfile.DeleteRemote) {
    Log("Delete Host File:" + fetched);
    if (QpFtpClient1->Delete(fetched)) DeletePending = fetched;
  }
  if (Frm.FileNumber == TMainFrm::kNoMoreFiles) {
    if (EndsRunOnFailure() && !Frm.Closing) {
      Frm.Closing = true;
      Frm.CloseWindow();
    }
  } else {
    GetNextFile();
  }
}

void TFtpJob::QpFtpClient1FtpError(int32_t code, const std::string& errorText) {
  std::string text = errorText;
  while (!text.empty() && (text.back() == '\r' || text.back() == '\n')) text.pop_back();
  if (Probe.Active) {
    Probe.Done = true;
    // A refusal answers the question; anything else is the session's failure, handled below.
    if (code >= 500 && code < 600) return;
    Probe.Broken = true;
  }
  if (Outcome == TOutcome::Pending && WalkFromMask && code == 550) {
    // The walk finds out whether the name is a file at all before it counts as a failure.
    Outcome = TOutcome::Refused;
    RefusedText = text;
    return;
  }
  TransferFailed();
  std::string line = code == -1 ? "Connection Timeout - FTP Session aborted (" + text + ")"
                                : std::to_string(code) + " " + text;
  Log(line);
  // The reply itself where the server sent one ("421 Too many users").
  if (RetryLater(code, text.rfind(std::to_string(code), 0) == 0 ? text : line)) return;
  CloseAfterFailure(true);
}

void TFtpJob::QpFtpClient1WsError(int32_t code) {
  TransferFailed();
  if (Probe.Active) Probe.Done = Probe.Broken = true;
  Frm.Log(std::to_string(code) + " WsError");
  if (QpFtpClient1->Connected()) Frm.Log("Reset/Logout");
  if (RetryLater(code, std::to_string(code) + " WsError")) return;
  CloseAfterFailure(false);  // closing the window logs the session out
}

void TFtpJob::ExpectSessionEnd() {
  SessionEnding = true;
  if (RetryPending) RetryTimer.start(0);  // RetryNow finds the job stopped
}

bool TFtpJob::RetryLater(int32_t code, const std::string& reason) {
  if (RetryPending) return true;
  if (Attempt >= JobProfile.Retries || Frm.Closing || Frm.AbortRequested || !Frm.JobRunning()) return false;
  if (quodra::jobs::FtpFailureKind(code) != quodra::jobs::TFailureKind::Transient) return false;
  ++Attempt;
  const int32_t delay = quodra::jobs::RetryDelaySeconds(JobProfile.RetryDelay, Attempt);
  Log(quodra::jobs::RetryLine(Attempt, JobProfile.Retries, delay, reason));
  // The failed session's own end is expected now; the job stays on until the retry.
  RetryPending = true;
  SessionEnding = true;
  WalkAgain = false;
  RetryTimer.start(static_cast<int>(delay) * 1000);
  return true;
}

void TFtpJob::RetryNow() {
  RetryPending = false;
  // Abort or closing the window during the pause ended the job: no new login.
  if (!Frm.JobRunning() || Frm.AbortRequested || Frm.Closing) {
    Frm.MarkRunFailed();
    CloseAfterFailure(false);
    return;
  }
  RetrySession = true;
  StartSession();
}

void TFtpJob::FillDirectoryList(const std::string& listing) { DirList.Fill(SplitListing(listing)); }

void TFtpJob::GetNextFile() {
  if (InWalk) {
    WalkAgain = true;
    return;
  }
  InWalk = true;
  if (!Frm.JobRunning()) {
    // A walk of a folder the user chose in the list is a job too.
    Frm.JobStarted();
    Frm.JobGoesOn();
    ReadProfile();
  }
  // Whatever escapes a step ends the walk (and the job) before it goes on to the handler.
  struct TWalkEnd {
    TFtpJob& Job;
    ~TWalkEnd() {
      Job.InWalk = false;
      if (std::uncaught_exceptions() > 0) Job.EndJob();
    }
  } walkEnd{*this};
  do {
    WalkAgain = false;
    WalkStep();
    // The next step starts only on a settled session: a delete and its fresh listing (which
    // restarts the walk) come first, however long the server takes.
    if (WalkAgain && !Frm.Closing && !WaitSettled()) {
      Frm.Log("Timeout");
      CloseAfterFailure(true);
    }
  } while (WalkAgain && !Frm.Closing && !Frm.AbortRequested);
  DirList.Flush();
  // The walk is over unless a delete is still under way: its fresh listing walks on.
  if (!QpFtpClient1->InProgress()) EndJob();
}

void TFtpJob::EndJob() {
  if (RetryPending) return;  // the job goes on with the next login
  // Only the job this session carries: the end of an earlier session (the "Reset/Logout"
  // of a new Connect) is not the end of the job that replaces it.
  if (Frm.JobGoesOnByItself()) Frm.JobEnded();
}

bool TFtpJob::WaitSettled(const std::function<bool()>& orWhen) {
  // Up to three commands (a delete, a listing's TYPE and NLST) each bounded by the transfer
  // time-out, and a margin for the connection's own end; 0 means no bound, as for the client.
  int64_t timeoutMs = static_cast<int64_t>(QpFtpClient1->TransferTimeout) * quodra::host::kMsPerTick;
  int64_t deadline = timeoutMs > 0 ? quodra::host::NowMs() + 4 * timeoutMs + 10000 : -1;
  return quodra::host::WaitUntil(
      [&] {
        return Frm.Closing || (orWhen && orWhen()) ||
               (!QpFtpClient1->InProgress() && !QpFtpClient1->EventsPending());
      },
      deadline);
}

void TFtpJob::WalkStep() {
  Frm.JobPhase = 4;
  std::string& sources = JobProfile.SourceFile;
  if (IsMask(sources) && sources.back() != ';') {
    sources += ';';
    // The window shows the list as the walk reads it.
    Frm.VarnOptFrm->ui->SourceFileName1->setText(QText(sources));
  }
  // A session after a failed one goes on where that one stopped: what this run fetched
  // already is not fetched again.
  auto fetchedBefore = [this](const std::string& name) {
    const std::string upper = UpperCase(name);
    return LeftForNextRun.count(upper) > 0 || (RetrySession && Fetched.count(upper) > 0);
  };

  bool fromListing = false;
  if (sources.find(';') == std::string::npos) {
    Frm.CurrentSource = sources;
    Frm.Log("Get File");
    Frm.FileNumber = TMainFrm::kNoMoreFiles;
    if (fetchedBefore(sources)) Frm.CurrentSource.clear();
  } else {
    for (;;) {
      bool maskMatched = false;
      Frm.CurrentSource = ExtractItem(sources, Frm.FileNumber, ';');
      if (!IsMask(Frm.CurrentSource)) {
        if (!Frm.CurrentSource.empty() && fetchedBefore(Frm.CurrentSource)) {
          ++Frm.FileNumber;
          continue;
        }
        if (!Frm.CurrentSource.empty() && !DirList.Contains(Frm.CurrentSource)) {
          Log("Source File:" + Frm.CurrentSource + " does not exist!");
          // After a delete the walk restarts on a fresh listing, where the files fetched
          // already are gone: only a name never fetched is a failure.
          if (!Fetched.count(UpperCase(Frm.CurrentSource))) Frm.MarkRunFailed();
          ++Frm.FileNumber;
        }
      } else {
        std::string mask = Frm.CurrentSource;
        std::string match = DirList.TakeMatch(mask);
        // A listing's own folder and its parent are no files of it; neither is fetched twice.
        if (match == "." || match == ".." || (!match.empty() && fetchedBefore(match))) continue;
        if (!match.empty()) {
          Frm.CurrentSource = match;
          --Frm.FileNumber;  // the same mask serves the next call too
          maskMatched = fromListing = true;
        } else {
          Log("Source File:" + mask + " mask finished!");
          Frm.CurrentSource.clear();
          Frm.FileNumber = TMainFrm::kNoMoreFiles;
        }
      }
      if (maskMatched || Frm.CurrentSource.empty() || DirList.Contains(Frm.CurrentSource)) break;
    }
    if (!Trim(Frm.CurrentSource).empty()) {
      if (Frm.FileNumber > 0) Frm.Log("Get File Number: " + std::to_string(Frm.FileNumber));
      ++Frm.FileNumber;
    } else {
      Frm.FileNumber = TMainFrm::kNoMoreFiles;
    }
  }
  if (Trim(Frm.CurrentSource).empty()) Frm.FileNumber = TMainFrm::kNoMoreFiles;

  const std::string& dest = JobProfile.DestinationFile;
  bool destIsFolder = !dest.empty() && (dest.back() == '\\' || dest.back() == '/');
  if (destIsFolder)
    Frm.CurrentDest = Trim(dest) + Frm.CurrentSource;
  else if (!Trim(dest).empty())
    Frm.CurrentDest = dest;
  else
    Frm.CurrentDest = Frm.CurrentSource;

  // A remote name becomes part of a local path only when it stays below the destination.
  if (!Trim(Frm.CurrentSource).empty() && (destIsFolder || Trim(dest).empty()) &&
      !IsSafeLocalName(Frm.CurrentSource, fromListing)) {
    Log("Source File:" + Frm.CurrentSource + " is not a safe local name!");
    Frm.MarkRunFailed();
    if (Frm.FileNumber != TMainFrm::kNoMoreFiles) {
      WalkAgain = true;
      return;
    }
    Frm.CurrentSource.clear();
    Frm.CurrentDest.clear();
  }

  if (!Trim(Frm.CurrentSource).empty() && !Trim(Frm.CurrentDest).empty()) {
    // The waits below handle events, and the next file's step may run inside them and move
    // CurrentSource on: the closing line names the file this call fetched.
    const std::string source = Frm.CurrentSource, dest = Frm.CurrentDest;
    Log("Source File:" + source + " to Dest File:" + dest);
    TMainFrm::Pause(2);
    bool overwrite = JobProfile.Overwrite;
    Frm.Log(overwrite ? "Retrieve and Overwrite" : "Retrieve and Append");
    // The pause may have seen the session end.
    if (Frm.Closing) return;
    bool started = false;
    // In binary mode the file's size and time first: the transfer must bring exactly that
    // many bytes, a cut one is continued later from the bytes kept, and with Delete remote
    // file the file is deleted only if it did not change while it was fetched.
    FactsBefore = {};
    if (JobProfile.Binary) {
      if (!AskFacts(source, FactsBefore)) return;
      QpFtpClient1->ExpectedSize = FactsBefore.Size;
      if (FactsBefore.Size >= 0) QpFtpClient1->ResumeIdentity = IdentityOf(source, FactsBefore);
      QpFtpClient1->HoldLocalFile = JobProfile.DeleteRemote && FactsBefore.Size >= 0;
    }
    Outcome = TOutcome::Pending;
    WalkFromMask = fromListing;
    try {
      started = QpFtpClient1->Retrieve(source, dest, overwrite ? rmReplace : rmAppend);
      // Before the pause: the transfer may well end inside it.
      WalkRetrieve = started;
    } catch (const std::exception& e) {
      // The local file cannot be made: the walk stops here. Interactive runs show why
      // through the general error handler (a message box); an unattended run logs it.
      Outcome = TOutcome::None;
      WalkAgain = false;
      if (Frm.HasArguments())
        Log(e.what());
      else
        Frm.ReportException(e.what());
      CloseAfterFailure(true);
      return;
    }
    TMainFrm::Pause(2);
    Frm.ui->LTFileName1->setText(QText(FolderPart(source)));
    if (!started) {
      Outcome = TOutcome::None;
      Log("Retrieve of " + source + " could not be started");
      CloseAfterFailure(true);
      return;
    }
    if (QpFtpClient1->InProgress()) Frm.Log("Retrieving");
    // Until the transfer's own outcome was handled. A session back at Ready without one
    // (an abort) ends the wait too; so does a closing window.
    WaitSettled([this] { return Outcome != TOutcome::Pending; });
    // Only a transfer the server confirmed is reported as transferred, with its own count.
    if (Outcome == TOutcome::Done)
      Log("Transferred " + source + " to " + dest + " " + std::to_string(DoneBytes) + " bytes [Done]");
    const bool refused = Outcome == TOutcome::Refused;
    Outcome = TOutcome::None;
    WalkFromMask = false;
    if (refused) {
      WalkRetrieve = false;
      if (!NotARegularFile(source)) {
        if (Frm.Closing || RetryPending || Probe.Broken) return;
        Log("550 " + RefusedText);
        CloseAfterFailure(true);
        return;
      }
      // Not a failure: the mask goes on with its next match.
      Log("Source File:" + source + " is not a regular file, skipped");
      if (Frm.FileNumber != TMainFrm::kNoMoreFiles) {
        WalkAgain = true;
        return;
      }
    }
  }
  // A retry to come goes on with the list: the run is not over.
  if (Frm.FileNumber == TMainFrm::kNoMoreFiles && !Frm.Closing && !RetryPending && EndsRunOnFailure()) {
    // A delete still under way gets its answer before the session ends.
    WaitSettled();
    Frm.Closing = true;
    Frm.CloseWindow();
  }
}

bool TFtpJob::ProbeCommand(const std::function<bool()>& start) {
  if (Probe.Broken) return false;
  Probe = {};
  Probe.Active = true;
  bool started = false;
  try {
    started = start();
  } catch (const std::exception&) {
  }
  if (started) WaitSettled([this] { return Probe.Done; });
  const bool ok = started && Probe.Done && Probe.Ok;
  Probe.Active = false;
  return ok && !Frm.Closing && QpFtpClient1->Connected();
}

bool TFtpJob::NotARegularFile(const std::string& name) {
  // A folder (or a link to one) can be entered: then back to where the walk lists, by the
  // absolute name PWD gives, since ".." from a link's target is not where the link was.
  if (!WaitSettled() || !ProbeCommand([this] { return QpFtpClient1->ChangeDir(""); })) return false;
  const std::string home = Probe.Text;
  if (ProbeCommand([&] { return QpFtpClient1->ChangeDir(name); }))
    return !home.empty() && ProbeCommand([&] { return QpFtpClient1->ChangeDir(home); });
  // A link that leads nowhere lists as a link ("l" first) but cannot be sent.
  if (!ProbeCommand([&] { return QpFtpClient1->ListDir(name, true); })) return false;
  for (const std::string& line : SplitListing(Probe.Text))
    if (!Trim(line).empty()) return line[0] == 'l' || line[0] == 'L';
  return false;
}

bool TFtpJob::AskFacts(const std::string& name, TFacts& facts) {
  facts = {};
  FactsPending = true;
  FactsDone = false;
  bool asked = false;
  try {
    asked = QpFtpClient1->FileFacts(name);
  } catch (const std::exception&) {
  }
  // Not asked (no session ready): the facts stay unknown and the retrieve meets the same
  // state and reports it.
  if (!asked) {
    FactsPending = false;
    return true;
  }
  WaitSettled([this] { return FactsDone; });
  FactsPending = false;
  if (!FactsDone || Frm.Closing || RetryPending) return false;
  facts = Facts;
  return true;
}

quodra::host::TRemoteFileIdentity TFtpJob::IdentityOf(const std::string& name, const TFacts& facts) const {
  quodra::host::TRemoteFileIdentity id;
  std::string port = Trim(JobProfile.Port);
  id.Server = Trim(JobProfile.ServerName) + (port.empty() || port == "ftp" || port == "21" ? "" : ":" + port);
  std::string folder = Trim(JobProfile.DefaultFolder);
  while (!folder.empty() && (folder.back() == '/' || folder.back() == '\\')) folder.pop_back();
  id.Path = name[0] == '/' || folder.empty() || folder == "." ? name : folder + "/" + name;
  id.Size = facts.Size;
  id.ModTime = facts.ModTime;
  return id;
}

bool TFtpJob::KeepHeldFile(const std::string& name) {
  TFacts after;
  if (!AskFacts(name, after)) {
    QpFtpClient1->DiscardHeldFile();  // the session failed: its handler ended or retries the run
    return false;
  }
  const bool same = after.Size == FactsBefore.Size && (FactsBefore.ModTime.empty() || after.ModTime == FactsBefore.ModTime);
  if (!same) {
    QpFtpClient1->DiscardHeldFile();
    LeftForNextRun.insert(UpperCase(name));
    Log("Source File:" + name + " changed while it was fetched (" + std::to_string(FactsBefore.Size) +
        " bytes, now " + std::to_string(after.Size) + "), left on the server for the next run");
    Frm.MarkRunFailed();
    // Not a failure of the session: the walk goes on with the next name.
    if (Frm.FileNumber != TMainFrm::kNoMoreFiles) GetNextFile();
    return false;
  }
  if (int err = QpFtpClient1->CommitHeldFile()) {
    Log("Dest File:" + QpFtpClient1->LocalFile() + " could not be written: " + std::strerror(err));
    CloseAfterFailure(true);
    return false;
  }
  return true;
}
