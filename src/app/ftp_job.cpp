#include "ftp_job.h"

#include <exception>

#include "app/ftp_source_list.h"
#include "app/main_frm.h"
#include "dialogs/varn_opt_frm.h"
#include "host/byte_text.h"
#include "host/clock.h"
#include "host/event_wait.h"
#include "host/text_util.h"
#include "jobs/retry_policy.h"
#include "ui_main_frm.h"
#include "ui_varn_opt_frm.h"

using namespace quodra::ftp;
using quodra::host::Trim;
using quodra::jobs::TFailureKind;
using quodra::jobs::TRemoteResult;

namespace {

QString QText(const std::string& s) { return quodra::host::TextOf(s); }
std::string Text(const char* s) { return s ? std::string(s) : std::string(); }

// A session the server ended without a word counts as a cut connection.
constexpr int32_t kWsaConnReset = 10054;
constexpr const char* kClosedByServer = "the server closed the connection";

static_assert(TMainFrm::kNoMoreFiles == quodra::jobs::TFetchWalk::kNoMoreItems);

}  // namespace

TFtpJob::TFtpJob(TMainFrm& frm)
    : QObject(&frm),
      Frm(frm),
      Side(std::make_unique<quodra::jobs::TFtpRemoteSide>(quodra::jobs::TJobProfile{})),
      QpFtpClient1(&Side->Client()),
      DirList(*frm.ui->lbxCurrentDir) {
  // Design-time settings of the window's FTP client.
  QpFtpClient1->ConnectTimeout = 0;
  QpFtpClient1->FileType = ftBinary;
  QpFtpClient1->PassiveMode = false;
  QpFtpClient1->TransferTimeout = 1092;
  QpFtpClient1->SetWsPort("ftp");
  // The job sees every event of the session first, then the walk's side, whose operation
  // the event may end.
  auto sideStatus = QpFtpClient1->OnFtpStatus;
  auto sideError = QpFtpClient1->OnFtpError;
  auto sideWsError = QpFtpClient1->OnWsError;
  QpFtpClient1->OnFtpStatus = [this, sideStatus](TQpCustomFtpClient* c, TFtpStatusCode code, const char* text) {
    QpFtpClient1FtpStatus(code, Text(text));
    if (sideStatus) sideStatus(c, code, text);
  };
  QpFtpClient1->OnFtpError = [this, sideError](TQpCustomFtpClient* c, int32_t code, const char* text) {
    QpFtpClient1FtpError(code, Text(text));
    if (sideError) sideError(c, code, text);
  };
  QpFtpClient1->OnWsError = [this, sideWsError](quodra::port::TQpBaseComponent* c, int32_t code) {
    QpFtpClient1WsError(code);
    if (sideWsError) sideWsError(c, code);
  };
  Side->OnLog = [this](const std::string& line) { Log(line); };
  RetryTimer.setSingleShot(true);
  RetryTimer.callOnTimeout(this, [this] { RetryNow(); });
}

