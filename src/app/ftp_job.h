#pragma once
// The FTP transfer job: the FTP client's events drive it from the login to the last file.
// After the login it changes into the remote home folder, lists it into the directory list,
// and walks the profile's source list (plain names and wildcard masks), fetching each file.
#include <QObject>
#include <functional>
#include <memory>
#include <set>
#include <string>

#include <QTimer>

#include "app/ftp_work_list.h"
#include "ftp/qp_ftp_client.h"
#include "host/remote_file_identity.h"
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
  // Fetches the next item of the source list. The walk is a loop: called while the walk
  // runs (from an event handled inside one of its waits) it only asks the loop for one more
  // step, so the stack does not grow with the number of files.
  void GetNextFile();
  // The session is about to be ended on purpose (Abort, the window closing): its close is
  // no failure, and a pause before a retry ends with no new login.
  void ExpectSessionEnd();

  void QpFtpClient1FtpStatus(quodra::ftp::TFtpStatusCode code, const std::string& info);
  void QpFtpClient1FtpError(int32_t code, const std::string& text);
  void QpFtpClient1WsError(int32_t code);

  // Shows a name listing in the directory list; it becomes the walk's work list.
  void FillDirectoryList(const std::string& listing);
  TFtpWorkList& WorkList() { return DirList; }
  // The profile of the running job, read from the window and the dialog when it started.
  const quodra::jobs::TJobProfile& Profile() const { return JobProfile; }

 private:
  // Refused: a 550 to the retrieve of a mask's match, which may name a folder or a link.
  enum class TOutcome { None, Pending, Done, Failed, Refused };

  void WalkStep();
  // Waits (handling events) until the session is Ready and every event of it was handled,
  // bounded by the time-outs. False when it did not settle.
  bool WaitSettled(const std::function<bool()>& orWhen = nullptr);
  void Log(const std::string& line);
  void Logout();
  void SessionLost();
  void TransferFailed();
  void LoginStep();
  void TransferDoneStep();
  bool EndsRunOnFailure() const;
  void CloseAfterFailure(bool logout);
  void EndJob();  // the FTP job is over (its walk, its session, a failure)
  void ReadProfile();  // the job's profile from the window and the dialog
  void StartSession();
  // Whether a mask's match that the server refused to send is not a file (a folder, a link
  // to one, a dangling link): asked with CWD into it (and back) and LIST of the name.
  bool NotARegularFile(const std::string& name);
  bool ProbeCommand(const std::function<bool()>& start);
  // A transient failure with retries left: logs the retry and logs in again after the
  // pause. False when the failure ends the run.
  bool RetryLater(int32_t code, const std::string& reason);
  void RetryNow();
  // SIZE and MDTM of a file (in binary mode). False when the session failed meanwhile (its
  // failure is handled as ever); unknown facts are no failure.
  struct TFacts {
    int64_t Size = -1;
    std::string ModTime;
  };
  bool AskFacts(const std::string& name, TFacts& facts);
  // A retrieve held for the walk's decision: kept (put in place) only when the remote file
  // is still what it was before the retrieve. False when it was not kept.
  bool KeepHeldFile(const std::string& name);
  quodra::host::TRemoteFileIdentity IdentityOf(const std::string& name, const TFacts& facts) const;

  TMainFrm& Frm;
  std::unique_ptr<quodra::ftp::TQpFtpClient> QpFtpClient1;
  TFtpWorkList DirList;
  std::set<std::string> Fetched;  // upper-cased names fetched in this run
  std::set<std::string> LeftForNextRun;  // upper-cased names that changed while fetched
  bool WalkRetrieve = false;      // the retrieve in flight was started by the walk
  bool InWalk = false;            // the walk loop runs
  bool WalkAgain = false;         // the loop takes one more step
  bool SessionEnding = false;     // the job itself ends the session
  TOutcome Outcome = TOutcome::None;  // of the walk's retrieve
  int64_t DoneBytes = 0;          // bytes of the last completed retrieve
  quodra::jobs::TJobProfile JobProfile;
  bool WalkFromMask = false;      // the retrieve in flight took its name from a mask
  std::string RefusedText;        // the text of that retrieve's 550
  std::string DeletePending;      // the walk's delete under way
  // A command the walk sends to learn what a name is: its events stop here.
  struct TProbe {
    bool Active = false, Done = false, Ok = false;
    bool Broken = false;  // the session failed meanwhile
    std::string Text;  // PWD's folder, LIST's lines
  } Probe;
  bool FactsPending = false, FactsDone = false;
  TFacts Facts;        // of the last AskFacts
  TFacts FactsBefore;  // of the file the walk's retrieve fetches
  int32_t Attempt = 0;         // retries made in this run
  bool RetryPending = false;   // waiting to log in again
  bool RetrySession = false;   // this session follows a failed one of the same run
  QTimer RetryTimer;
};
