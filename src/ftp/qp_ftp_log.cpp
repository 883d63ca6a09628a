#include "qp_ftp_log.h"

#include <QDateTime>
#include <QLocale>
#include <cstdio>

#include "ftp/qp_ftp_client.h"

namespace quodra::ftp {

TQpFtpLog::TQpFtpLog(port::TQpBaseComponent* owner) : TQpBaseComponent(owner) {
  // A log placed beside a client that has none attaches itself to it. The client cannot do
  // this when it hears of the insertion: this object is not a history log yet at that point.
  if (owner) {
    for (port::TQpBaseComponent* c : owner->Components()) {
      auto* client = dynamic_cast<TQpCustomFtpClient*>(c);
      if (client && !client->FtpLog()) {
        SetFtpClient(client);
        break;
      }
    }
  }
}

TQpFtpLog::~TQpFtpLog() { SetFtpClient(nullptr); }

void TQpFtpLog::SetFtpClient(TQpCustomFtpClient* client) {
  if (client == Client) return;
  TQpCustomFtpClient* old = Client;
  Client = nullptr;
  if (old && old->FtpLog() == this) old->SetFtpLog(nullptr);
  Client = client;
  if (client && client->FtpLog() != this) client->SetFtpLog(this);
}

void TQpFtpLog::Notification(port::TQpBaseComponent* component, port::TOperation operation) {
  TQpBaseComponent::Notification(component, operation);
  if (operation == port::opRemove && Client && component == static_cast<port::TQpBaseComponent*>(Client))
    Client = nullptr;
}

std::string TQpFtpLog::LineText(TFtpLogCode logCode) const {
  // Without a client the lines still come out, with empty values.
  const TQpCustomFtpClient* c = Client;
  std::string user = c ? c->UserName : std::string();
  std::string remote = c ? c->RemoteFile() : std::string();
  switch (logCode) {
    case lgClosed: return "Disconnected";
    case lgOpened: return "Connected to " + (c ? c->ServerAddress() : std::string());
    case lgLoggedOut: return user + " logged out";
    case lgLoggedIn: return user + " logged in";
    case lgDelete: return "Deleting " + remote;
    case lgRename: return "Renaming " + remote;
    case lgDownload: return "Downloading " + remote;
    case lgUpload: return "Uploading " + (c ? c->LocalFile() : std::string());
    case lgTransferDone:
      return "Transfer complete. " + std::to_string(c ? c->BytesTransferred() : 0) + " bytes Transferred";
    case lgRestart: return "Attempting re-transfer at " + std::to_string(c ? c->RestartAt : 0) + " bytes";
    case lgTimeout: return "Transfer timed out";
    case lgUserAbort: return "Transfer aborted by user";
  }
  return {};
}

void TQpFtpLog::UpdateLog(TFtpLogCode logCode) {
  if (!Enabled || FtpHistoryName.empty()) return;
  QLocale locale = QLocale::system();
  QDateTime now = QDateTime::currentDateTime();
  std::string line = locale.toString(now.date(), QLocale::ShortFormat).toStdString() + " " +
                     locale.toString(now.time(), QLocale::LongFormat).toStdString() + " : " + LineText(logCode) +
                     "\n";
  // Append mode creates a missing file; every error is swallowed on purpose.
  if (FILE* f = std::fopen(FtpHistoryName.c_str(), "ab")) {
    std::fwrite(line.data(), 1, line.size(), f);
    std::fclose(f);
  }
}

}  // namespace quodra::ftp
