#pragma once
// TQpFtpLog: a plain-text history of an FTP client's session events, one line per log code,
// appended to a file. Attach it with the client's SetFtpLog; while attached, the client's
// log codes come here instead of to its OnFtpLog event.
#include <string>

#include "ftp/qp_ftp_types.h"

class TQpFtpLog {
 public:
  TQpFtpLog();
  virtual ~TQpFtpLog();
  TQpFtpLog(const TQpFtpLog&) = delete;
  TQpFtpLog& operator=(const TQpFtpLog&) = delete;

  // Lines are written only while enabled and while the file name is not empty.
  bool Enabled = false;
  std::string FtpHistoryName = "QPFTP.HIS";

  TQpCustomFtpClient* FtpClient() const { return Client; }
  // Also makes this the client's log (and releases the log the client had before).
  void SetFtpClient(TQpCustomFtpClient* client);

  // Appends the line for `logCode`, quoting the client's current values. Failures to open or
  // write the file are ignored: the history never disturbs the session.
  virtual void UpdateLog(TFtpLogCode logCode);

  // The text of a line after its time stamp, for `logCode` with the client's values.
  std::string LineText(TFtpLogCode logCode) const;

 private:
  friend class TQpCustomFtpClient;
  TQpCustomFtpClient* Client = nullptr;
};
