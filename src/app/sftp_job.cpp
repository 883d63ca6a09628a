// The SFTP job: the walk, and browsing the session it leaves open (see sftp_job.h).
#include "app/sftp_job.h"

#include <QPushButton>
#include <QStringList>
#include <QTimer>

#include "app/main_frm.h"
#include "dialogs/varn_opt_frm.h"
#include "host/byte_text.h"
#include "jobs/fetch_walk.h"
#include "jobs/sftp_remote_side.h"
#include "ui_main_frm.h"

using quodra::jobs::TEntryKind;
using quodra::jobs::TRemoteEntry;
using quodra::jobs::TRemoteResult;

TSftpJob::TSftpJob(TMainFrm& frm) : QObject(&frm), Frm(frm) {
  // The window's own handler only reaches running jobs; an open session is no job.
  connect(Frm.ui->Abort1, &QPushButton::clicked, this, &TSftpJob::AbortClicked);
}

// The window is going: the session ends without a word (nothing can be logged any more).
TSftpJob::~TSftpJob() { Side.reset(); }

bool TSftpJob::SessionOpen() const { return Side && (Side->IsOpen() || Browsing); }

void TSftpJob::Run() {
  auto text = [](const QString& s) { return quodra::host::BytesOf(s); };
  const quodra::jobs::TJobProfile p = Frm.JobProfileFromControls();
  const auto settings = quodra::jobs::SftpSettingsFor(p, text(Frm.VarnOptFrm->PrivateKeyFile1->text()),
                                                      text(Frm.VarnOptFrm->HostKeyFingerprint1->text()));
  Frm.Log("SSH Port: [" + (settings.Port.empty() || settings.Port == "ftp" ? std::string("22") : settings.Port) + "]");
  Side = std::make_unique<quodra::jobs::TSftpRemoteSide>(settings, p.DefaultFolder);
  Side->OnLog = [this](const std::string& line) { Frm.Log(line); };
  quodra::jobs::TWalkSink sink;
  sink.Log = [this](const std::string& line) { Frm.Log(line); };
  sink.Progress = [this](int64_t bytes, bool done) {
    Frm.SetByteCounter(std::to_string(bytes) + " bytes" + (done ? " [Done]" : ""));
  };
  sink.Listed = [this](const std::vector<std::string>&) { ShowFolder(false); };
  quodra::jobs::TFetchWalk walk(*Side, p, sink);
  // Only a person can browse: unattended runs and Auto-disconnect end the session with the walk.
  const bool browse = !p.AutoDisconnect && !Frm.HasArguments();
  walk.CloseAtEnd = !browse;
  QTimer abortWatch;
  abortWatch.setInterval(100);
  QObject::connect(&abortWatch, &QTimer::timeout, [&] {
    if ((Frm.AbortRequested || Frm.Closing) && !walk.Aborted()) walk.Abort();
  });
  abortWatch.start();
  const bool ok = walk.Run();
  abortWatch.stop();
  if (!ok) Frm.MarkRunFailed();
  if (browse && (Frm.AbortRequested || Frm.Closing || !Side->IsOpen())) Side->Close();
  if (SessionOpen()) {
    // The job is over; the session waits for the user's clicks, Abort ends it.
    ShowFolder(true);
    Frm.JobEnded();
    Frm.ui->Abort1->show();
  }
  if ((p.AutoDisconnect || Frm.HasArguments()) && !Frm.Closing) Frm.CloseWindow();
}

void TSftpJob::ShowFolder(bool withParent) {
  // Folders (and links to folders) end in "/", which no name of a file can.
  QStringList rows;
  if (withParent) rows << QStringLiteral("..");
  for (const TRemoteEntry& e : Side->LastListing())
    rows << quodra::host::TextOf(e.Kind == TEntryKind::Folder ? e.Name + "/" : e.Name);
  Frm.ui->lbxCurrentDir->clear();
  Frm.ui->lbxCurrentDir->addItems(rows);
}

bool TSftpJob::ChangeFolder(const std::string& entry) {
  if (!SessionOpen()) return false;
  if (Browsing || Frm.JobRunning()) return true;  // one request at a time; a click meanwhile is dropped
  std::string name = entry;
  if (name.size() > 1 && name.back() == '/')
    name.pop_back();
  else if (name != "..")
    return true;  // a file: nothing to change into
  Frm.Log("Change Directory to " + name);
  Browsing = true;
  Side->ChangeFolder(name, [this, name](const TRemoteResult& r, const std::vector<TRemoteEntry>&) {
    Browsing = false;
    if (r.Ok()) {
      Frm.Log("Current Directory: " + Side->Folder());
      ShowFolder(true);
      return;
    }
    const std::string line = "Change Directory to " + name + " failed: " + r.Reason;
    if (!Side->IsOpen()) return SessionLost(line);
    Frm.Log(line);  // the session goes on in the folder it was in
  });
  return true;
}

void TSftpJob::SessionLost(const std::string& reason) {
  Frm.Log(reason);
  Frm.Log("Connection Port Closed");
  Side->Close();  // the side stays until the next run: this is its own callback
  Frm.ui->lbxCurrentDir->clear();
  if (!Frm.JobRunning()) Frm.ui->Abort1->hide();
}

void TSftpJob::EndSession(const std::string& first) {
  if (!SessionOpen()) return;
  Browsing = false;
  Side->Close();  // a change of folder under way is given up
  if (!first.empty()) Frm.Log(first);
  Frm.Log("Logout");
  Frm.ui->lbxCurrentDir->clear();
  if (!Frm.JobRunning()) Frm.ui->Abort1->hide();
}

void TSftpJob::AbortClicked() {
  if (!Frm.JobRunning()) EndSession();
}
