#pragma once
// TQpFtpClient: one FTP session over the socket port. It logs in, changes or reports the
// remote folder, deletes a remote file, lists a folder and retrieves a remote file into a
// local one. Every operation checks the session state, sends its first command and returns
// at once (True when accepted); replies and socket notifications drive the session on the
// user-interface thread and results arrive through the events, always after the current
// handler has returned and in the order they happened.
//
// Typical use:
//   client.SetServerAddress("ftp.example.net"); client.UserName = ...; client.Password = ...;
//   client.OnFtpStatus = [](TQpCustomFtpClient*, TFtpStatusCode code, const char* text) {...};
//   client.Login();                        -> fsConnected, fsLoggedIn
//   client.ChangeDir("pub");               -> fsCommandDone      (ChangeDir("") sends PWD -> fsCurrentDir)
//   client.ListDir("", false);             -> fsTextReady with the listing
//   client.FileFacts("a.bin");             -> fsFileFacts (RemoteSize, RemoteModTime)
//   client.ExpectedSize = client.RemoteSize();
//   client.Retrieve("a.bin", "/tmp/a.bin", rmReplace);  -> fsProgress ... fsTransferDone
//   client.Logout();                       -> fsLoggedOut, fsClosed
// Each reply belongs to the oldest command still waiting for its answer; a reply that
// answers nothing (or a command given up after a failure) is reported through OnFtpNotice
// and otherwise ignored. A listing or retrieve is complete (fsTextReady, fsTransferDone)
// only when the server has closed the data connection and answered the NLST/LIST/RETR
// itself with 226 or 250, in either order; by then the last fsProgress has been raised and
// the local file is on disk. A reply of 400 or more, an abort, a time-out or a lost
// connection never ends in fsTransferDone, and the local file is left as it was before the
// retrieve: the bytes go to a partial file beside it (host::TLocalOutputFile), which only a
// confirmed retrieve appends or renames into place; a resumable retrieve keeps it for the
// next attempt.
// Data connections are made only with the control connection's peer: passive mode
// connects there with the port of the 227 reply (229 over IPv6, after EPSV), active mode
// (PORT, or EPRT over IPv6) refuses other callers. A server name with several addresses is
// tried address by address, each try bounded by ConnectTimeout, until one connects.
// The session state changes before its status is delivered: InProgress is already False
// when fsTransferDone, fsTextReady, fsCommandDone, fsCurrentDir or fsTimeout arrives.
//
// Security: plain, or TLS on both connections (explicit: AUTH TLS, PBSZ 0, PROT P before
// USER; implicit: TLS from the first byte, then PBSZ 0 and PROT P). Nothing of the login goes
// out before the certificate has passed its check (port::TTlsChannel); a refused AUTH, PBSZ
// or PROT, a failed handshake or a certificate that fails the check end the session with
// OnFtpError(kFtpTlsError, log line) and Closed. Every data connection is TLS too, resuming
// the control connection's session; a listing or retrieve is complete only when its data
// connection ended with the server's close_notify (a cut one fails with kFtpTlsError), and
// the client sends its own close_notify before closing.
//
// Failures: OnFtpError with the server's reply code and the reply text (codes 202 and above
// 299 only); with a socket error number of the data connection and no text; with -1 and no
// text for the connect time-out; with kFtpLocalFileError and a text when the local file
// cannot be written. fsTimeout when the server stays silent for TransferTimeout ticks.
// Socket errors of the control connection arrive through the port's OnWsError.
// An exception escaping an event handler goes to port::TQpSocket::UnhandledException.
#include <sys/types.h>

#include <cstdint>
#include <deque>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "ftp/ascii_line_ends.h"
#include "ftp/ftp_reply_text.h"
#include "ftp/qp_ftp_types.h"
#include "host/remote_file_identity.h"
#include "port/qp_winsock_port.h"

class QTimer;

struct sockaddr_in;
struct sockaddr_storage;

namespace quodra::host {
class TLocalOutputFile;
class TMessageTarget;
struct TMessage;
}  // namespace quodra::host

namespace quodra::port {
class TQpSocket;
class TTlsChannel;
}

