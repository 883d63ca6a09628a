// The main window: start-up and shutdown, the log, and the handlers of its buttons and
// lists. Loading and saving the profile is in profile_controls.cpp.
#include "app/main_frm.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QFocusEvent>
#include <QLineEdit>
#include <QMessageBox>
#include <QMouseEvent>
#include <QScreen>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <exception>

#include "app/command_line.h"
#include "app/ftp_job.h"
#include "dialogs/jpeg_picture.h"
#include "dialogs/varn_opt_frm.h"
#include "host/byte_text.h"
#include "host/display_fallback.h"
#include "host/event_wait.h"
#include "host/last_profile_store.h"
#include "host/pending_durability.h"
#include "host/stdout_echo.h"
#include "host/stop_signals.h"
#include "port/qp_socket.h"
#include "ui_main_frm.h"

namespace {

constexpr int kProfilePanelWidth = 295;  // the left panel; also the collapsed width
constexpr int kExpandedWidth = 635;
// The byte counter is painted at most this often while bytes arrive: a person reads a few
// values a second, and painting every block would cost more than receiving it.
constexpr int kProgressPaintMs = 200;
const char kNoProfile[] = "<none>";

QString Q(const std::string& s) { return quodra::host::TextOf(s); }

// A log line is one line wherever it goes (the list, standard output, the host): line ends
// at its end are dropped, those inside it are written as "\r" and "\n".
std::string OneLine(const std::string& text) {
  size_t end = text.find_last_not_of("\r\n");
  std::string line;
  line.reserve(text.size());
  for (size_t i = 0; end != std::string::npos && i <= end; ++i) {
    if (text[i] == '\r')
      line += "\\r";
    else if (text[i] == '\n')
      line += "\\n";
    else
      line += text[i];
  }
  return line;
}

}  // namespace

TMainFrm::TMainFrm(TVarnOptFrm* varnOptFrm, QStringList args, QWidget* parent)
    : QWidget(parent), ui(new Ui::TMainFrm), VarnOptFrm(varnOptFrm), Args(std::move(args)) {
  ui->setupUi(this);
  WithoutDisplay = quodra::host::RunningWithoutDisplay();
  // A scheduler that starts us with a profile keeps our standard output as the run's log.
  EchoToStdout = HasArguments();

  connect(ui->ConnectBtn1, &QPushButton::clicked, this, &TMainFrm::ConnectBtn1Click);
  connect(ui->Close1, &QPushButton::clicked, this, &TMainFrm::Close1Click);
  connect(ui->PropertiesBtn1, &QPushButton::clicked, this, &TMainFrm::PropertiesBtn1Click);
  connect(ui->TermBtn1, &QPushButton::clicked, this, &TMainFrm::TermBtn1Click);
  connect(ui->Abort1, &QPushButton::clicked, this, &TMainFrm::Abort1Click);
  // Mouse clicks only: refilling the list from a listing must not change the remote folder.
  connect(ui->lbxCurrentDir, &QListWidget::clicked, this, &TMainFrm::lbxCurrentDirClick);
  connect(ui->Profilenamebox1, &QComboBox::activated, this, &TMainFrm::Profilenamebox1Exit);
  ProgressPaint.setSingleShot(true);
  ProgressPaint.setInterval(kProgressPaintMs);
  connect(&ProgressPaint, &QTimer::timeout, this, &TMainFrm::ShowProgress);
  ui->lbxCurrentDir->viewport()->installEventFilter(this);
  ui->Profilenamebox1->installEventFilter(this);
  if (ui->Profilenamebox1->lineEdit()) ui->Profilenamebox1->lineEdit()->installEventFilter(this);

  FormCreate();
  CreateJobs();
}

TMainFrm::~TMainFrm() {
  Destroying = true;
  quodra::port::TQpSocket::UnhandledException = PreviousUnhandled;
  // The jobs and the engines they own go first: they may still report while they close,
  // and the controls they report to must exist until then.
  const QObjectList children = this->children();
  for (QObject* child : children)
    if (!child->isWidgetType()) delete child;
  FileCopyJob = nullptr;
  TftpJob = nullptr;
  FtpJob = nullptr;
  SftpJob = nullptr;
  ReleaseProfileRun();
  delete ui;
  ui = nullptr;
}

// ---------------------------------------------------------------------------------------
// Start-up and shutdown

