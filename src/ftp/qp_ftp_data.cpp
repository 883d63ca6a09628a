// The data side of the FTP session: listings and retrieves, active (PORT) and passive (PASV)
// data connections, the local file, progress and completion.
#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <QTimer>

#include "ftp/ftp_reply_text.h"
#include "ftp/qp_ftp_client.h"
#include "host/local_output_file.h"
#include "host/message_target.h"
#include "host/text_util.h"
#include "host/winsock_errors.h"
#include "port/qp_sock_dispatcher.h"
#include "port/qp_socket.h"
#include "port/tls_channel.h"

namespace quodra::ftp {
namespace {

// A listing bigger than this is refused rather than held: no real folder needs it, and a
// server streaming without end must not exhaust memory.
constexpr size_t kMaxListing = 64u * 1024 * 1024;
// Decrypted bytes one read notification of a TLS data connection handles at most before the
// event loop runs again.
constexpr int64_t kTlsReadBurst = 1024 * 1024;
const char kTlsCutText[] = "TLS: the data connection ended without close_notify; the transfer is incomplete";

std::string ErrnoText(int err) { return std::strerror(err); }

std::string DottedAddress(const sockaddr_storage& a) { return port::TQpSocket::AddressText(a); }

}  // namespace

// --- operations -----------------------------------------------------------------------------

bool TQpCustomFtpClient::ListDir(const std::string& path, bool fullList) {
  if (State != TFtpSessionState::Ready || !IsSafeArgument(path)) return false;
  return StartListing(std::string(fullList ? "LIST" : "NLST") + (path.empty() ? std::string() : " " + path),
                      !fullList && path.empty());
}

bool TQpCustomFtpClient::ListFacts() {
  if (State != TFtpSessionState::Ready) return false;
  if (FactsCommand != TFactsCommand::NotAsked) {
    ListFactsOrNothing();
    return true;
  }
  ChangeState(TFtpSessionState::Commanding);
  FeaturesForListing = true;
  PushCommand("FEAT");
  SendNextCommand();
  return true;
}

// Once the server's features are known: MLSD where it offers MLST's facts, else a listing
// with nothing in it.
void TQpCustomFtpClient::ListFactsOrNothing() {
  if (FactsCommand == TFactsCommand::Mlst && StartListing("MLSD", false)) return;
  ChangeState(TFtpSessionState::Commanding);
  PostStatus(fsTextReady, "");
}

bool TQpCustomFtpClient::StartListing(const std::string& command, bool bareNameList) {
  ChangeState(TFtpSessionState::Listing);
  PushCommand(command);
  BareNameList = FolderNameList = bareNameList;
  Listing.clear();
  Transferred = 0;
  DataLinked = DataGoAhead = false;
  PeerEof = false;
  DataEof = false;
  RetrieveReplyOk = false;
  // A flag left over from an earlier abort or time-out would hide this listing's errors.
  Aborting = false;
  if (PassiveMode) PushCommand(PassiveCommand());
  PendingType = 'A';
  SessionType = 0;  // unknown until the server accepts it
  FactsBeforeRetrieve = false;
  PushCommand("TYPE A");  // listings are text whatever FileType says
  if (DataConnect()) return true;
  Commands.clear();
  ChangeState(TFtpSessionState::Ready);
  return false;
}

bool TQpCustomFtpClient::Retrieve(const std::string& remoteName, const std::string& localName,
                                  TFtpRetrieveMode mode) {
  if (State != TFtpSessionState::Ready || remoteName.empty() || localName.empty() || !IsSafeArgument(remoteName))
    return false;
  ChangeState(TFtpSessionState::Retrieving);
  PushCommand("RETR " + remoteName);
  RemoteName = remoteName;
  LocalName = localName;
  // Both settings serve this retrieve only; neither is safe to carry over to the next file.
  host::TRemoteFileIdentity remote = std::move(ResumeIdentity);
  ResumeIdentity = {};
  RetrieveExpected = FileType == ftBinary ? ExpectedSize : -1;
  ExpectedSize = -1;
  DiscardHeldFile();
  try {
    OpenLocalFile(mode, FileType == ftBinary ? &remote : nullptr);
  } catch (...) {
    Commands.clear();
    ChangeState(TFtpSessionState::Ready);
    throw;
  }
  AsciiLineEnds.Start(FileType == ftAscii);
  ResetTransferState();
  if (PassiveMode) PushCommand(PassiveCommand());
  PendingType = FileType == ftAscii ? 'A' : 'I';
  // A session already in the type (after the file's facts, or the retrieve before) needs no
  // TYPE of its own: one round trip per file less.
  const bool typeHolds = SessionType == PendingType;
  ExpectedFromMlst = RetrieveExpected >= 0 && FactsBeforeRetrieve && FactsFromMlst && RetrieveExpected == FactSize;
  RecheckingSize = FactsRenewed = false;
  FactsBeforeRetrieve = false;
  if (!typeHolds) {
    SessionType = 0;
    PushCommand(std::string("TYPE ") + PendingType);
  }
  if (DataConnect()) return true;
  Commands.clear();
  ChangeState(TFtpSessionState::Ready);
  return false;
}

void TQpCustomFtpClient::OpenLocalFile(TFtpRetrieveMode mode, const host::TRemoteFileIdentity* remote) {
  using M = host::TLocalOutputFile::TMode;
  M how = mode == rmAppend ? M::Append : mode == rmReplace ? M::Replace : M::WriteAt;
  if (how == M::WriteAt) {
    struct stat st {};
    int64_t size = ::stat(LocalName.c_str(), &st) == 0 ? static_cast<int64_t>(st.st_size) : 0;
    if (RestartAt > size || RestartAt < 0) RestartAt = size;
  }
  if (!Local) Local = std::make_unique<host::TLocalOutputFile>();
  const bool resumable = how != M::WriteAt && remote && remote->Resumable();
  int err = resumable ? Local->OpenResumable(LocalName, how, *remote)
                      : Local->Open(LocalName, how, static_cast<uint64_t>(RestartAt));
  Resuming = false;
  RetrieveOffset = how == M::WriteAt ? RestartAt : 0;
  if (err != 0) throw EFtpLocalFile("Cannot open file \"" + LocalName + "\". " + ErrnoText(err));
  if (resumable && Local->ResumeOffset() > 0) {
    // Kept bytes of this very remote file: the server sends the rest.
    Resuming = true;
    RestartAt = RetrieveOffset = static_cast<int64_t>(Local->ResumeOffset());
    PushCommand("REST " + std::to_string(RestartAt));
    PostNotice("Resuming " + RemoteName + " at " + std::to_string(RestartAt) + " bytes kept from an earlier attempt");
    PostLog(lgRestart);
  } else if (mode == rmAppend || mode == rmReplace) {
    PostLog(lgDownload);
  } else {
    PushCommand("REST " + std::to_string(RestartAt));
    PostLog(lgRestart);
  }
}

// --- setting up the data connection ---------------------------------------------------------

void TQpCustomFtpClient::ResetTransferState() {
  Transferred = 0;
  DataLinked = DataGoAhead = false;
  Aborting = false;
  PeerEof = DataEof = false;
  RetrieveReplyOk = false;
  LocalFailed = false;
}

bool TQpCustomFtpClient::DataConnect() {
  try {
    return PassiveMode ? DataConnectPassive() : DataConnectActive();
  } catch (const std::exception&) {
    DataCleanup();
    Commands.clear();
    return false;
  }
}

bool TQpCustomFtpClient::DataConnectPassive() {
  DataSocket = DataSocketObj->CreateSocket(ControlIsIpv6() ? AF_INET6 : AF_INET);
  if (DataSocket == port::kInvalidSocket) return false;
  // The connect is started by the 227 reply; its failure arrives as an error notification.
  DataSocketObj->AsyncSelect(DataSocket, port::fdRead | port::fdConnect | port::fdClose |
                                             (DataProtected ? port::fdWrite : 0u));
  SendNextCommand();  // TYPE (or PASV when the type holds)
  return true;
}

bool TQpCustomFtpClient::DataConnectActive() {
  port::TQpWinsockDispatcher* d = SocketDispatcher();
  if (!d) return false;
  // Offer the data connection on the local interface of the control connection.
  sockaddr_storage local{};
  if (DataSocketObj->GetSockName(d->DeviceHandle(), &local) != 0) return false;
  const bool ipv6 = local.ss_family == AF_INET6;
  if (ListenSocket == port::kInvalidSocket) ListenSocket = DataSocketObj->CreateSocket(ipv6 ? AF_INET6 : AF_INET);
  if (ListenSocket == port::kInvalidSocket) return false;
  DataSocketObj->AsyncSelect(ListenSocket, port::fdAccept | port::fdClose);
  port::TQpSocket::SetPort(local, 0);
  if (DataSocketObj->Bind(ListenSocket, local) != 0) return false;
  if (DataSocketObj->GetSockName(ListenSocket, &local) != 0) return false;
  // Listen before PORT goes out: a server may connect as soon as it has read the command.
  if (DataSocketObj->Listen(ListenSocket, 5) != 0) return false;
  const uint16_t listenPort = port::TQpSocket::PortOf(local);
  if (ipv6) {
    SendCommand("EPRT " + ExtendedPortArgument(true, DottedAddress(local), listenPort));
  } else {
    const auto& in = reinterpret_cast<const sockaddr_in&>(local);
    SendCommand("PORT " + PortArgument(ntohl(in.sin_addr.s_addr), listenPort));
  }
  return true;
}

bool TQpCustomFtpClient::ControlPeer(sockaddr_storage& peer) {
  port::TQpWinsockDispatcher* d = SocketDispatcher();
  return d && DataSocketObj->GetPeerName(d->DeviceHandle(), &peer) == 0;
}

bool TQpCustomFtpClient::ControlIsIpv6() {
  sockaddr_storage peer{};
  return ControlPeer(peer) && peer.ss_family == AF_INET6;
}

void TQpCustomFtpClient::PassiveReply() {
  // 227 names a host and a port, 229 only a port: either way the data connection goes to
  // the server we are talking to, so that a reply naming another host cannot aim us at it.
  const bool extended = ReplyCodeOf(Reply.Reply()) == 229;
  TPassiveAddress address;
  if (extended) {
    address.Port = ParseExtendedPassiveReply(Reply.Reply());
    address.Ok = address.Port != 0;
  } else {
    address = ParsePassiveReply(Reply.Reply());
  }
  if (DataSocket == port::kInvalidSocket) return;
  sockaddr_storage remote{};
  if (!address.Ok || !ControlPeer(remote)) {
    // Connecting to whatever a garbled reply yields would go to a wrong host; report it
    // like a data-connection error, with the reply for the reader.
    if (!Aborting) {
      Aborting = true;
      PostError(host::kWsaEADDRNOTAVAIL, Reply.Reply().c_str());
    }
    return;
  }
  std::string peer = DottedAddress(remote);
  if (!extended && address.Host != peer)
    PostNotice("Passive reply names " + address.Host + ", connecting to the server's " + peer + " instead");
  port::TQpSocket::SetPort(remote, address.Port);
  DataSocketObj->Connect(DataSocket, remote);
}

// --- data socket notifications --------------------------------------------------------------

void TQpCustomFtpClient::DataAccept(int socket) {
  if (socket != ListenSocket || ListenSocket == port::kInvalidSocket) return;
  port::TSocket s = DataSocketObj->Accept(ListenSocket);
  if (s == port::kInvalidSocket) return;
  // Only the server may connect; anyone else is turned away and the listener stays open.
  sockaddr_storage caller{}, server{};
  bool fromServer = DataSocketObj->GetPeerName(s, &caller) == 0 && ControlPeer(server) &&
                    port::TQpSocket::SameHost(caller, server);
  if (!fromServer) PostNotice("Data connection from " + DottedAddress(caller) + " refused: not the server");
  if (!fromServer || DataSocket != port::kInvalidSocket ||
      (State != TFtpSessionState::Listing && State != TFtpSessionState::Retrieving)) {
    // One data connection per transfer; a stray one is refused.
    Cleaning = true;
    DataSocketObj->CloseSocket(s);
    Cleaning = false;
    return;
  }
  DataSocket = s;
  DataSocketObj->AsyncSelect(DataSocket, port::fdRead | port::fdClose | (DataProtected ? port::fdWrite : 0u));
  DataLinked = true;
  StartDataTlsWhenDue();
}

// --- TLS of the data connection -------------------------------------------------------------

void TQpCustomFtpClient::DataConnected(int socket) {
  if (socket != DataSocket) return;
  DataLinked = true;
  StartDataTlsWhenDue();
}

// The handshake starts once the data connection is there and the server has answered the
// transfer command with its preliminary reply: servers may take bytes arriving on a data
// connection before that as its end.
void TQpCustomFtpClient::StartDataTlsWhenDue() {
  if (DataProtected && !DataTls && DataLinked && DataGoAhead && DataSocket != port::kInvalidSocket &&
      (State == TFtpSessionState::Listing || State == TFtpSessionState::Retrieving))
    StartDataTls();
}

void TQpCustomFtpClient::StartDataTls() {
  port::TQpWinsockDispatcher* d = SocketDispatcher();
  port::TWsConnection* c = d ? d->Connection() : nullptr;
  port::TTlsChannel* control = c ? c->Tls() : nullptr;
  if (!control) {
    TransferFailed(kFtpTlsError, "TLS: the control connection is not protected");
    return;
  }
  DataTls = control->ForData();
  DataTlsNoted = false;
  FlushDataTls();
  if (DataTls->Failed()) TransferFailed(kFtpTlsError, DataTls->FailureText());
}

void TQpCustomFtpClient::FlushDataTls() {
  if (DataTls) DataTls->SendPending(*DataSocketObj, DataSocket);
}

// Sends the close_notify of a data connection that is still sound, then forgets the channel.
void TQpCustomFtpClient::CloseDataTls() {
  if (!DataTls) return;
  DataTls->Close();
  Cleaning = true;
  FlushDataTls();
  Cleaning = false;
  DataTls.reset();
}

// What the data connection delivers: plain bytes, 0 at the end of the data (PeerEof set),
// below 0 when nothing is there now or the connection failed. Over TLS the end of the data is
// the server's close_notify; a stream that ends without one fails the transfer.
int TQpCustomFtpClient::DataRecv(char* buffer, int size) {
  if (!DataTls && DataProtected) return -1;  // bytes before the handshake are no data
  if (!DataTls) {
    int n = DataSocketObj->Recv(DataSocket, buffer, size);
    if (n == 0) PeerEof = true;
    return n;
  }
  for (;;) {
    int n = DataTls->Read(reinterpret_cast<uint8_t*>(buffer), static_cast<size_t>(size));
    FlushDataTls();
    if (!DataTlsNoted && DataTls->Open()) {
      DataTlsNoted = true;
      PostNotice(std::string("Data connection: ") + DataTls->Protocol() +
                 (DataTls->Resumed() ? ", TLS session resumed" : ", new TLS session (not resumed)"));
    }
    if (n > 0) return n;
    if (DataTls->Failed()) {
      TransferFailed(kFtpTlsError, DataTls->FailureText());
      return -1;
    }
    if (DataTls->PeerClosed()) {
      PeerEof = true;
      return 0;
    }
    if (DataTls->Truncated()) {
      TransferFailed(kFtpTlsError, kTlsCutText);
      return -1;
    }
    int raw = DataSocketObj->Recv(DataSocket, RawBlock.get(), static_cast<int>(kDataBufferSize));
    if (raw > 0)
      DataTls->Feed(RawBlock.get(), static_cast<size_t>(raw));
    else if (raw == 0)
      DataTls->FeedEnd();
    else
      return -1;
  }
}

void TQpCustomFtpClient::DataRead(int socket) {
  if (socket != DataSocket || DataSocket == port::kInvalidSocket) return;
  if (State != TFtpSessionState::Listing && State != TFtpSessionState::Retrieving) return;
  PeerEof = false;
  if (!DataTls) {
    DataReceive();
  } else {
    // Decrypted bytes may wait inside the channel with the socket drained: read on until
    // the socket would block (which re-arms the notification), or hand the rest to the next
    // pass of the event loop.
    int64_t start = Transferred;
    ssize_t n = 0;
    while ((n = DataReceive()) > 0 && Transferred - start < kTlsReadBurst) {
    }
    if (n > 0 && socket == DataSocket) QTimer::singleShot(0, Window.get(), [this, socket] { DataRead(socket); });
  }
  // The end of the stream may show up as a read of nothing before any close notification.
  if (PeerEof && socket == DataSocket) DataClosed(socket);
}

void TQpCustomFtpClient::DataClosed(int socket) {
  if (socket != DataSocket || DataSocket == port::kInvalidSocket) return;
  if (State != TFtpSessionState::Retrieving && State != TFtpSessionState::Listing) return;
  // Everything the server sent is in (the stream has ended: the rest is buffered, and
  // reading it is bounded); the transfer ends once the server has confirmed it as well.
  while (DataReceive() > 0) {
  }
  if (State != TFtpSessionState::Retrieving && State != TFtpSessionState::Listing) return;  // failed meanwhile
  // A protected data connection ends with the server's close_notify, also one that closed
  // before its handshake began.
  if (DataProtected && !(DataTls && DataTls->PeerClosed())) {
    TransferFailed(kFtpTlsError, kTlsCutText);
    return;
  }
  DataEof = true;
  CloseDataSockets();
  if (State == TFtpSessionState::Retrieving)
    FinishRetrieveIfComplete();
  else
    FinishListingIfComplete();
}

void TQpCustomFtpClient::DataError(int socket, int code) {
  if (Cleaning || Aborting) return;
  Aborting = true;
  HoldDataError(code);
}

// --- reading --------------------------------------------------------------------------------

ssize_t TQpCustomFtpClient::DataReceive() {
  if (DataSocket == port::kInvalidSocket) return 0;
  if (State != TFtpSessionState::Retrieving) {
    // Listing data does not re-arm the transfer timer: a server trickling names cannot
    // hold the session beyond the time-out.
    if (Aborting) return 0;
    int n = DataRecv(Block.get(), static_cast<int>(kDataBufferSize));
    if (n <= 0) return n;
    if (Listing.size() + static_cast<size_t>(n) > kMaxListing) {
      Aborting = true;
      PostError(host::kWsaENOBUFS, nullptr);
      return -1;
    }
    Listing.append(Block.get(), static_cast<size_t>(n));
    Transferred += n;
    return n;
  }
  if (!Local || !Local->IsOpen() || Aborting) return 0;
  RearmTransferTimer();
  int n = DataRecv(Block.get(), static_cast<int>(kDataBufferSize));
  if (n <= 0) return n;
  Transferred += n;  // the byte counter counts network bytes, ASCII or not
  const char* bytes = Block.get();
  size_t count = static_cast<size_t>(n);
  if (AsciiLineEnds.On()) {
    const std::string& text = AsciiLineEnds.Convert(bytes, count);
    bytes = text.data();
    count = text.size();
  }
  if (int err = Local->Write(bytes, count); err != 0) {
    LocalWriteFailed(err);
    return -1;
  }
  PostStatus(fsProgress, nullptr);
  return n;
}

// --- completion -----------------------------------------------------------------------------

void TQpCustomFtpClient::RetrieveReply(int code) {
  if (Aborting) {
    // Reading stopped when the transfer was aborted: whatever the server says, the local
    // file is not known to be complete.
    ChangeState(TFtpSessionState::Ready);
    return;
  }
  RetrieveReplyOk = true;
  FinishRetrieveIfComplete();
}

void TQpCustomFtpClient::FinishRetrieveIfComplete() {
  if (State != TFtpSessionState::Retrieving || Aborting || LocalFailed) return;
  if (!DataEof || !RetrieveReplyOk) return;
  if (ShortTransfer()) return;
  // Confirmed by the server: now the file is made durable and (replace) put in place, or
  // held for the caller.
  if (Local && Local->IsOpen() && AsciiLineEnds.On()) {
    const std::string& tail = AsciiLineEnds.Finish();
    if (int err = tail.empty() ? 0 : Local->Write(tail.data(), tail.size()); err != 0) {
      LocalWriteFailed(err);
      return;
    }
  }
  if (Local && Local->IsOpen()) {
    // Put in place now, synced with the run's other files later: a file the caller may
    // delete remotely is held and committed (and synced) by it, and Delete syncs whatever is
    // owed first.
    int err = HoldLocalFile ? 0 : Local->Commit(host::TLocalOutputFile::TDurability::Later);
    if (err != 0) {
      LocalWriteFailed(err);
      return;
    }
    LocalHeld = HoldLocalFile;
    // The holder asks the server again before it commits: the disk catches up meanwhile.
    if (LocalHeld) Local->SyncAhead();
  }
  PostStatus(fsTransferDone, nullptr);
}

void TQpCustomFtpClient::ListingReply() {
  if (Aborting) {
    ChangeState(TFtpSessionState::Ready);
    return;
  }
  RetrieveReplyOk = true;
  FinishListingIfComplete();
}

// Some servers insist on NLST's name, which may be left out ("500 Syntax error: NLST requires
// an argument"): the current folder is then asked for by its name ".", once, on a new data
// connection. False for other replies.
bool TQpCustomFtpClient::BareNameListRefused(int code) {
  if ((code != 500 && code != 501) || !BareNameList || Aborting || State != TFtpSessionState::Listing) return false;
  BareNameList = false;
  const std::string refusal = host::TrimRight(ReplyTextOf(Reply.Reply()));
  PostNotice("NLST without a name refused (" + std::to_string(code) + " " + refusal + "): listing \".\" instead");
  DropListingUnderWay();
  ResetTransferState();
  PushCommand("NLST .");
  if (PassiveMode) PushCommand(PassiveCommand());
  if (!DataConnect()) TransferFailed(code, refusal);
  return true;
}

// Servers of the old BSD line answer the name listing of an empty folder with "550 No files
// found." (others with 450, mainframes with "No data sets found"): the folder was entered, so
// that is a listing with nothing in it. Any other refusal stays a failure. False for other
// replies.
bool TQpCustomFtpClient::EmptyFolderNamed(int code) {
  if ((code != 450 && code != 550) || !FolderNameList || Aborting || State != TFtpSessionState::Listing) return false;
  const std::string text = host::TrimRight(ReplyTextOf(Reply.Reply()));
  const std::string upper = host::UpperCase(text);
  if (upper.find("NO FILES FOUND") == std::string::npos && upper.find("NO DATA SETS FOUND") == std::string::npos)
    return false;
  PostNotice("NLST answered " + std::to_string(code) + " " + text + ": taken for an empty folder");
  DropListingUnderWay();
  PostStatus(fsTextReady, "");
  return true;
}

// A server that offers MLST's facts yet will not list a folder with MLSD (5xx): the listing of
// facts is empty, not failed. False for other replies.
bool TQpCustomFtpClient::FactsListingRefused(int code) {
  if (code < 500 || Aborting || State != TFtpSessionState::Listing) return false;
  PostNotice("MLSD answered " + std::to_string(code) + " " + host::TrimRight(ReplyTextOf(Reply.Reply())) +
             ": files' facts are asked one by one");
  DropListingUnderWay();
  PostStatus(fsTextReady, "");
  return true;
}

// The listing's data connection, what it brought and the commands still due go: the listing
// is asked anew or ends here.
void TQpCustomFtpClient::DropListingUnderWay() {
  CloseDataSockets();
  HeldDataError = 0;
  Listing.clear();
  Commands.clear();
}

void TQpCustomFtpClient::FinishListingIfComplete() {
  if (State != TFtpSessionState::Listing || Aborting || !DataEof || !RetrieveReplyOk) return;
  std::string listing = std::move(Listing);
  Listing.clear();
  PostStatus(fsTextReady, listing.c_str());
}

void TQpCustomFtpClient::LocalWriteFailed(int err) {
  if (LocalFailed) return;
  LocalFailed = true;
  Aborting = false;  // the failure is reported here, not as a data-connection error
  TransferFailed(kFtpLocalFileError, "Cannot write file \"" + LocalName + "\". " + ErrnoText(err));
}

// A failure of this side ends the transfer: the session is Ready again and the error posted.
void TQpCustomFtpClient::TransferFailed(int32_t code, const std::string& text) {
  if (Aborting) return;
  Aborting = true;
  if (State > TFtpSessionState::Ready) {
    AbandonAwaited();
    ChangeState(TFtpSessionState::Ready);
  }
  if (!Destroying) Post({TNoteKind::Error, code, true, text});
}

// --- closing --------------------------------------------------------------------------------

void TQpCustomFtpClient::DataShutdown(bool drain) {
  if (DataTls) drain = false;  // the socket's byte count says nothing about the plain bytes
  CloseDataTls();
  if (DataSocket != port::kInvalidSocket) {
    Cleaning = true;
    DataSocketObj->AsyncSelect(DataSocket, 0);
    DataSocketObj->Shutdown(DataSocket, SHUT_WR);
    Cleaning = false;
    if (drain && (State == TFtpSessionState::Listing || State == TFtpSessionState::Retrieving)) {
      // Only what has arrived already: a server still sending must not hold the session.
      int buffered = 0;
      if (::ioctl(DataSocket, FIONREAD, &buffered) != 0) buffered = 0;
      int64_t limit = Transferred + buffered;
      while (Transferred < limit && DataReceive() > 0) {
      }
    }
    if (DataSocket != port::kInvalidSocket) {
      Cleaning = true;
      DataSocketObj->Shutdown(DataSocket, SHUT_RDWR);
      Cleaning = false;
    }
  }
  DataCleanup();
}

void TQpCustomFtpClient::DataCleanup() {
  CloseDataSockets();
  CloseLocalFile();
}

void TQpCustomFtpClient::CloseDataSockets() {
  CloseDataTls();
  Cleaning = true;
  if (DataSocket != port::kInvalidSocket) {
    port::TSocket s = DataSocket;
    DataSocket = port::kInvalidSocket;
    DataSocketObj->AsyncSelect(s, 0);
    DataSocketObj->CloseSocket(s);
  }
  if (ListenSocket != port::kInvalidSocket) {
    port::TSocket s = ListenSocket;
    ListenSocket = port::kInvalidSocket;
    DataSocketObj->AsyncSelect(s, 0);
    DataSocketObj->CloseSocket(s);
  }
  Cleaning = false;
}

// A local file still open here belongs to a retrieve that was not confirmed: it goes back
// to what it was before the retrieve, and a resumable partial is kept for the next attempt.
// A held file waits for its caller, unless the session goes away.
void TQpCustomFtpClient::CloseLocalFile() {
  if (!Local || !Local->IsOpen()) return;
  if (LocalHeld && !Destroying) return;
  LocalHeld = false;
  if (Local->Resumable()) {
    uint64_t kept = Local->ResumeOffset() + Local->Written();
    if (int err = Local->Suspend(); err != 0)
      PostNotice("Partial download of " + LocalName + " could not be kept: " + ErrnoText(err));
    else
      PostNotice("Partial download of " + LocalName + " kept: " + std::to_string(kept) + " bytes, resumable");
    return;
  }
  uint64_t written = Local->Written(), start = Local->StartLength();
  int err = Local->Rollback();
  if (err != 0)
    PostNotice("Local file " + LocalName + " could not be rolled back: " + ErrnoText(err));
  else if (written > 0)
    PostNotice("Local file " + LocalName + " rolled back to " + std::to_string(start) + " bytes (" +
               std::to_string(written) + " bytes of an unconfirmed retrieve discarded)");
}

}  // namespace quodra::ftp