namespace quodra::ftp {

class TQpDataPacket;
class TQpFtpLog;

// OnFtpError code for a local file that could not be written during a retrieve.
constexpr int32_t kFtpLocalFileError = 101;
// OnFtpError code for TLS failures (refused, handshake, certificate, a cut data stream).
constexpr int32_t kFtpTlsError = 102;
// OnFtpError code for a retrieve confirmed by the server that brought fewer bytes than ExpectedSize.
constexpr int32_t kFtpShortTransfer = 103;
// OnFtpError code for a retrieve that brought more bytes than ExpectedSize: the file was
// written to after its size was asked.
constexpr int32_t kFtpFileChanged = 104;

// Raised by Retrieve when the local file cannot be created or opened.
class EFtpLocalFile : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Session states, in this order: beyond Ready means a command or transfer is under way.
enum class TFtpSessionState : uint8_t { Closed, LoggingIn, Ready, Listing, Retrieving, Commanding };

class TQpCustomFtpClient : public port::TQpCustomWinsockPort {
 public:
  explicit TQpCustomFtpClient(port::TQpBaseComponent* owner = nullptr);
  ~TQpCustomFtpClient() override;

  // --- settings ---------------------------------------------------------------------------
  // Host name or dotted address of the server (the port's address). Throws while connected.
  std::string ServerAddress() const { return WsAddress(); }
  void SetServerAddress(const std::string& address) { SetWsAddress(address); }
  std::string UserName;
  std::string Password;
  std::string Account;
  TFtpFileType FileType = ftBinary;
  bool PassiveMode = false;
  // Bound, in ticks of 55 ms, on the way from Login to the server's greeting; 0 or less: none
  // (TransferTimeout then bounds the wait for the greeting). Expiry: OnFtpError(-1), Closed.
  int32_t ConnectTimeout = 0;
  // Bound, in ticks, on every wait for the server after a command or a data block; 0 or less:
  // none. Expiry: fsTimeout; a logged-in session stays logged in (Ready).
  int32_t TransferTimeout = 1092;
  // Plain FTP or TLS, and the certificate fingerprint to pin (blank: CA and name check).
  TFtpSecurity Security = fcPlain;
  std::string CertificateFingerprint;

  TQpFtpLog* FtpLog() const { return Log; }
  void SetFtpLog(TQpFtpLog* log);

  // --- events -----------------------------------------------------------------------------
  TFtpStatusEvent OnFtpStatus;
  TFtpErrorEvent OnFtpError;
  TFtpReplyEvent OnFtpReply;
  TFtpLogEvent OnFtpLog;
  TFtpNoticeEvent OnFtpNotice;

  // --- operations -------------------------------------------------------------------------
  bool Login();
  // Sends QUIT and waits (handling events) until the server has closed the connection, at
  // most LogoutWaitMs, then closes it itself. True if the connection was open.
  bool Logout();
  bool ChangeDir(const std::string& dir);  // empty: PWD
  bool Delete(const std::string& name);
  bool ListDir(const std::string& path, bool fullList);
  // The current folder's MLSD listing where the server's FEAT (asked first when it was not
  // yet) lists MLST with the size and modify facts: fsTextReady with its lines ("facts name"),
  // or with "" when the server offers no such facts or refuses MLSD with a 5xx. Other
  // failures end it as they end any listing. False when the session is not Ready.
  bool ListFacts();
  // Throws EFtpLocalFile when the local file cannot be opened (the session is Ready again).
  bool Retrieve(const std::string& remoteName, const std::string& localName, TFtpRetrieveMode mode);
  bool Abort();

  // --- file facts, verified, resumable and held retrieves ------------------------------------
  // Sends SIZE and MDTM for `name` (TYPE I first unless the session is in binary type: servers
  // refuse SIZE in ASCII), or one MLST where the server's FEAT (asked once per session, before
  // the first facts) lists MLST with the size and modify facts; then raises fsFileFacts with
  // RemoteSize and RemoteModTime. A 5xx to any of them is an answer ("unknown"), not an error
  // (a 500 or 502 to MLST falls back to SIZE and MDTM); 421, other refusals, a time-out or a
  // lost connection end it as for any command. False when the session is not Ready.
  bool FileFacts(const std::string& name);
  // From the last fsFileFacts: the size, -1 when the server gave none (refused SIZE, or 550
  // for what may not be a regular file); the time as 14 digits YYYYMMDDHHMMSS (UTC, as the
  // server gives it, fractions dropped), "" when unknown.
  int64_t RemoteSize() const { return FactSize; }
  // The facts named a folder (MLST's type): there is nothing to retrieve.
  bool RemoteIsFolder() const { return FactIsFolder; }
  const std::string& RemoteModTime() const { return FactModTime; }

