#pragma once
// The main window: the profile panel, the directory list, the log, the byte counter, and
// the state every job shares. Its controls carry the names the rest of the program uses
// (ui->ConnectBtn1, ui->ErrorBox1, ...).
#include <QStringList>
#include <QTimer>
#include <QWidget>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "host/host_log_link.h"
#include "jobs/job_profile.h"

namespace Ui {
class TMainFrm;
}
class TVarnOptFrm;
class TAboutBox;
class TFileCopyJob;
class TTftpJob;
class TFtpJob;
class TSftpJob;

class TMainFrm : public QWidget {
  Q_OBJECT
 public:
  // `args` are the command-line arguments without the program itself.
  TMainFrm(TVarnOptFrm* varnOptFrm, QStringList args, QWidget* parent = nullptr);
  ~TMainFrm() override;

  Ui::TMainFrm* ui;           // the controls, by name
  TVarnOptFrm* VarnOptFrm;    // the properties dialog holding the profile's settings

  // --- start-up and shutdown ---
  bool FirstActivation = true;
  bool Closing = false;
  std::string CaptionSuffix;
  std::string ProfilePath;
  QStringList Args;
  int FindSwitch(const std::string& sw) const;  // 1-based index of the switch, -1 if absent
  bool HasArguments() const { return !Args.isEmpty(); }

  // --- shared by the jobs ---
  bool AbortRequested = false;
  std::string ClickedEntry;
  int JobPhase = 0;
  int32_t FileNumber = 1;
  std::string CurrentSource, CurrentDest;
  static constexpr int32_t kNoMoreFiles = 2147483647;

  void Log(const std::string& text);
  static void Pause(int seconds);
  static std::string BoolToText(bool flag) { return flag ? "True" : "False"; }
  // The Bytes1 panel. The text is kept at once; the panel shows it at screen pace, and only
  // while the window can be seen.
  void SetByteCounter(const std::string& text);
  std::string ByteCounterText() const { return ByteCounter; }
  // Brings the panel and the log list up to date now, when someone can see them.
  void ShowProgress();

  // Closes the window (runs FormClose). Jobs use it at their end in unattended runs.
  void CloseWindow();
  // A stop signal (SIGTERM ...): logged, the run counts as failed, and the job is aborted and
  // the window closed as by the Close button. Before the start-up has run (and for a signal
  // that came while the program was starting) no job is started at all.
  void StopBySignal(const std::string& name);
  // The stop's log line and the failed outcome only, for a job that ended its transfer for
  // the stop itself; StopBySignal then does the rest without logging the line again.
  void NoteStopBySignal(const std::string& name);
  // A second stop signal: the FTP session goes at once (its unconfirmed local file rolled
  // back). Only for a program that ends right after: nothing may come back to the job.
  void DropSessionForExit();
  // The end of the program: the host's log box is handed every line still waiting.
  void FinishHostLog();

  // Outcome of an unattended run: any failure a job reports makes the exit status 1.
  void MarkRunFailed() { RunFailed = true; }
  bool RunHasFailed() const { return RunFailed; }

  // True once the first activation has started the transfer by itself (an unattended run).
  bool Unattended() const { return UnattendedRun; }
  // No display to show anything on (the offscreen fallback): the program never waits for
  // a person then. Taken from the platform at creation.
  bool WithoutDisplay = false;
  // Set by the program entry: closing this window ends the event loop.
  bool QuitOnClose = false;

  // An error for the user: a message box in an interactive run; without a display the
  // text goes to the log and standard error instead, and the run counts as failed.
  void ShowError(const std::string& text);
  // The general handler for an exception that escaped an event handler: a message box in
  // interactive runs; in unattended runs (or without a display) the log and standard
  // error, and the run counts as failed.
  void ReportException(const std::string& text);
  // When set, replaces the message box (tests, embedding).
  std::function<void(const std::string&)> MessageBoxHook;