void TMainFrm::FormCreate() {
  FirstActivation = true;
  Closing = false;

  QFont f = font();
  f.setPixelSize(11);
  setFont(f);
  // The logo caption must fit the white panel with the substitute font as well.
  QFont small = f;
  small.setPixelSize(9);
  ui->Label4->setFont(small);
  ui->Profilenamebox1->setEditText(Q(kNoProfile));
  ui->Abort1->hide();
  // Listings of thousands of names: one row height, so the list never measures them all.
  ui->lbxCurrentDir->setUniformItemSizes(true);
  ui->Splitter1->setStretchFactor(0, 0);
  ui->Splitter1->setStretchFactor(1, 1);
  ui->Splitter1->setSizes({104, 146});
  LoadLogoPictures();

  // Start collapsed to the profile panel: the expand button's right edge plus 20 by its
  // bottom edge plus 50.
  QPoint corner = ui->TermBtn1->mapTo(this, QPoint(ui->TermBtn1->width(), ui->TermBtn1->height()));
  resize(corner.x() + 20, corner.y() + 50);
  ArrangePanels();
  if (QScreen* s = screen()) {
    QRect desk = s->availableGeometry();
    move(desk.x() + (desk.width() - width()) / 2, desk.y() + (desk.height() - height()) / 2);
  }

  if (!HasArguments()) return;
  if (quodra::app::StartsMinimised(ArgumentList())) setWindowState(windowState() | Qt::WindowMinimized);
}

void TMainFrm::LoadLogoPictures() {
  ui->Image1->setPixmap(LoadJpegPicture(quodra::dialogs::kLogoPicture));
  ui->Image2->setPixmap(LoadJpegPicture(quodra::dialogs::kEmblemPicture));
}

void TMainFrm::showEvent(QShowEvent* e) {
  QWidget::showEvent(e);
  ShowProgress();
  // A minimised window is never activated, yet the start-up work must run once; a queued
  // call runs it after the window is up in every case.
  if (FirstActivation) QTimer::singleShot(0, this, [this] { FormActivate(); });
}

void TMainFrm::changeEvent(QEvent* e) {
  QWidget::changeEvent(e);
  // Restored from minimised: what changed meanwhile is shown at once.
  if (e->type() == QEvent::WindowStateChange && !Destroying) ShowProgress();
  if (e->type() == QEvent::ActivationChange && isActiveWindow() && !Destroying) FormActivate();
}

void TMainFrm::FormActivate() {
  if (!FirstActivation) return;
  FindHostWindow();
  FirstActivation = false;
  CaptionSuffix = windowTitle().toStdString() + " ";

  const auto args = ArgumentList();
  ProfilePath = quodra::app::UsesLastProfile(args) ? GetLastProfile() : quodra::app::ProfileArgument(args);
  OpenProfile();

  // A stop signal that came while the program was starting: the run ends here, before its job.
  if (const int signo = quodra::host::TStopSignals::FirstSignal(); signo != 0 && StopBeforeStart.empty())
    StopBeforeStart = quodra::host::TStopSignals::Name(signo);
  if (!StopBeforeStart.empty()) {
    StopBySignal(StopBeforeStart);
    return;
  }

  if (ui->ConnectBtn1->isEnabled() && quodra::app::StartsUnattended(args)) {
    UnattendedRun = true;
    Connect();
    return;
  }
  if (WithoutDisplay && HasArguments()) {
    // Nobody can see the window: a scripted run that would wait for a person ends here.
    std::string why = ui->ConnectBtn1->isEnabled() ? "No display: a profile can only be edited with a display"
                                                   : "Profile not found: " + ProfilePath;
    Log(why);
    std::fprintf(stderr, "%s\n", why.c_str());
    MarkRunFailed();
    CloseWindow();
    return;
  }
  setWindowState(windowState() & ~Qt::WindowMinimized);
  show();
  if (WithoutDisplay) return;
  raise();
  activateWindow();
}

void TMainFrm::Close1Click() {
  if (Closing) return;
  Closing = true;
  if (JobActive && !JobContinues) {
    // A copy or download runs inside this call's caller: it stops at its next step, and
    // the window closes once it has returned.
    CloseAfterJob = true;
    StopJob();
    return;
  }
  try {
    if (FtpAbort) FtpAbort();
    if (FtpLogout) FtpLogout();
  } catch (...) {
    // The program ends anyway; a session that cannot be closed politely is dropped.
  }
  CloseWindow();
}

void TMainFrm::CloseWindow() {
  // A job that closes the window is at its end.
  CloseAfterJob = false;
  JobEnded();
  close();
}

void TMainFrm::closeEvent(QCloseEvent* e) {
  if (JobActive && !Destroying) {
    // The close box during a job: as the Close button, once this event is over.
    e->ignore();
    QTimer::singleShot(0, this, [this] { Close1Click(); });
    return;
  }
  FormClose();
  // However the window was closed (a job's end, the close box), later engine events must
  // not close it once more.
  Closing = true;
  e->accept();
  if (QuitOnClose) QCoreApplication::quit();
}

void TMainFrm::NoteStopBySignal(const std::string& name) {
  if (!StopNoted) Log("Stopped by signal " + name);
  StopNoted = true;
  MarkRunFailed();
}