  // For the next Retrieve only (Retrieve takes it and sets it back to -1): in binary type, a
  // retrieve whose restart offset plus bytes received differs from this once the server's
  // 226 and the end of the data are in fails with OnFtpError(kFtpShortTransfer, "Transfer of
  // NAME incomplete: N of M bytes"), or kFtpFileChanged ("... brought N bytes, not the M
  // announced ...") when the file grew, and the local file is handled as after any failure.
  // Where M is the size an MLST just gave, MLST, SIZE and MDTM are asked again first: some
  // servers give a link's own size and time in MLST, not those of what a retrieve sends. When
  // MLST still gives what it gave and SIZE gives the bytes received, the retrieve stands (with
  // a notice), RemoteSize and RemoteModTime become the SIZE and MDTM answers
  // (FactsRenewedByRetrieve), and the session asks SIZE and MDTM from then on.
  int64_t ExpectedSize = -1;
  bool FactsRenewedByRetrieve() const { return FactsRenewed; }
  // For the next Retrieve only (Retrieve takes it and clears it): in binary type with rmAppend
  // or rmReplace, the download is staged in the destination's resumable partial. Kept bytes
  // of the same remote file are continued with REST (a refused REST starts over from 0, with
  // the notice "Server refused REST: starting NAME over"); another or a changed remote file
  // starts from 0. A failed retrieve keeps the partial and its record for the next attempt.
  // Ignored in ASCII type and without a known Size.
  host::TRemoteFileIdentity ResumeIdentity;
  // When set, fsTransferDone means that every byte is in the partial file and the destination
  // was not touched yet: the caller then calls CommitHeldFile (Replace or Append as the
  // retrieve asked, synced before it returns; 0 or errno, and a failed commit has undone itself) or
  // DiscardHeldFile (the bytes are dropped and the partial removed). A Retrieve started
  // meanwhile discards a file still held. `deliveryKey`: see TLocalOutputFile::NoteDeliveryOf.
  bool HoldLocalFile = false;
  int CommitHeldFile(const std::string& deliveryKey = "");
  void DiscardHeldFile();
  bool HoldsLocalFile() const { return LocalHeld; }

  bool Connected() const { return State != TFtpSessionState::Closed; }
  bool InProgress() const { return State != TFtpSessionState::Closed && State != TFtpSessionState::Ready; }
  TFtpSessionState SessionState() const { return State; }
  // Whether notifications are queued that have not been delivered yet: a caller that waits
  // for the session to settle waits for !InProgress() && !EventsPending().
  bool EventsPending() const { return !Notes.empty(); }

  // Bytes read from the current data connection (set to 0 when a listing or retrieve starts).
  int64_t BytesTransferred() const { return Transferred; }
  // Offset of a restarted retrieve; adjusted by Retrieve to at most the local file's size.
  int64_t RestartAt = 0;
  const std::string& RemoteFile() const { return RemoteName; }
  const std::string& LocalFile() const { return LocalName; }

  // Bound of Logout's wait for the server to close the connection.
  int LogoutWaitMs = 5000;
  // One read of the data connection. Large reads empty the socket in a few calls, so a
  // server sending in large pieces finds room at once instead of waking for every little gap.
  static constexpr size_t kDataBufferSize = 256 * 1024;
  static constexpr int kMaxReplyLine = 32768;

 protected:
  // Each event is raised through one of these.
  virtual void DoFtpStatus(TFtpStatusCode code, const char* text);
  virtual void DoFtpError(int32_t code, const char* text);
  virtual void DoFtpReply(int32_t code, const char* text);
  virtual void DoFtpLog(TFtpLogCode code);
  virtual void DoFtpNotice(const char* text);

  // The port's connect and disconnect operations: the session takes them over, so the
  // client raises neither OnWsConnect nor OnWsDisconnect.
  void DoWsConnect() override;
  void DoWsDisconnect() override;
  // A connect that failed before the greeting goes on with the server's next address.
  void DoWsError(int32_t errCode) override;
  void Notification(port::TQpBaseComponent* component, port::TOperation operation) override;

 private:
  friend class TQpFtpLog;

