// Program entry: the application, the main window, the properties dialog and the about box,
// then the event loop until the main window closes. The exit status tells a scheduler
// whether the run did what its profile asked (0) or reported a failure (1).
#include <QApplication>
#include <QStringList>
#include <QTimer>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>

#include <fcntl.h>
#include <unistd.h>

#include "app/command_line.h"
#include "app/main_frm.h"
#include "dialogs/about_box.h"
#include "dialogs/varn_opt_frm.h"
#include "host/display_fallback.h"
#include "host/pending_durability.h"
#include "host/stdout_echo.h"
#include "host/stop_signals.h"

namespace {

const char kApplicationTitle[] = "Quodra FTP Client";

// Every event reaches its handler through notify(), so this is where an exception that
// escaped a handler ends up: it goes to the main window's general handler, and the event
// loop carries on.
class TQuodraApplication : public QApplication {
 public:
  using QApplication::QApplication;
  TMainFrm* MainFrm = nullptr;

  bool notify(QObject* receiver, QEvent* e) override {
    try {
      return QApplication::notify(receiver, e);
    } catch (const std::exception& ex) {
      Report(ex.what());
    } catch (...) {
      Report("Unknown error");
    }
    return false;
  }

 private:
  void Report(const char* text) {
    if (MainFrm)
      MainFrm->ReportException(text);
    else
      std::fprintf(stderr, "%s\n", text);
  }
};

// Under cron there is no XDG_RUNTIME_DIR, and Qt says so on every run although it falls
// back to a private folder of its own. Only that notice is dropped: setting the variable
// instead would move the host log link's folder and leak into programs we start.
QtMessageHandler PreviousMessageHandler = nullptr;

void FilterMessages(QtMsgType type, const QMessageLogContext& context, const QString& text) {
  if (type == QtWarningMsg && text.startsWith(QLatin1String("QStandardPaths: XDG_RUNTIME_DIR not set")))
    return;
  if (PreviousMessageHandler)
    PreviousMessageHandler(type, context, text);
  else
    std::fprintf(stderr, "%s\n", text.toLocal8Bit().constData());
}

// "--help" and "--version" need neither a display nor the application object.
bool AnswerInfoRequest(int argc, char** argv) {
  quodra::app::TArguments args(argv + (argc > 0 ? 1 : 0), argv + argc);
  const char* slash = argc > 0 ? std::strrchr(argv[0], '/') : nullptr;
  std::string name = slash ? slash + 1 : (argc > 0 ? argv[0] : "quodra-ftp");
  std::string text;
  switch (quodra::app::FindInfoRequest(args)) {
    case quodra::app::TInfoRequest::Help: text = quodra::app::HelpText(name); break;
    case quodra::app::TInfoRequest::Version: text = quodra::app::VersionText(name); break;
    case quodra::app::TInfoRequest::None: return false;
  }
  std::fputs(text.c_str(), stdout);
  return true;
}

// A reader of our output that goes away (`| head`) must not end a copy half-way: the write
// reports EPIPE instead, and the log echo stops. Standard streams the starter left closed are
// opened on /dev/null, so that no file the run opens later takes their number and receives
// the log.
void GuardOutputs() {
  std::signal(SIGPIPE, SIG_IGN);
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    int null = ::open("/dev/null", O_RDWR);
    if (null >= 0 && null != fd) {
      ::dup2(null, fd);
      ::close(null);
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  GuardOutputs();
  if (AnswerInfoRequest(argc, argv)) return std::fflush(stdout) == 0 ? 0 : 1;
  // A stop signal while the application and its windows are built (tens of milliseconds)
  // stops the run before its job starts; one while the program ends is taken as well.
  quodra::host::TStopSignals::CatchFromNow();
  PreviousMessageHandler = qInstallMessageHandler(FilterMessages);
  quodra::host::UseOffscreenWithoutDisplay();
  // Qt's own event loop rather than GLib's: a run waits on a few sockets and timers, and
  // GLib's loop costs system calls more for every event posted (a tenth of the CPU of a run
  // of thousands of small files). Asked for only while the application object is built, so
  // that programs we start inherit nothing of it; a user's own choice stands.
  const bool ownLoop = !qEnvironmentVariableIsSet("QT_NO_GLIB");
  if (ownLoop) qputenv("QT_NO_GLIB", "1");
  TQuodraApplication app(argc, argv);
  if (ownLoop) qunsetenv("QT_NO_GLIB");
  QApplication::setApplicationName(QString::fromLatin1(kApplicationTitle));

  QStringList args = QApplication::arguments();
  if (!args.isEmpty()) args.removeFirst();

  // The main window reads the dialog's controls from its first moment, so the dialog is
  // made first; the main window is still the one whose closing ends the program.
  TVarnOptFrm varnOptFrm;
  TMainFrm mainFrm(&varnOptFrm, args);
  TAboutBox aboutBox;
  varnOptFrm.SetAboutBox(&aboutBox);
  app.MainFrm = &mainFrm;
  mainFrm.QuitOnClose = true;

  // The first stop signal ends the run the ordinary way (the job aborted, its local file
  // rolled back, every line logged); a second one while that is under way ends it now. Once
  // the event loop is over the run has ended: a signal then is logged, the lines it queued
  // still go to standard output and the host (both waits bounded), and the status stays
  // the run's own.
  int stopSignals = 0;
  bool ending = false;
  bool endingNoted = false;
  quodra::host::TStopSignals stopWatch([&](int signo) {
    const std::string name = quodra::host::TStopSignals::Name(signo);
    if (ending) {
      if (!endingNoted) mainFrm.Log("Signal " + name + " after the run had ended: its last log lines go out first");
      endingNoted = true;
      return;
    }
    if (++stopSignals == 1) {
      QTimer::singleShot(0, &mainFrm, [&mainFrm, name] { mainFrm.StopBySignal(name); });
      return;
    }
    std::fprintf(stderr, "Second signal (%s) while stopping: ending at once\n", name.c_str());
    if (mainFrm.HasArguments()) quodra::host::EchoLineToStdout("Second signal " + name + ": ending at once");
    mainFrm.DropSessionForExit();
    std::fflush(nullptr);
    ::_exit(1);
  });

  if (mainFrm.windowState() & Qt::WindowMinimized)
    mainFrm.showMinimized();
  else
    mainFrm.show();
  int status = app.exec();
  ending = true;
  // Tests that act while the program ends (a signal while the host still takes the last
  // lines) wait for this line instead of guessing when the event loop is over.
  if (std::getenv("QUODRA_SAY_LOOP_END")) std::fputs("Event loop over\n", stderr);
  // Files put in place without a sync of their own are on disk before the status says so.
  if (int err = quodra::host::TPendingDurability::Flush(); err != 0) {
    mainFrm.Log(std::string("Local files could not be synced: ") + std::strerror(err));
    mainFrm.MarkRunFailed();
  }
  mainFrm.FinishHostLog();
  app.MainFrm = nullptr;
  if (status == 0 && mainFrm.RunHasFailed()) status = 1;
  return status;
}