TFtpJob::~TFtpJob() {
  // The window is going away: no event may reach it any more.
  QpFtpClient1->OnFtpStatus = nullptr;
  QpFtpClient1->OnFtpError = nullptr;
  QpFtpClient1->OnWsError = nullptr;
  QpFtpClient1->OnFtpNotice = nullptr;
  Side->OnLog = nullptr;
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

void TFtpJob::ReadProfile() {
  JobProfile = Frm.JobProfileFromControls();
  Side->SetProfile(JobProfile);
  quodra::jobs::TWalkSink sink;
  sink.Log = [this](const std::string& line) { Frm.Log(line); };
  // The session's own progress events move the byte counter; the walk gives the final count.
  sink.Progress = [this](int64_t bytes, bool done) {
    if (done) Frm.SetByteCounter(std::to_string(bytes) + " bytes [Done]");
  };
  sink.Fetching = [this](const std::string&, bool fromMask) {
    WalkFromMask = fromMask;
    TMainFrm::Pause(2);
  };
  sink.Started = [this](const std::string& name) {
    TMainFrm::Pause(2);
    Frm.ui->LTFileName1->setText(QText(FolderPart(name)));
    if (QpFtpClient1->InProgress()) Frm.Log("Retrieving");
  };
  Walk = std::make_unique<quodra::jobs::TFetchWalk>(*Side, JobProfile, std::move(sink));
  Walk->StopWhen = [this] { return Frm.Closing || Frm.AbortRequested; };
}

void TFtpJob::StartFtp() {
  RetryTimer.stop();
  RetryPending = RetryDue = false;
  Attempt = 0;
  ReadProfile();
  StartSession();
}

void TFtpJob::StartSession() {
  const quodra::jobs::TJobProfile& p = JobProfile;
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
  FailureHandled = true;
  Frm.MarkRunFailed();
  CloseAfterFailure(false);
}

void TFtpJob::QpFtpClient1FtpStatus(TFtpStatusCode code, const std::string& info) {
  // The walk asks what a refused name is: those replies are its answers.
  if (Side->Classifying() && (code == fsCommandDone || code == fsCurrentDir || code == fsTextReady)) return;
  switch (code) {
    case fsClosed:
      Frm.Log("Connection Port Closed");
      if (!SessionEnding && RetryLater(kWsaConnReset, kClosedByServer)) {
        FailureHandled = true;
        break;
      }
      EndJob();
      if (!SessionEnding) SessionLost();
      break;
    case fsLoggedOut:
      DirList.Clear();
      Frm.Log("Logout");
      if (!SessionEnding && RetryLater(kWsaConnReset, kClosedByServer)) {
        FailureHandled = true;
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
      // The walk's own delete: the work list drops the name, no fresh listing is needed.
      if (Side->InFlight() || InWalk) break;
      ListingFacts = false;
      if (!QpFtpClient1->ListDir("", false)) {
        Frm.Log("Name listing could not be started");
        CloseAfterFailure(true);
        break;
      }
      Frm.JobPhase = 3;
      break;
    case fsCurrentDir:
    case fsFileFacts:
    case fsTransferDone:  // the walk's side takes these
      break;
    case fsTextReady:
      if (Side->InFlight()) break;
      if (ListingFacts) {  // the second listing: the facts of the names listed first
        ListingDone(info);
        break;
      }
      NameListing = info;
      // The walk's files' facts, in one listing beside the names rather than file by file.
      if (Frm.JobPhase == 3 && Walk && quodra::jobs::AsksFileFacts(JobProfile) && QpFtpClient1->ListFacts()) {
        ListingFacts = true;
        break;
      }
      ListingDone("");
      break;
    case fsProgress:
      Frm.SetByteCounter(std::to_string(QpFtpClient1->BytesTransferred()) + " bytes");
      break;
    case fsTimeout:
      FailureHandled = true;
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

void TFtpJob::QpFtpClient1FtpError(int32_t code, const std::string& errorText) {
  std::string text = errorText;
  while (!text.empty() && (text.back() == '\r' || text.back() == '\n')) text.pop_back();
  // An answer to the walk's question is the walk's to log; anything else is the session's failure.
  if (Side->Answers(code)) return;
  // The facts listing is a help, not a need (a folder too big to list so, a refused data
  // connection): without it the walk asks each file's facts.
  if (ListingFacts && quodra::jobs::FactsListingFailureSpared(code, QpFtpClient1->Connected())) {
    Log(quodra::jobs::FactsListingFailedLine(code, text));
    ListingDone("");
    return;
  }
  // The walk finds out whether a mask's refused match is a file at all before it counts as
  // a failure.
  if (Side->Fetching() && WalkFromMask && code == 550) return;
  FailureHandled = true;
  std::string line = code == -1 ? "Connection Timeout - FTP Session aborted (" + text + ")"
                                : std::to_string(code) + " " + text;
  Log(line);
  // The reply itself where the server sent one ("421 Too many users").
  if (RetryLater(code, text.rfind(std::to_string(code), 0) == 0 ? text : line)) return;
  CloseAfterFailure(true);
}

void TFtpJob::QpFtpClient1WsError(int32_t code) {
  FailureHandled = true;
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
  if (quodra::jobs::FtpFailureKind(code) != TFailureKind::Transient) return false;
  ++Attempt;
  const int32_t delay = quodra::jobs::RetryDelaySeconds(JobProfile.RetryDelay, Attempt);
  Log(quodra::jobs::RetryLine(Attempt, JobProfile.Retries, delay, reason));
  // The failed session's own end is expected now; the job stays on until the retry.
  RetryPending = true;
  SessionEnding = true;
  RetryTimer.start(static_cast<int>(delay) * 1000);
  return true;
}

void TFtpJob::RetryNow() {
  // The pause may end inside one of the walk's waits: the new session starts once the walk
  // has returned, never below it.
  if (InWalk) {
    RetryDue = true;
    return;
  }
  RetryPending = false;
  // Abort or closing the window during the pause ended the job: no new login.
  if (!Frm.JobRunning() || Frm.AbortRequested || Frm.Closing) {
    Frm.MarkRunFailed();
    CloseAfterFailure(false);
    return;
  }
  Walk->ContinueRun();
  StartSession();
}

void TFtpJob::FillDirectoryList(const std::string& listing) { DirList.Fill(SplitListing(listing)); }

void TFtpJob::ListingDone(const std::string& factLines) {
  ListingFacts = false;
  if (Walk) Walk->NoteListing(quodra::jobs::FtpListingEntries(NameListing, factLines));
  FillDirectoryList(NameListing);
  NameListing.clear();
  if (Frm.JobPhase == 3) {
    Frm.FileNumber = 1;
    GetNextFile();
  }
}

void TFtpJob::GetNextFile() {
  if (InWalk) return;
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
  Frm.JobPhase = 4;
  std::string& sources = JobProfile.SourceFile;
  if (IsMask(sources) && sources.back() != ';') {
    sources += ';';
    // The window shows the list as the walk reads it.
    Frm.VarnOptFrm->ui->SourceFileName1->setText(QText(sources));
  }
  while (!Frm.Closing && !Frm.AbortRequested && !RetryPending) {
    FailureHandled = false;
    const TRemoteResult r = Walk->Step(Frm.FileNumber, DirList);
    WalkFromMask = false;
    if (Walk->RunFailed()) Frm.MarkRunFailed();
    if (!r.Ok()) {
      WalkFailed(r);
      break;
    }
    if (Frm.FileNumber == TMainFrm::kNoMoreFiles) break;
  }
  DirList.Flush();
  if (RetryDue) {
    RetryDue = false;
    RetryTimer.start(0);
  }
  // A retry to come goes on with the list: the run is not over.
  if (Frm.FileNumber == TMainFrm::kNoMoreFiles && !Frm.Closing && !RetryPending && EndsRunOnFailure()) {
    // A command still under way gets its answer before the session ends.
    WaitSettled();
    Frm.Closing = true;
    Frm.CloseWindow();
  }
  if (!QpFtpClient1->InProgress()) EndJob();
}

void TFtpJob::WalkFailed(const TRemoteResult& result) {
  // The session's handlers have logged it and retry or end the run; an abort ends it as it is.
  if (FailureHandled || result.Kind == TFailureKind::Aborted || Frm.Closing || RetryPending) return;
  if (result.Code == kFtpLocalFileError) {
    // The local file cannot be made: the walk stops here. Interactive runs show why
    // through the general error handler (a message box); an unattended run logs it.
    if (Frm.HasArguments())
      Log(result.Reason);
    else
      Frm.ReportException(result.Reason);
  } else {
    Log(result.Reason);
  }
  CloseAfterFailure(true);
}

void TFtpJob::EndJob() {
  if (RetryPending) return;  // the job goes on with the next login
  // Only the job this session carries: the end of an earlier session (the "Reset/Logout"
  // of a new Connect) is not the end of the job that replaces it.
  if (Frm.JobGoesOnByItself()) Frm.JobEnded();
}

bool TFtpJob::WaitSettled() {
  // Up to three commands (a delete, a listing's TYPE and NLST) each bounded by the transfer
  // time-out, and a margin for the connection's own end; 0 means no bound, as for the client.
  int64_t timeoutMs = static_cast<int64_t>(QpFtpClient1->TransferTimeout) * quodra::host::kMsPerTick;
  int64_t deadline = timeoutMs > 0 ? quodra::host::NowMs() + 4 * timeoutMs + 10000 : -1;
  return quodra::host::WaitUntil(
      [&] { return Frm.Closing || (!QpFtpClient1->InProgress() && !QpFtpClient1->EventsPending()); }, deadline);
}
