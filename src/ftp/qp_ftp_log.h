#pragma once
// TQpFtpLog: a plain-text history of an FTP client's session events, one line per log code,
// appended to a file. Attach it with the client's SetFtpLog (or SetFtpClient here); while it
// is attached, the client's log codes come here instead of to the client's OnFtpLog event.
#include <string>

#include "ftp/qp_ftp_types.h"
#include "port/qp_port_component.h"

namespace quodra::ftp {

class TQpFtpLog : public port::TQpBaseComponent {
 public:
  explicit TQpFtpLog(port::TQpBaseComponent* owner = nullptr);
  ~TQpFtpLog() override;

  // Lines are written only while enabled and while the file name is not empty.
  bool Enabled = false;
  std::string FtpHistoryName = "QPFTP.HIS";

  TQpCustomFtpClient* FtpClient() const { return Client; }
  // Makes this the client's log as well (a client has at most one log); nullptr detaches.
  void SetFtpClient(TQpCustomFtpClient* client);

  // Appends the line for `logCode`, quoting the client's current values. Failures to open or
  // write the file are ignored: the history never disturbs the session.
  virtual void UpdateLog(TFtpLogCode logCode);

  // The text of a line after its time stamp, for `logCode` with the client's values.
  std::string LineText(TFtpLogCode logCode) const;

 protected:
  void Notification(port::TQpBaseComponent* component, port::TOperation operation) override;

 private:
  friend class TQpCustomFtpClient;
  TQpCustomFtpClient* Client = nullptr;
};

}  // namespace quodra::ftp