void TMainFrm::StopBySignal(const std::string& name) {
  if (FirstActivation) {
    // The start-up has not run yet: it ends the run itself, once the host's log box is found.
    StopBeforeStart = name;
    return;
  }
  NoteStopBySignal(name);
  if (Closing) return;  // already on its way out: the window closes by itself
  Close1Click();
}

void TMainFrm::DropSessionForExit() {
  Destroying = true;  // no handler logs into the window from here on
  delete FtpJob;
  FtpJob = nullptr;
}

void TMainFrm::FinishHostLog() { HostLink.Drain(); }

void TMainFrm::FormClose() {
  if (SftpLogout) SftpLogout();
  try {
    if (FtpLogout) FtpLogout();
  } catch (...) {
    return;  // the profile of a session that failed to close is not remembered
  }
  SaveLastProfile();
}

int TMainFrm::FindSwitch(const std::string& sw) const { return quodra::app::FindSwitch(ArgumentList(), sw); }

std::vector<std::string> TMainFrm::ArgumentList() const {
  std::vector<std::string> args;
  for (const QString& a : Args) args.push_back(a.toStdString());
  return args;
}

std::string TMainFrm::GetLastProfile() const {
  std::string last = quodra::host::TLastProfileStore().Read();
  return last.empty() ? kNoProfile : last;
}

void TMainFrm::SaveLastProfile() { quodra::host::TLastProfileStore().Write(ProfilePath); }

// ---------------------------------------------------------------------------------------
// The log and the small helpers every job uses

void TMainFrm::FindHostWindow() { HostLink.FindHostWindow(); }

void TMainFrm::Log(const std::string& text) {
  if (Destroying) return;
  const std::string line = OneLine(text);
  ui->ErrorBox1->AddLine(Q(line));
  if (EchoToStdout) quodra::host::EchoLineToStdout(line);
  if (!line.empty()) HostLink.SendLine(line);
}

void TMainFrm::Pause(int seconds) { quodra::host::Pause(seconds); }

void TMainFrm::SetByteCounter(const std::string& text) {
  ByteCounter = text;
  // Unseen, nothing is painted; showing or restoring the window shows the latest text.
  if (!ProgressPaint.isActive() && isVisible() && !isMinimized()) ProgressPaint.start();
}

void TMainFrm::ShowProgress() {
  ProgressPaint.stop();
  if (Destroying || !isVisible() || isMinimized()) return;
  const QString text = Q(ByteCounter);
  if (ui->Bytes1->text() != text) ui->Bytes1->setText(text);
  ui->ErrorBox1->ShowPendingIfSeen();
}

void TMainFrm::ShowMessageText(const std::string& text) {
  if (MessageBoxHook) {
    MessageBoxHook(text);
    return;
  }
  if (WithoutDisplay) {
    // A box nobody can see would wait for ever.
    Log(text);
    std::fprintf(stderr, "%s\n", text.c_str());
    MarkRunFailed();
    return;
  }
  QMessageBox::critical(this, QCoreApplication::applicationName(), Q(text));
}

void TMainFrm::ShowError(const std::string& text) { ShowMessageText(text); }

void TMainFrm::ReportException(const std::string& text) {
  if (Unattended() || WithoutDisplay) {
    Log(text);
    std::fprintf(stderr, "%s\n", text.c_str());
    MarkRunFailed();
    return;
  }
  ShowMessageText(text);
}

// ---------------------------------------------------------------------------------------
// Buttons and lists

void TMainFrm::ConnectBtn1Click() { Connect(); }

void TMainFrm::PropertiesBtn1Click() {
  if (JobActive) return;
  ui->ConnectBtn1->setEnabled(true);
  // The file is written as it stands (a profile to be created exists from here on); the
  // dial-up entry is left alone until the user confirms the dialog.
  if (!SaveProfile(false)) return;
  LoadProfile();
  try {
    VarnOptFrm->RefreshEntryListClick();
  } catch (const std::exception& e) {
    // Without a remote access service (no NetworkManager) the profile must still be
    // editable: the dialog opens with the service's error in its status bar.
    VarnOptFrm->SetStatusText(e.what());
  }
  if (VarnOptFrm->exec() == TVarnOptFrm::kModalOk && !SaveProfile()) return;
  // Cancel discards the dialog's edits by reading the file again.
  LoadProfile();
}

void TMainFrm::TermBtn1Click() {
  if (ui->TermBtn1->text() == QLatin1String(">>")) {
    const int screenWidth = screen() ? screen()->geometry().width() : kExpandedWidth;
    // A window in the top-left corner takes the whole width of the screen.
    resize(x() <= 0 && y() <= 0 ? screenWidth : kExpandedWidth, height());
    ui->TermBtn1->setText(QStringLiteral("<<"));
    int left = x();
    if (left + width() > screenWidth) left = screenWidth - width();
    if (left < 0) left = 0;
    if (left != x()) move(left, y());
  } else {
    resize(kProfilePanelWidth, height());
    ui->TermBtn1->setText(QStringLiteral(">>"));
  }
  ArrangePanels();
}

