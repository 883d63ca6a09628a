#pragma once
// The FTP transfer job: the FTP client's events carry the session from the login to the
// listing; after the login it changes into the remote home folder, lists it into the
// directory list, and runs the shared fetch walk over that list, step by step, through the
// FTP side of the walk. The session's own failures (a reply, a closed connection, a
// time-out) are logged and retried here; the walk's rules are the walk's.
#include <QObject>
#include <functional>
#include <memory>
#include <string>

#include <QTimer>

#include "app/ftp_work_list.h"
#include "ftp/qp_ftp_client.h"
#include "jobs/fetch_walk.h"
#include "jobs/ftp_remote_side.h"
#include "jobs/job_profile.h"

class TMainFrm;

class TFtpJob : public QObject {
  Q_OBJECT
 public:
  explicit TFtpJob(TMainFrm& frm);
  ~TFtpJob() override;

  quodra::ftp::TQpFtpClient& Client() { return *QpFtpClient1; }

  // Hands the profile's connection settings to the client and starts the login.
  void StartFtp();
  // Walks the source list from the window's FileNumber on, until it is through or a failure
  // stops it. Called while the walk runs (from an event handled inside one of its waits) it
  // does nothing: the running walk goes on by itself, so the stack does not grow.
  void GetNextFile();
  // The session is about to be ended on purpose (Abort, the window closing): its close is
  // no failure, and a pause before a retry ends with no new login.
  void ExpectSessionEnd();

  void QpFtpClient1FtpStatus(quodra::ftp::TFtpStatusCode code, const std::string& info);
  void QpFtpClient1FtpError(int32_t code, const std::string& text);
  void QpFtpClient1WsError(int32_t code);

  // Shows a name listing in the directory list; it becomes the walk's work list.
  void FillDirectoryList(const std::string& listing);
  // Both listings are in (or the names alone): the walk gets them, and a job's walk begins.
  void ListingDone(const std::string& factLines);
  TFtpWorkList& WorkList() { return DirList; }
  // The profile of the running job, read from the window and the dialog when it started.
  const quodra::jobs::TJobProfile& Profile() const { return JobProfile; }

 private:
  // Waits (handling events) until the session is Ready and every event of it was handled,
  // bounded by the time-outs. False when it did not settle.
  bool WaitSettled();
  void Log(const std::string& line);
  void Logout();
  void SessionLost();
  void LoginStep();
  bool EndsRunOnFailure() const;
  void CloseAfterFailure(bool logout);
  void EndJob();  // the FTP job is over (its walk, its session, a failure)
  void ReadProfile();  // the job's profile from the window and the dialog, and a new walk
  void StartSession();
  // A failure of a walk step that none of the session's handlers has reported.
  void WalkFailed(const quodra::jobs::TRemoteResult& result);
  // A transient failure with retries left: logs the retry and logs in again after the
  // pause. False when the failure ends the run.
  bool RetryLater(int32_t code, const std::string& reason);
  void RetryNow();

  TMainFrm& Frm;
  std::unique_ptr<quodra::jobs::TFtpRemoteSide> Side;
  quodra::ftp::TQpFtpClient* QpFtpClient1;  // the side's client
  std::unique_ptr<quodra::jobs::TFetchWalk> Walk;
  TFtpWorkList DirList;
  bool InWalk = false;            // the walk loop runs
  // The name listing whose facts listing (MLSD) is under way; both go to the walk together.
  std::string NameListing;
  bool ListingFacts = false;
  bool SessionEnding = false;     // the job itself ends the session
  bool FailureHandled = false;    // a handler of the session reported the walk step's failure
  bool WalkFromMask = false;      // the walk's fetch in flight took its name from a mask
  quodra::jobs::TJobProfile JobProfile;
  int32_t Attempt = 0;         // retries made in this run
  bool RetryPending = false;   // waiting to log in again
  bool RetryDue = false;       // the pause ended while the walk ran
  QTimer RetryTimer;
};
