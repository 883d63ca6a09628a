#pragma once
// The FTP transfer job: the FTP client's events drive it from the login to the last file.
// After the login it changes into the remote home folder, lists it into the directory list,
// and walks the profile's source list (plain names and wildcard masks), fetching each file.
#include <QObject>
#include <memory>
#include <set>
#include <string>

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
  // Fetches the next item of the source list.
  void GetNextFile();

  void QpFtpClient1FtpStatus(quodra::ftp::TFtpStatusCode code, const std::string& info);
  void QpFtpClient1FtpError(int32_t code, const std::string& text);
  void QpFtpClient1WsError(int32_t code);

 private:
  void LoginStep();
  void TransferDoneStep();
  void FillDirectoryList(const std::string& listing);
  bool InDirectoryList(const std::string& name) const;
  // Takes the first listed entry the mask matches out of the list; "" when none is left.
  std::string TakeMaskMatch(const std::string& mask);
  bool EndsRunOnFailure() const;
  void CloseAfterFailure(bool logout);

  TMainFrm& Frm;
  std::unique_ptr<quodra::ftp::TQpFtpClient> QpFtpClient1;
  std::set<std::string> Fetched;  // upper-cased names fetched in this session
  bool WalkRetrieve = false;      // the retrieve in flight was started by the walk
};