  // Posted notifications, handled in posting order on the message target.
  enum class TNoteKind : uint8_t { Status, Error, Reply, Log, Timeout, ConnectTimeout, Notice, TlsFailure, NextAddress };
  // A command sent and not answered yet; an abandoned one was given up by a failure, and
  // its late answer is swallowed.
  struct TAwaited {
    std::string Verb;
    bool Abandoned = false;
  };
  struct TNote {
    TNoteKind Kind;
    int32_t Code;
    bool HasText;
    std::string Text;
  };

  // --- control session (qp_ftp_client.cpp) ---
  void SendCommand(const std::string& line);
  void PushCommand(const std::string& line);
  void SendNextCommand();
  void ChangeState(TFtpSessionState next);
  void PostStatus(TFtpStatusCode code, const char* text);
  // Reported only for 202 and codes above 299, unless `failed` says the command failed.
  void PostError(int32_t code, const char* text, bool failed = false);
  void PostLog(TFtpLogCode code);
  void PostNotice(const std::string& text);
  void Post(TNote note);
  void AbandonAwaited();
  void TransferReply(const std::string& verb, int code);
  void HandleMessage(const host::TMessage& m);
  void Deliver(TNote& note);
  void ReplyLine(const std::string& line);
  void HandleReply(int code, const std::string& line);
  void ErrorPath(int code);
  void HoldDataError(int32_t code);
  bool SettleHeldDataError(int code);
  void NoteLostConnection();
  void StartTransferTimer();
  void RearmTransferTimer();
  void StopTransferTimer();
  void TriggerMessage(uint32_t msg, uintptr_t w, intptr_t l);
  void ConnectTimerExpired();
  void RegisterTriggerHandler();
  void UnregisterTriggerHandler();
  // --- TLS of the control connection ---
  void StartControlTls();
  bool LoginTlsReply(const std::string& verb, int code);
  void TlsSessionFailed(const std::string& text);
  void SendUser();
  // --- SIZE and MDTM or MLST, and a refused REST (qp_ftp_file_facts.cpp) ---
  bool FactsReply(const std::string& verb, int code);
  void PushFactsCommands();
  void PushSizeAndMdtm();
  bool RestRefused();
  bool ResumeRefused(int code);
  // The kept bytes of a refused resume go: the local file starts over empty. False when it
  // could not be emptied (the retrieve has then failed).
  bool StartLocalOver();
  // Nothing of an earlier data connection's transfer carries over to the next one.
  void ResetTransferState();
  bool ShortTransfer();
  bool MlstSizeDoubted();
  bool CompletesNothing(int code);
  void SizeRecheckReply(const std::string& verb, int code);
  bool TryNextAddress();
  void ConnectNextAddress();

  // --- data connection (qp_ftp_data.cpp) ---
  bool DataConnect();
  bool DataConnectPassive();
  bool DataConnectActive();
  void PassiveReply();
  ssize_t DataReceive();
  void DataShutdown(bool drain);
  void DataCleanup();
  void CloseDataSockets();
  void CloseLocalFile();
  void OpenLocalFile(TFtpRetrieveMode mode, const host::TRemoteFileIdentity* remote);
  bool ControlPeer(sockaddr_storage& peer);
  bool ControlIsIpv6();
  std::string PassiveCommand() { return ControlIsIpv6() ? "EPSV" : "PASV"; }
  void DataAccept(int socket);
  void DataRead(int socket);
  void DataClosed(int socket);
  void DataError(int socket, int code);
  void RetrieveReply(int code);
  void FinishRetrieveIfComplete();
  void ListingReply();
  bool BareNameListRefused(int code);
  bool EmptyFolderNamed(int code);
  void DropListingUnderWay();
  bool StartListing(const std::string& command, bool bareNameList);
  void ListFactsOrNothing();
  bool FactsListingRefused(int code);
  void FinishListingIfComplete();
  void LocalWriteFailed(int err);
  void TransferFailed(int32_t code, const std::string& text);
  // --- TLS of the data connection ---
  int DataRecv(char* buffer, int size);
  void DataConnected(int socket);
  void StartDataTls();
  void StartDataTlsWhenDue();
  void FlushDataTls();
  void CloseDataTls();