  // --- one job at a time ---
  // A job runs from Connect until its end: the copy and TFTP jobs end when they return;
  // the FTP job, which goes on after Connect has returned, ends with its walk or its
  // session and says so itself. Meanwhile Connect, Properties and the profile box do
  // nothing and Abort is shown. Closing the window during a job aborts it, and the window
  // closes once the job has stopped.
  bool JobRunning() const { return JobActive; }
  void JobStarted();  // nothing when a job runs already
  void JobEnded();    // nothing when no job runs
  // Locks the profile file for the job (false: another process runs it now); released when
  // the job ends.
  bool TakeProfileRun();
  void ReleaseProfileRun();
  // Set by the FTP job once its session runs on its own: it calls JobEnded itself.
  void JobGoesOn() { JobContinues = JobActive; }
  bool JobGoesOnByItself() const { return JobActive && JobContinues; }

  // --- the FTP engine as the window uses it: set by CreateJobs once the engine exists ---
  std::function<void()> FtpAbort;
  std::function<void()> FtpLogout;  // returns at once when no session is open
  std::function<void(const std::string&)> FtpChangeDir;
  std::function<void()> TftpAbort;  // stops a running download (it ends with its next datagram)
  // An SFTP session left open after its walk: a list click it takes (true), and its logout.
  std::function<bool(const std::string&)> SftpChangeFolder;
  std::function<void()> SftpLogout;

  // --- the profile (load and save through the controls) ---
  void OpenProfile();
  void LoadProfile();
  // The current profile as a value, read from the controls once when a job starts.
  quodra::jobs::TJobProfile JobProfileFromControls() const;
  // False when the file could not be written (already reported). The dial credentials go
  // to the phonebook entry only with `storeDialCredentials` (the user's OK).
  bool SaveProfile(bool storeDialCredentials = true);
  void FillProfileList(const std::string& mask, const std::string& name);

  // --- the session (session_driver.cpp) ---
  void Connect();
  void StartFtp();
  void RunFileCopy();
  void RunTftp();
  // Logs "Connect Using ..." and runs the job of the profile's transfer mode. After a dial
  // the texts name the mode as the dial-up path logs them.
  void DispatchByTransferMode(bool afterDial);
  // Dial the profile's phonebook entry, then dispatch by transfer mode (dialup_session.cpp).
  void ConnectWithDialup();
  // Creates the jobs below; called once by the constructor (session_driver.cpp).
  void CreateJobs();
  // The jobs are QObjects owned by this window.
  TFileCopyJob* FileCopyJob = nullptr;
  TTftpJob* TftpJob = nullptr;
  TFtpJob* FtpJob = nullptr;
  TSftpJob* SftpJob = nullptr;

 protected:
  void showEvent(QShowEvent* e) override;
  void changeEvent(QEvent* e) override;
  void closeEvent(QCloseEvent* e) override;
  void resizeEvent(QResizeEvent* e) override;
  bool eventFilter(QObject* watched, QEvent* e) override;

 private slots:
  void FormActivate();
  void ConnectBtn1Click();
  void Close1Click();
  void PropertiesBtn1Click();
  void TermBtn1Click();
  void Abort1Click();
  void lbxCurrentDirClick();
  void Profilenamebox1Exit();

 private:
  void FormCreate();
  void FormClose();
  void FindHostWindow();
  std::string GetLastProfile() const;
  void SaveLastProfile();
  void lbxCurrentDirMouseDown(const QPoint& pos);
  std::vector<std::string> ArgumentList() const;
  void ShowMessageText(const std::string& text);
  void LoadLogoPictures();
  void ArrangePanels();
  // Stops the running job: a copy or download ends at its next step; the FTP session is
  // aborted and logged out.
  void StopJob();

  quodra::host::THostLogLink HostLink;
  std::function<void(const std::exception&)> PreviousUnhandled;  // restored when the window goes
  bool RunFailed = false;
  bool StopNoted = false;  // "Stopped by signal" is in the log
  std::string StopBeforeStart;  // a stop signal's name, taken before the start-up ran
  bool UnattendedRun = false;
  bool Destroying = false;   // no handler runs while the controls are being freed
  bool EchoToStdout = false; // runs with arguments copy the log to standard output
  bool JobActive = false;
  bool JobContinues = false;     // the FTP session runs on after Connect returned
  int ProfileRunLock = -1;       // the profile file, locked while a job of it runs
  bool CloseAfterJob = false;    // the window was closed during the job
  bool ConnectAfterJob = true;   // Connect's state once the job is over
  std::string ByteCounter;       // the counter's latest text, shown or not
  QTimer ProgressPaint;          // paces the counter's painting
};
