#pragma once
// Enumerations and event types shared by the FTP client and its history log.
#include <cstdint>
#include <functional>

namespace quodra::ftp {

class TQpCustomFtpClient;

// Status reported through OnFtpStatus.
enum TFtpStatusCode : uint8_t {
  fsClosed = 0,        // closed while closed or logging in
  fsConnected = 1,     // greeting received; text: the greeting
  fsLoggedOut = 2,     // closed from a logged-in session
  fsLoggedIn = 3,      // login accepted
  fsCommandDone = 4,   // CWD or DELE succeeded
  fsCurrentDir = 5,    // answer to PWD; text: the directory
  fsTextReady = 6,     // informational reply or a whole listing; text: the reply or listing
  fsProgress = 7,      // a block of a retrieve was written to the local file
  fsTransferDone = 8,  // a retrieve completed
  fsTimeout = 9,       // the server did not answer in time
  fsFileFacts = 10,    // SIZE and MDTM answered: RemoteSize and RemoteModTime hold the result
};

// How the session is secured: plain FTP, explicit TLS (AUTH TLS on the FTP port) or
// implicit TLS (TLS from the first byte).
enum TFtpSecurity : uint8_t { fcPlain = 0, fcExplicitTls = 1, fcImplicitTls = 2 };

// Representation type of retrieves ("TYPE A" or "TYPE I").
enum TFtpFileType : uint8_t { ftAscii = 0, ftBinary = 1 };

// How Retrieve treats the local file.
enum TFtpRetrieveMode : uint8_t {
  rmAppend = 0,   // keep the file, write at its end
  rmReplace = 1,  // write from offset 0; the file ends where the retrieved data end
  rmRestart = 2,  // resume at RestartAt (at most the file's size) with REST
};

// Entries of the history log, also raised through OnFtpLog when no log is attached.
enum TFtpLogCode : uint8_t {
  lgClosed = 0,
  lgOpened = 1,
  lgLoggedOut = 2,
  lgLoggedIn = 3,
  lgDelete = 4,
  lgRename = 5,
  lgDownload = 6,
  lgUpload = 7,
  lgTransferDone = 8,
  lgRestart = 9,
  lgTimeout = 10,
  lgUserAbort = 11,
};

// Texts of the events are valid only while the handler runs; nullptr means "no text".
using TFtpStatusEvent = std::function<void(TQpCustomFtpClient* sender, TFtpStatusCode statusCode, const char* infoText)>;
using TFtpErrorEvent = std::function<void(TQpCustomFtpClient* sender, int32_t errorCode, const char* errorText)>;
using TFtpReplyEvent = std::function<void(TQpCustomFtpClient* sender, int32_t replyCode, const char* replyText)>;
using TFtpLogEvent = std::function<void(TQpCustomFtpClient* sender, TFtpLogCode logCode)>;
// Something the session noticed and handled by itself (a reply that answers nothing, a
// foreign data address, a rolled-back local file); the text is for the log.
using TFtpNoticeEvent = std::function<void(TQpCustomFtpClient* sender, const char* noticeText)>;

}  // namespace quodra::ftp