  TFtpSessionState State = TFtpSessionState::Closed;
  TQpFtpLog* Log = nullptr;
  std::unique_ptr<host::TMessageTarget> Window;
  std::deque<TNote> Notes;
  std::unique_ptr<QTimer> ConnectTimer;
  std::unique_ptr<TQpDataPacket> ReplyPacket;
  TFtpReplyAssembler Reply;
  std::vector<std::string> Commands;
  std::deque<TAwaited> Awaiting;  // oldest first
  bool Aborting = false;
  bool Destroying = false;
  bool TriggerHandlerRegistered = false;
  bool ConnectPending = false;  // the connect timer runs and no connection was made yet
  int TimerTrigger = 0;  // 0: none
  std::string RemoteName;
  std::string LocalName;
  int64_t Transferred = 0;

  // Data connection.
  std::unique_ptr<port::TQpSocket> DataSocketObj;
  int DataSocket = -1;
  int ListenSocket = -1;
  std::unique_ptr<host::TLocalOutputFile> Local;
  bool DataEof = false;         // the server closed the data connection of this transfer
  bool RetrieveReplyOk = false; // the server answered the RETR/NLST/LIST with 226 or 250
  bool PeerEof = false;         // the last receive found the end of the data stream
  bool Cleaning = false;        // errors of sockets being closed are not reported
  bool LocalFailed = false;     // the local file could not be written
  std::string Listing;          // a listing grows here until the data connection closes
  bool BareNameList = false;    // the listing under way is an NLST without a name
  bool FolderNameList = false;  // the listing under way names the current folder's files
  std::unique_ptr<char[]> Block;  // one block of a retrieve
  // TLS: data connections are protected (PROT P accepted); the data connection's channel.
  bool DataProtected = false;
  bool DataTlsNoted = false;
  bool DataLinked = false;   // the data connection of this transfer is made
  bool DataGoAhead = false;
  bool ControlLinked = false;  // the control connection was made (no other address is tried)
  bool Retrying = false;       // closing the port to connect to the next address  // the server answered the transfer command with 125 or 150  // the data connection's TLS has been described in a notice
  std::unique_ptr<port::TTlsChannel> DataTls;
  std::unique_ptr<uint8_t[]> RawBlock;  // encrypted bytes as received
  // File facts and the checks of a retrieve.
  int64_t FactSize = -1;
  std::string FactModTime;
  char SessionType = 0;          // 'A' or 'I' once the server accepted a TYPE; 0: not known
  // What the server said of MLST in its FEAT reply, asked once per session before the first
  // facts: one MLST then answers for SIZE and MDTM.
  enum class TFactsCommand : uint8_t { NotAsked, SizeAndMdtm, Mlst };
  TFactsCommand FactsCommand = TFactsCommand::NotAsked;
  bool FactsBeforeRetrieve = false;  // the file's facts were asked since the last transfer
  bool FeaturesForListing = false;   // the FEAT under way was asked by ListFacts
  char PendingType = 0;          // the type of the TYPE command under way
  int64_t RetrieveOffset = 0;    // where this retrieve's bytes begin in the remote file
  int64_t RetrieveExpected = -1; // ExpectedSize as this retrieve took it
  bool FactsFromMlst = false;    // FactSize and FactModTime came from an MLST
  bool FactIsFolder = false;     // the MLST's type fact named a folder
  // RetrieveExpected is an MLST's size, not yet checked against SIZE; the check is under way.
  bool ExpectedFromMlst = false;
  bool RecheckingSize = false;
  int64_t RecheckedMlstSize = -1;
  std::string RecheckedMlstTime;
  int64_t RecheckedSize = -1;
  bool FactsRenewed = false;  // this retrieve replaced the MLST facts with SIZE and MDTM
  bool Resuming = false;         // this retrieve sent REST for a kept partial
  bool LocalHeld = false;        // a completed retrieve's file waits for CommitHeldFile
  // A data-connection error waiting (briefly) for the transfer's reply, which says why.
  int32_t HeldDataError = 0;
  uint32_t HeldDataErrorSerial = 0;
  static constexpr int kHeldDataErrorMs = 2000;
  bool ClosingByUs = false;  // the session closes the control connection itself
  TAsciiLineEnds AsciiLineEnds;
};

// The published form; everything lives in TQpCustomFtpClient.
class TQpFtpClient : public TQpCustomFtpClient {
 public:
  using TQpCustomFtpClient::TQpCustomFtpClient;
};

}  // namespace quodra::ftp