void TMainFrm::resizeEvent(QResizeEvent* e) {
  QWidget::resizeEvent(e);
  ArrangePanels();
}

void TMainFrm::ArrangePanels() {
  // The profile panel keeps its width on the left; the right half takes what is left.
  ui->Panel3->setGeometry(0, 0, kProfilePanelWidth, height());
  ui->Panel4->setGeometry(kProfilePanelWidth, 0, std::max(0, width() - kProfilePanelWidth), height());
}

void TMainFrm::Abort1Click() {
  if (!JobActive) return;
  // After an aborted job Connect is offered again, also in runs started with a profile.
  ConnectAfterJob = true;
  StopJob();
}

void TMainFrm::StopJob() {
  AbortRequested = true;
  if (TftpAbort) TftpAbort();
  if (!JobContinues) return;
  try {
    if (FtpAbort) FtpAbort();
    if (FtpLogout) FtpLogout();
  } catch (...) {
    // A session that cannot be ended politely is dropped with the window.
  }
  JobEnded();
}

void TMainFrm::JobStarted() {
  if (JobActive) return;
  JobActive = true;
  JobContinues = false;
  AbortRequested = false;
  ConnectAfterJob = ui->ConnectBtn1->isEnabled();
  ui->ConnectBtn1->setEnabled(false);
  ui->PropertiesBtn1->setEnabled(false);
  ui->Profilenamebox1->setEnabled(false);
  ui->Abort1->show();
}

bool TMainFrm::TakeProfileRun() {
  // One run of a profile at a time, across processes (a scheduler that starts the next run
  // while the last one still works): two would fetch, append and delete the same files.
  ReleaseProfileRun();
  if (ProfilePath.empty()) return true;
  const int fd = ::open(ProfilePath.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return true;  // no profile file: nothing another run could share
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    ::close(fd);
    return false;
  }
  ProfileRunLock = fd;
  return true;
}

void TMainFrm::ReleaseProfileRun() {
  if (ProfileRunLock >= 0) ::close(ProfileRunLock);
  ProfileRunLock = -1;
}

void TMainFrm::JobEnded() {
  if (!JobActive) return;
  JobActive = false;
  JobContinues = false;
  // Files the job put in place without a sync of their own are durable before it counts,
  // and before the next run of the profile may start.
  if (int err = quodra::host::TPendingDurability::Flush(); err != 0) {
    Log(std::string("Local files could not be synced: ") + std::strerror(err));
    MarkRunFailed();
  }
  ReleaseProfileRun();
  if (Destroying) return;
  ui->ConnectBtn1->setEnabled(ConnectAfterJob);
  ui->PropertiesBtn1->setEnabled(true);
  ui->Profilenamebox1->setEnabled(true);
  ui->Abort1->hide();
  if (CloseAfterJob) CloseWindow();
}

void TMainFrm::lbxCurrentDirMouseDown(const QPoint& pos) {
  // The empty area below the last entry keeps the entry clicked before.
  if (QListWidgetItem* item = ui->lbxCurrentDir->itemAt(pos)) ClickedEntry = quodra::host::BytesOf(item->text());
}

void TMainFrm::lbxCurrentDirClick() {
  // An SFTP session left open takes the click first. The FTP engine changes folder only when
  // its session is Ready; its fsCommandDone then brings a listing of the new folder.
  if (SftpChangeFolder && SftpChangeFolder(ClickedEntry)) return;
  if (FtpChangeDir) FtpChangeDir(ClickedEntry);
}

bool TMainFrm::eventFilter(QObject* watched, QEvent* e) {
  if (Destroying) return false;
  if (watched == ui->lbxCurrentDir->viewport() && e->type() == QEvent::MouseButtonPress) {
    lbxCurrentDirMouseDown(static_cast<QMouseEvent*>(e)->position().toPoint());
  } else if (e->type() == QEvent::FocusOut &&
             (watched == ui->Profilenamebox1 || watched == ui->Profilenamebox1->lineEdit())) {
    // Leaving the profile name box loads the profile it names. Opening its own list or
    // switching to another program is not leaving it.
    auto reason = static_cast<QFocusEvent*>(e)->reason();
    QWidget* now = QApplication::focusWidget();
    bool stillInBox = now && (now == ui->Profilenamebox1 || ui->Profilenamebox1->isAncestorOf(now));
    if (!stillInBox && reason != Qt::PopupFocusReason && reason != Qt::ActiveWindowFocusReason &&
        reason != Qt::OtherFocusReason)
      Profilenamebox1Exit();  // at once, so that the button that took the focus sees the profile
  }
  return QWidget::eventFilter(watched, e);
}
