#pragma once
// The FTP transfer job: the FTP client's events drive it from the login to the last file.
// After the login it changes into the remote home folder, lists it into the directory list,
// and walks the profile's source list (plain names and wildcard masks), fetching each file.
#include <QObject>
#include <functional>
#include <memory>
#include <set>
#include <string>

#include "app/ftp_work_list.h"
#include "ftp/qp_ftp_client.h"

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
  // The session is about to be ended on purpose: its close is no failure.
  void ExpectSessionEnd() { SessionEnding = true; }

  void QpFtpClient1FtpStatus(quodra::ftp::TFtpStatusCode code, const std::string& info);
  void QpFtpClient1FtpError(int32_t code, const std::string& text);
  void QpFtpClient1WsError(int32_t code);

  // Shows a name listing in the directory list; it becomes the walk's work list.
  void FillDirectoryList(const std::string& listing);
  TFtpWorkList& WorkList() { return DirList; }

 private:
  enum class TOutcome { None, Pending, Done, Failed };

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

  TMainFrm& Frm;
  std::unique_ptr<quodra::ftp::TQpFtpClient> QpFtpClient1;
  TFtpWorkList DirList;
  std::set<std::string> Fetched;  // upper-cased names fetched in this session
  bool WalkRetrieve = false;      // the retrieve in flight was started by the walk
  bool InWalk = false;            // the walk loop runs
  bool WalkAgain = false;         // the loop takes one more step
  bool SessionEnding = false;     // the job itself ends the session
  TOutcome Outcome = TOutcome::None;  // of the walk's retrieve
  int64_t DoneBytes = 0;          // bytes of the last completed retrieve
};
