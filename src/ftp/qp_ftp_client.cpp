// The control session: commands, replies, the session state machine, posted notifications
// and the two time-outs. The data connection is in qp_ftp_data.cpp.
#include "qp_ftp_client.h"

#include <QTimer>
#include <cstring>
#include <exception>

#include "ftp/qp_data_packet.h"
#include "ftp/qp_ftp_log.h"
#include "host/clock.h"
#include "host/event_wait.h"
#include "host/local_output_file.h"
#include "host/message_target.h"
#include "host/pending_durability.h"
#include "port/qp_sock_dispatcher.h"
#include "port/qp_socket.h"
#include "port/tls_channel.h"

namespace quodra::ftp {
namespace {

constexpr uint32_t kMsgNotification = 1;
constexpr size_t kCommandStackSize = 32;
// What the server answers when the control connection is made.
const char kGreeting[] = "(greeting)";

std::string VerbOf(const std::string& line) {
  std::string verb = line.substr(0, line.find(' '));
  for (char& c : verb)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return verb;
}

}  // namespace

TQpCustomFtpClient::TQpCustomFtpClient(port::TQpBaseComponent* owner) : TQpCustomWinsockPort(owner) {
  SetDeviceLayer(port::dlWinsock);
  SetWsMode(port::wsClient);
  SetAutoOpen(false);
  SetWsPort("ftp");

  Window = std::make_unique<host::TMessageTarget>([this](const host::TMessage& m) { HandleMessage(m); });
  ConnectTimer = std::make_unique<QTimer>();
  ConnectTimer->setSingleShot(true);
  QObject::connect(ConnectTimer.get(), &QTimer::timeout, Window.get(), [this] {
    if (ConnectPending) Post({TNoteKind::ConnectTimeout, -1, false, {}});
  });

  DataSocketObj = std::make_unique<port::TQpSocket>();
  DataSocketObj->OnAccept = [this](port::TQpSocket*, port::TSocket s) { DataAccept(s); };
  DataSocketObj->OnRead = [this](port::TQpSocket*, port::TSocket s) { DataRead(s); };
  DataSocketObj->OnDisconnect = [this](port::TQpSocket*, port::TSocket s) { DataClosed(s); };
  DataSocketObj->OnError = [this](port::TQpSocket*, port::TSocket s, int code) { DataError(s, code); };
  DataSocketObj->OnConnect = [this](port::TQpSocket*, port::TSocket s) { DataConnected(s); };
  DataSocketObj->OnWrite = [this](port::TQpSocket*, port::TSocket s) {
    if (s == DataSocket) FlushDataTls();
  };
  Block.reset(new char[kDataBufferSize]);
  RawBlock.reset(new uint8_t[kDataBufferSize]);

  // Every reply line arrives as one packet: any data up to and including CR LF.
  ReplyPacket = std::make_unique<TQpDataPacket>();
  ReplyPacket->SetStartCond(scAnyData);
  // A reply line ends with CR LF, or after kMaxReplyLine bytes: a server that never ends its
  // line cannot make the packet buffer grow without bound.
  ReplyPacket->SetEndCond({ecString, ecPacketSize});
  ReplyPacket->SetPacketSize(kMaxReplyLine);
  ReplyPacket->SetEndString("\r\n");
  ReplyPacket->SetTimeOut(0);
  ReplyPacket->SetAutoEnable(true);
  ReplyPacket->OnStringPacket = [this](port::TQpBaseComponent*, const std::string& line) { ReplyLine(line); };
  ReplyPacket->SetComPort(this);
}

TQpCustomFtpClient::~TQpCustomFtpClient() {
  Destroying = true;
  ConnectPending = false;
  ConnectTimer->stop();
  DataCleanup();
  CloseForDestroy();
  // Log codes posted by the close (lgLoggedOut) still reach an attached history log. No
  // event handler is called from here: what it refers to may be gone already.
  std::deque<TNote> pending;
  pending.swap(Notes);
  for (TNote& n : pending)
    if (n.Kind == TNoteKind::Log && Log) Log->UpdateLog(static_cast<TFtpLogCode>(n.Code));
  Window.reset();
  if (Log) {
    Log->Client = nullptr;
    Log = nullptr;
  }
  ReplyPacket.reset();
  DataSocketObj.reset();
}

void TQpCustomFtpClient::SetFtpLog(TQpFtpLog* log) {
  if (log == Log) return;
  TQpFtpLog* old = Log;
  Log = nullptr;
  if (old && old->Client == this) old->Client = nullptr;
  if (log) {
    if (log->Client && log->Client != this && log->Client->Log == log) log->Client->Log = nullptr;
    log->Client = this;
  }
  Log = log;
}

void TQpCustomFtpClient::Notification(port::TQpBaseComponent* component, port::TOperation operation) {
  TQpCustomWinsockPort::Notification(component, operation);
  if (operation == port::opRemove && Log && component == static_cast<port::TQpBaseComponent*>(Log)) Log = nullptr;
}

// --- events ---------------------------------------------------------------------------------

void TQpCustomFtpClient::DoFtpStatus(TFtpStatusCode code, const char* text) {
  if (OnFtpStatus) OnFtpStatus(this, code, text);
}

void TQpCustomFtpClient::DoFtpError(int32_t code, const char* text) {
  if (OnFtpError) OnFtpError(this, code, text);
}

void TQpCustomFtpClient::DoFtpReply(int32_t code, const char* text) {
  if (OnFtpReply) OnFtpReply(this, code, text);
}

void TQpCustomFtpClient::DoFtpLog(TFtpLogCode code) {
  if (OnFtpLog) OnFtpLog(this, code);
}

void TQpCustomFtpClient::DoFtpNotice(const char* text) {
  if (OnFtpNotice) OnFtpNotice(this, text);
}

// --- operations -----------------------------------------------------------------------------

bool TQpCustomFtpClient::Login() {
  if (State >= TFtpSessionState::Ready) return false;
  // The login texts travel as command arguments: a line end inside one would smuggle in a
  // command of its own.
  if (!IsSafeArgument(UserName) || !IsSafeArgument(Password) || !IsSafeArgument(Account)) return false;
  bool result = true;
  if (State == TFtpSessionState::Closed) {
    SetWsAddressTry(0);
    ControlLinked = false;
    if (ConnectTimeout > 0) {
      ConnectPending = true;
      ConnectTimer->start(ConnectTimeout * host::kMsPerTick);
    }
    try {
      SetOpen(true);
    } catch (...) {
      // With an OnWsError handler the port has reported the failure there already.
      if (!OnWsError) {
        ConnectPending = false;
        ConnectTimer->stop();
        throw;
      }
    }
    result = Open();
    if (!result) {
      // Nothing to wait for: stay Closed so that Login can simply be called again.
      ConnectPending = false;
      ConnectTimer->stop();
      return false;
    }
  } else {
    SendCommand("USER " + UserName);
  }
  ChangeState(TFtpSessionState::LoggingIn);
  return result;
}

bool TQpCustomFtpClient::Logout() {
  bool wasOpen = Open();
  bool told = false;
  // Only a connection that was made has a server to answer QUIT: one refused or still being
  // attempted is closed at once.
  if (wasOpen && ControlLinked) {
    try {
      PutString("QUIT\r\n");  // not through SendCommand: no transfer time-out for this one
      Awaiting.push_back({"QUIT"});
      told = true;
    } catch (const std::exception&) {
      // A connection that cannot take the command is closed below all the same.
    }
  }
  // The server's 221 closes the session; a server that does not answer in time is left.
  if (told) host::WaitUntil([this] { return !Open(); }, host::NowMs() + LogoutWaitMs);
  if (Open() || State != TFtpSessionState::Closed) ChangeState(TFtpSessionState::Closed);
  return wasOpen;
}

bool TQpCustomFtpClient::ChangeDir(const std::string& dir) {
  if (State != TFtpSessionState::Ready || !IsSafeArgument(dir)) return false;
  ChangeState(TFtpSessionState::Commanding);
  SendCommand(dir.empty() ? std::string("PWD") : "CWD " + dir);
  return true;
}

bool TQpCustomFtpClient::Delete(const std::string& name) {
  if (State != TFtpSessionState::Ready || name.empty() || !IsSafeArgument(name)) return false;
  // The remote copy goes only once every local file written so far is safe on disk.
  if (std::string why; host::TPendingDurability::FlushBeforeDeleting(name, why) != 0) {
    RemoteName = name;
    PostError(kFtpLocalFileError, why.c_str(), true);
    return true;
  }
  ChangeState(TFtpSessionState::Commanding);
  RemoteName = name;
  SendCommand("DELE " + name);
  PostLog(lgDelete);
  return true;
}

bool TQpCustomFtpClient::Abort() {
  if (State <= TFtpSessionState::Ready) return false;
  Aborting = true;
  // The transfer is given up: its data connection goes at once. A server that reads no
  // command while it sends (vsftpd without asynchronous ABOR) then sees the transfer fail and
  // answers; while we kept the connection open without reading, it waited on it, and the
  // session with it, until the logout's time-out.
  CloseDataSockets();
  SendCommand("ABOR");
  PostLog(lgUserAbort);
  return true;
}

// --- commands -------------------------------------------------------------------------------

void TQpCustomFtpClient::SendCommand(const std::string& line) {
  StartTransferTimer();
  Awaiting.push_back({VerbOf(line)});
  PutString(line + "\r\n");
}

void TQpCustomFtpClient::PushCommand(const std::string& line) {
  if (Commands.size() >= kCommandStackSize) {
    Commands.clear();
    throw std::runtime_error("FTP Command stack full");
  }
  Commands.push_back(line);
}

void TQpCustomFtpClient::SendNextCommand() {
  if (Commands.empty()) return;
  std::string line = std::move(Commands.back());
  Commands.pop_back();
  SendCommand(line);
}

// --- state ----------------------------------------------------------------------------------

void TQpCustomFtpClient::ChangeState(TFtpSessionState next) {
  if (HeldDataError != 0 && next <= TFtpSessionState::Ready) {
    // The transfer ends another way (a time-out, a closed session): its socket error is
    // still one of the reasons.
    const int32_t held = HeldDataError;
    HeldDataError = 0;
    if (!Destroying) Post({TNoteKind::Error, held, false, {}});
  }
  switch (next) {
    case TFtpSessionState::Closed:
      StopTransferTimer();
      if (ReplyPacket) ReplyPacket->SetEnabled(false);
      DataCleanup();
      // Closing the port runs DoWsDisconnect, which comes back here while the old state is
      // still stored: a logged-in session so reports fsLoggedOut there and fsClosed here.
      if (Open() && !IsClosing()) {
        ClosingByUs = true;
        try {
          SetOpen(false);
        } catch (...) {
          ClosingByUs = false;
          throw;
        }
        ClosingByUs = false;
      }
      Commands.clear();
      Awaiting.clear();
      Reply.Reset();
      if (State >= TFtpSessionState::Ready) {
        PostStatus(fsLoggedOut, nullptr);
        PostLog(lgLoggedOut);
      } else {
        PostStatus(fsClosed, nullptr);
      }
      break;
    case TFtpSessionState::Ready:
      DataShutdown(true);
      break;
    default:
      break;
  }
  State = next;
}

// --- notifications --------------------------------------------------------------------------

void TQpCustomFtpClient::PostStatus(TFtpStatusCode code, const char* text) {
  switch (code) {
    case fsCommandDone:
    case fsCurrentDir:
    case fsTextReady:
    case fsTransferDone:
    case fsTimeout:
    case fsFileFacts: {
      // The text may point into a buffer that returning to Ready clears.
      TNote note{TNoteKind::Status, code, text != nullptr, text ? std::string(text) : std::string()};
      ChangeState(TFtpSessionState::Ready);
      if (!Destroying) Post(std::move(note));
      return;
    }
    default:
      break;
  }
  if (!Destroying) Post({TNoteKind::Status, code, text != nullptr, text ? std::string(text) : std::string()});
}

void TQpCustomFtpClient::PostError(int32_t code, const char* text, bool failed) {
  TNote note{TNoteKind::Error, code, text != nullptr, text ? std::string(text) : std::string()};
  if (State > TFtpSessionState::Ready) {
    AbandonAwaited();
    ChangeState(TFtpSessionState::Ready);
  }
  if (Destroying) return;
  if (failed || code == 202 || code > 299) Post(std::move(note));
}

void TQpCustomFtpClient::PostLog(TFtpLogCode code) {
  Post({TNoteKind::Log, static_cast<int32_t>(code & 0x7f), false, {}});
}

void TQpCustomFtpClient::PostNotice(const std::string& text) {
  std::string line = text;  // a log line: without the reply's own line end
  while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.pop_back();
  if (!Destroying) Post({TNoteKind::Notice, 0, true, line});
}

void TQpCustomFtpClient::AbandonAwaited() {
  for (TAwaited& a : Awaiting) a.Abandoned = true;
}

void TQpCustomFtpClient::Post(TNote note) {
  if (!Window) return;
  Notes.push_back(std::move(note));
  Window->Post(kMsgNotification);
}

void TQpCustomFtpClient::HandleMessage(const host::TMessage& m) {
  if (m.Msg != kMsgNotification || Notes.empty()) return;
  TNote note = std::move(Notes.front());
  Notes.pop_front();
  // Nothing of this object may be touched after Deliver: a handler may destroy it.
  try {
    Deliver(note);
  } catch (const std::exception& e) {
    // An exception must not unwind through the event loop; it goes where the socket
    // layer sends its own (the application's general error handling).
    if (port::TQpSocket::UnhandledException) port::TQpSocket::UnhandledException(e);
  }
}

void TQpCustomFtpClient::Deliver(TNote& note) {
  const char* text = note.HasText ? note.Text.c_str() : nullptr;
  switch (note.Kind) {
    case TNoteKind::Status:
      DoFtpStatus(static_cast<TFtpStatusCode>(note.Code), text);
      break;
    case TNoteKind::Error:
      DoFtpError(note.Code, text);
      break;
    case TNoteKind::Reply:
      HandleReply(note.Code, note.Text);
      if (!Destroying) DoFtpReply(note.Code, note.Text.c_str());
      break;
    case TNoteKind::Log:
      if (Log)
        Log->UpdateLog(static_cast<TFtpLogCode>(note.Code));
      else
        DoFtpLog(static_cast<TFtpLogCode>(note.Code));
      break;
    case TNoteKind::Notice:
      DoFtpNotice(text);
      break;
    case TNoteKind::Timeout:
      Aborting = true;
      AbandonAwaited();
      ChangeState(State > TFtpSessionState::LoggingIn ? TFtpSessionState::Ready : TFtpSessionState::Closed);
      if (!Destroying) DoFtpStatus(fsTimeout, nullptr);
      break;
    case TNoteKind::TlsFailure:
      TlsSessionFailed(note.Text);
      break;
    case TNoteKind::NextAddress:
      ConnectNextAddress();
      break;
    case TNoteKind::ConnectTimeout:
      // A connection established after the expiry was posted has cancelled it.
      if (!ConnectPending) break;
      if (!ControlLinked && TryNextAddress()) break;
      ConnectPending = false;
      ChangeState(TFtpSessionState::Closed);
      ConnectTimer->stop();
      if (!Destroying) DoFtpError(-1, nullptr);
      break;
  }
}

// --- replies --------------------------------------------------------------------------------

void TQpCustomFtpClient::ReplyLine(const std::string& line) {
  Post({TNoteKind::Reply, ReplyCodeOf(line), true, line});
}

void TQpCustomFtpClient::HandleReply(int code, const std::string& line) {
  if (!Reply.Add(line, code)) return;
  using S = TFtpSessionState;
  // 421 closes the session whatever it answers.
  if (code == 421) {
    ErrorPath(code);
    return;
  }
  // The reply belongs to the oldest command waiting for one; a final reply ends its wait.
  if (Awaiting.empty() || Awaiting.front().Abandoned) {
    if (code >= 200 && !Awaiting.empty()) {
      // The answers to an abort and to the logout after it are what those were sent for.
      const std::string& verb = Awaiting.front().Verb;
      PostNotice(verb == "ABOR" || verb == "QUIT" ? Reply.Reply() : "Late reply to " + verb + " ignored: " + Reply.Reply());
      Awaiting.pop_front();
    } else if (Awaiting.empty()) {
      PostNotice("Reply to no command ignored: " + Reply.Reply());
    }
    return;
  }
  std::string verb = Awaiting.front().Verb;
  if (code >= 200) Awaiting.pop_front();
  switch (State) {
    case S::Closed:
    case S::Ready:
      if (code == 125 || code == 150) return;
      if (code == 226) {
        DataShutdown(false);
        return;
      }
      break;
    case S::LoggingIn:
      if (LoginTlsReply(verb, code)) return;
      switch (code) {
        case 220:
          ConnectPending = false;
          ConnectTimer->stop();
          PostStatus(fsConnected, ReplyTextOf(Reply.Reply()).c_str());
          if (Security == fcExplicitTls)
            SendCommand("AUTH TLS");
          else if (Security == fcImplicitTls)
            SendCommand("PBSZ 0");
          else
            SendUser();
          return;
        case 331:
          SendCommand("PASS " + Password);
          return;
        case 332:
          SendCommand("ACCT " + Account);
          return;
        case 230:
          ChangeState(S::Ready);
          PostStatus(fsLoggedIn, nullptr);
          return;
        case 202:
          return;
        default:
          if (CompletesNothing(code)) return;
          break;
      }
      break;
    case S::Listing:
    case S::Retrieving:
      if (code == 125 || code == 150) {
        DataGoAhead = true;
        StartDataTlsWhenDue();
      }
      if (code < 200) return;
      TransferReply(verb, code);
      return;
    case S::Commanding:
      if (FactsReply(verb, code)) return;
      if (code >= 211 && code <= 215) {
        PostStatus(fsTextReady, ReplyTextOf(Reply.Reply()).c_str());
        return;
      }
      switch (code) {
        case 225:
        case 226:
          ChangeState(S::Ready);
          return;
        case 250:
          PostStatus(fsCommandDone, nullptr);
          return;
        case 257: {
          std::string dir = QuotedDirectory(Reply.Reply());
          Reply.SetReply(dir);
          PostStatus(fsCurrentDir, dir.c_str());
          return;
        }
        default:
          if (CompletesNothing(code)) return;
          break;
      }
      break;
  }
  ErrorPath(code);
}

// A final reply while a listing or retrieve runs, dispatched on the command it answers.
void TQpCustomFtpClient::TransferReply(const std::string& verb, int code) {
  if (RecheckingSize && (verb == "MLST" || verb == "SIZE" || verb == "MDTM")) {
    SizeRecheckReply(verb, code);
    return;
  }
  bool transfer = verb == "RETR" || IsListingVerb(verb);
  if (verb == "RETR" && ResumeRefused(code)) return;
  if (verb == "NLST" && (BareNameListRefused(code) || EmptyFolderNamed(code))) return;
  if (verb == "MLSD" && FactsListingRefused(code)) return;
  if (transfer && SettleHeldDataError(code)) return;
  if (transfer && (code == 226 || code == 250)) {
    if (State == TFtpSessionState::Retrieving)
      RetrieveReply(code);
    else
      ListingReply();
    return;
  }
  if ((verb == "PASV" && code == 227) || (verb == "EPSV" && code == 229)) {
    PassiveReply();
    // An unusable address has failed the transfer: nothing more goes out for it.
    if (State == TFtpSessionState::Listing || State == TFtpSessionState::Retrieving) SendNextCommand();
    return;
  }
  if (verb == "TYPE" && code >= 200 && code < 300) SessionType = PendingType;
  if (verb == "REST" && code != 350 && RestRefused()) return;
  if (((verb == "TYPE" || verb == "PORT" || verb == "EPRT") && code >= 200 && code < 300) ||
      (verb == "REST" && code == 350)) {
    SendNextCommand();
    return;
  }
  if (verb == "ABOR" && code < 300) return;  // the interrupted command's own reply decides
  if (CompletesNothing(code)) return;
  ErrorPath(code);
}

// A positive reply that none of the state's steps expects (200 to USER, CWD or RETR, say) did
// not complete the command: it fails as a refusal does, with the server's words as the reason,
// or the session would wait for a completion that never comes. False for other replies.
bool TQpCustomFtpClient::CompletesNothing(int code) {
  if (code < 200 || code >= 300 || code == 221) return false;
  Commands.clear();
  PostError(code, ReplyTextOf(Reply.Reply()).c_str(), true);
  return true;
}

// --- TLS of the control connection ---------------------------------------------------------

void TQpCustomFtpClient::SendUser() { SendCommand("USER " + UserName); }

// The answers to AUTH, PBSZ and PROT while logging in; false for any other reply.
bool TQpCustomFtpClient::LoginTlsReply(const std::string& verb, int code) {
  if (verb != "AUTH" && verb != "PBSZ" && verb != "PROT") return false;
  if (code < 200) return true;
  if (code >= 300) {
    // Never on in clear text: the password would travel unprotected.
    TlsSessionFailed("TLS refused by the server (" + verb + "): " + Reply.Reply());
    return true;
  }
  if (verb == "AUTH") {
    StartControlTls();
    SendCommand("PBSZ 0");  // waits in the output ring until the certificate has passed
  } else if (verb == "PBSZ") {
    SendCommand("PROT P");
  } else {
    DataProtected = true;
    SendUser();
  }
  return true;
}

void TQpCustomFtpClient::StartControlTls() {
  port::TQpWinsockDispatcher* d = SocketDispatcher();
  port::TWsConnection* c = d ? d->Connection() : nullptr;
  if (!c) return;
  c->OnTlsFailure = [this](const std::string& text) {
    // Runs inside a dispatch pass: the session closes from the posted note.
    Post({TNoteKind::TlsFailure, kFtpTlsError, true, text});
  };
  c->StartTls(std::make_unique<port::TTlsChannel>(port::TTlsSettings{ServerAddress(), CertificateFingerprint}));
}

void TQpCustomFtpClient::TlsSessionFailed(const std::string& text) {
  if (State == TFtpSessionState::Closed) return;
  Commands.clear();
  AbandonAwaited();
  ConnectPending = false;
  ConnectTimer->stop();
  if (!Destroying) Post({TNoteKind::Error, kFtpTlsError, true, text});
  ChangeState(TFtpSessionState::Closed);
}

// The error text is the reply without its code: the code travels beside it, and a log line
// made of both shows it once.
void TQpCustomFtpClient::ErrorPath(int code) {
  Commands.clear();
  if (code == 221 || code == 421) {
    // A 421 says why the server ends the session ("too many connections"): that reason
    // is the run's failure, reported before the close.
    if (code == 421 && !Destroying) Post({TNoteKind::Error, code, true, ReplyTextOf(Reply.Reply())});
    ChangeState(TFtpSessionState::Closed);
    return;
  }
  PostError(code, ReplyTextOf(Reply.Reply()).c_str());
}

// A data connection that fails (a reset, say) usually does so because the server gave the
// transfer up, and its reply, right behind, says why. The socket error waits a moment for
// that reply; without one it is reported alone.
void TQpCustomFtpClient::HoldDataError(int32_t code) {
  const bool replyDue = (State == TFtpSessionState::Retrieving || State == TFtpSessionState::Listing) &&
                        !Awaiting.empty() && !Awaiting.front().Abandoned &&
                        (Awaiting.front().Verb == "RETR" || IsListingVerb(Awaiting.front().Verb));
  if (!replyDue || !Window) {
    PostError(code, nullptr);
    return;
  }
  HeldDataError = code;
  const uint32_t serial = ++HeldDataErrorSerial;
  QTimer::singleShot(kHeldDataErrorMs, Window.get(), [this, serial] {
    if (serial != HeldDataErrorSerial || HeldDataError == 0) return;
    const int32_t held = HeldDataError;
    HeldDataError = 0;
    PostError(held, nullptr);
  });
}

// The final reply to a transfer whose data connection failed: a refusal is the reason
// (the socket error goes with it as a notice), a success cannot undo the failed connection.
// False when no error is held.
bool TQpCustomFtpClient::SettleHeldDataError(int code) {
  if (HeldDataError == 0) return false;
  const int32_t held = HeldDataError;
  HeldDataError = 0;
  if (code >= 300) {
    // A transfer refused outright took its data connection down with it: the refusal alone
    // is the reason.
    if (DataGoAhead) PostNotice("The data connection failed (socket error " + std::to_string(held) + ")");
    ErrorPath(code);
  } else {
    PostError(held, nullptr);
  }
  return true;
}

// The server closed the control connection: say what was under way, so the run's log names
// what failed and not only that the session ended.
void TQpCustomFtpClient::NoteLostConnection() {
  if (State == TFtpSessionState::Retrieving) {
    PostNotice("Connection lost during the transfer of " + RemoteName + " after " + std::to_string(Transferred) +
               " bytes");
    return;
  }
  if (State == TFtpSessionState::Listing) {
    PostNotice("Connection lost during the listing after " + std::to_string(Transferred) + " bytes");
    return;
  }
  if (Awaiting.empty() || Awaiting.front().Abandoned || Awaiting.front().Verb == "QUIT") return;
  if (Awaiting.front().Verb == kGreeting)
    PostNotice("Connection closed by the server before its greeting");
  else
    PostNotice("Connection closed by the server before it answered " + Awaiting.front().Verb);
}

// --- port notifications ---------------------------------------------------------------------

void TQpCustomFtpClient::DoWsConnect() {
  // The connect timer keeps running until the greeting: a server that accepts and then
  // says nothing must not hold the session for ever. Without one, the transfer time-out
  // bounds the wait for the greeting.
  Reply.Reset();
  Awaiting.clear();
  Awaiting.push_back({kGreeting});
  DataProtected = false;
  SessionType = 0;
  FactsCommand = TFactsCommand::NotAsked;
  FeaturesForListing = false;
  RecheckingSize = ExpectedFromMlst = false;
  ControlLinked = true;
  if (ReplyPacket) ReplyPacket->SetEnabled(true);
  if (Security == fcImplicitTls) StartControlTls();  // the greeting comes through TLS
  RegisterTriggerHandler();
  if (!ConnectPending) StartTransferTimer();
  ChangeState(TFtpSessionState::LoggingIn);
}

void TQpCustomFtpClient::DoWsError(int32_t errCode) {
  if (State == TFtpSessionState::LoggingIn && !ControlLinked && !Retrying && TryNextAddress()) return;
  TQpCustomWinsockPort::DoWsError(errCode);
}

// Each address of the server gets its own connect time-out; true when another one is left.
bool TQpCustomFtpClient::TryNextAddress() {
  if (WsAddressTry() + 1 >= WsAddressCount()) return false;
  // One move on per failed try: its time-out, should it still come, is not another failure.
  ConnectPending = false;
  ConnectTimer->stop();
  Post({TNoteKind::NextAddress, 0, false, {}});
  return true;
}

void TQpCustomFtpClient::ConnectNextAddress() {
  if (State != TFtpSessionState::LoggingIn || ControlLinked) return;
  Retrying = true;
  try {
    SetOpen(false);
  } catch (...) {
  }
  Retrying = false;
  SetWsAddressTry(WsAddressTry() + 1);
  PostNotice("Connect failed; trying the server's address " + std::to_string(WsAddressTry() + 1) + " of " +
             std::to_string(WsAddressCount()));
  if (ConnectTimeout > 0) {
    ConnectPending = true;
    ConnectTimer->start(ConnectTimeout * host::kMsPerTick);
  }
  try {
    SetOpen(true);
  } catch (const std::exception&) {
    if (!Open()) ChangeState(TFtpSessionState::Closed);
  }
}

void TQpCustomFtpClient::DoWsDisconnect() {
  if (Retrying) return;
  if (!ClosingByUs && State != TFtpSessionState::Closed) NoteLostConnection();
  ConnectPending = false;
  ConnectTimer->stop();
  UnregisterTriggerHandler();
  if (ReplyPacket) ReplyPacket->SetEnabled(false);
  ChangeState(TFtpSessionState::Closed);
}

// --- transfer time-out ----------------------------------------------------------------------

void TQpCustomFtpClient::RegisterTriggerHandler() {
  port::TQpBaseDispatcher* d = CurrentDispatcher();
  if (!d) return;
  d->RegisterMethodHandler(this, [this](uint32_t msg, uintptr_t w, intptr_t l) { TriggerMessage(msg, w, l); });
  TriggerHandlerRegistered = true;
}

void TQpCustomFtpClient::UnregisterTriggerHandler() {
  if (port::TQpBaseDispatcher* d = CurrentDispatcher(); d && TriggerHandlerRegistered) d->DeregisterMethodHandler(this);
  TriggerHandlerRegistered = false;
}

void TQpCustomFtpClient::StartTransferTimer() {
  port::TQpBaseDispatcher* d = CurrentDispatcher();
  if (TimerTrigger && d) {
    d->SetTimerTrigger(TimerTrigger, 0, false);
    d->RemoveTrigger(TimerTrigger);
  }
  TimerTrigger = 0;
  if (TransferTimeout > 0 && d) {
    if (!TriggerHandlerRegistered) RegisterTriggerHandler();
    int handle = d->AddTimerTrigger();
    if (handle > 0) {
      TimerTrigger = handle;
      d->SetTimerTrigger(handle, static_cast<uint32_t>(TransferTimeout), true);
    }
  }
}

void TQpCustomFtpClient::RearmTransferTimer() {
  port::TQpBaseDispatcher* d = CurrentDispatcher();
  if (TimerTrigger && d && TransferTimeout >= 1) d->SetTimerTrigger(TimerTrigger, static_cast<uint32_t>(TransferTimeout), true);
}

void TQpCustomFtpClient::StopTransferTimer() {
  port::TQpBaseDispatcher* d = CurrentDispatcher();
  if (TimerTrigger && d) {
    d->SetTimerTrigger(TimerTrigger, 0, false);
    d->RemoveTrigger(TimerTrigger);
  }
  TimerTrigger = 0;
}

void TQpCustomFtpClient::TriggerMessage(uint32_t msg, uintptr_t, intptr_t l) {
  // Runs inside the dispatcher's delivery: only stop the timer and post.
  if (msg != port::kQpMsgTriggerTimer || TimerTrigger == 0) return;
  if (port::TQpCustomComPort::TriggerDataOf(l) != static_cast<uint16_t>(TimerTrigger)) return;
  StopTransferTimer();
  if (State != TFtpSessionState::Ready) Post({TNoteKind::Timeout, fsTimeout, false, {}});
}

}  // namespace quodra::ftp
