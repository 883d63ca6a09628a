// The data side of the FTP session: listings and retrieves, active (PORT) and passive (PASV)
// data connections, the local file, progress and completion.
#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "ftp/qp_ftp_client.h"
#include "host/winsock_errors.h"
#include "port/qp_sock_dispatcher.h"
#include "port/qp_socket.h"

namespace quodra::ftp {
namespace {

// A listing bigger than this is refused rather than held: no real folder needs it, and a
// server streaming without end must not exhaust memory.
constexpr size_t kMaxListing = 64u * 1024 * 1024;

std::string ErrnoText(int err) { return std::strerror(err); }

}  // namespace

// --- operations -----------------------------------------------------------------------------

bool TQpCustomFtpClient::ListDir(const std::string& path, bool fullList) {
  if (State != TFtpSessionState::Ready || !IsSafeArgument(path)) return false;
  ChangeState(TFtpSessionState::Listing);
  PushCommand(std::string(fullList ? "LIST" : "NLST") + (path.empty() ? std::string() : " " + path));
  Listing.clear();
  Transferred = 0;
  PeerEof = false;
  // A flag left over from an earlier abort or time-out would hide this listing's errors.
  Aborting = false;
  if (PassiveMode) PushCommand("PASV");
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
  try {
    OpenLocalFile(mode);
  } catch (...) {
    Commands.clear();
    ChangeState(TFtpSessionState::Ready);
    throw;
  }
  Transferred = 0;
  Aborting = false;
  PeerEof = false;
  DataEof = false;
  RetrieveReplyOk = false;
  LocalFailed = false;
  if (PassiveMode) PushCommand("PASV");
  PushCommand(std::string("TYPE ") + (FileType == ftAscii ? "A" : "I"));
  if (DataConnect()) return true;
  Commands.clear();
  ChangeState(TFtpSessionState::Ready);
  return false;
}

void TQpCustomFtpClient::OpenLocalFile(TFtpRetrieveMode mode) {
  int flags = O_CREAT | O_CLOEXEC | (mode == rmReplace ? O_WRONLY : O_RDWR);
  int fd = ::open(LocalName.c_str(), flags, 0666);
  if (fd < 0) {
    int err = errno;
    throw EFtpLocalFile("Cannot open file \"" + LocalName + "\". " + ErrnoText(err));
  }
  off_t pos = 0;
  if (mode == rmAppend) {
    pos = ::lseek(fd, 0, SEEK_END);
  } else if (mode != rmReplace) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) st.st_size = 0;
    if (RestartAt > st.st_size || RestartAt < 0) RestartAt = st.st_size;
    pos = ::lseek(fd, static_cast<off_t>(RestartAt), SEEK_SET);
  }
  if (pos < 0) {
    int err = errno;
    ::close(fd);
    throw EFtpLocalFile("Cannot open file \"" + LocalName + "\". " + ErrnoText(err));
  }
  LocalFd = fd;
  TruncateLocal = mode == rmReplace;
  if (mode == rmAppend || mode == rmReplace) {
    PostLog(lgDownload);
  } else {
    PushCommand("REST " + std::to_string(RestartAt));
    PostLog(lgRestart);
  }
}

// --- setting up the data connection ---------------------------------------------------------

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
  DataSocket = DataSocketObj->CreateSocket();
  if (DataSocket == port::kInvalidSocket) return false;
  // The connect is started by the 227 reply; its failure arrives as an error notification.
  DataSocketObj->AsyncSelect(DataSocket, port::fdRead | port::fdConnect | port::fdClose);
  SendNextCommand();  // TYPE
  return true;
}

bool TQpCustomFtpClient::DataConnectActive() {
  port::TQpWinsockDispatcher* d = SocketDispatcher();
  if (!d) return false;
  // Offer the data connection on the local interface of the control connection.
  sockaddr_in local{};
  if (DataSocketObj->GetSockName(d->DeviceHandle(), &local) != 0) return false;
  if (ListenSocket == port::kInvalidSocket) ListenSocket = DataSocketObj->CreateSocket();
  if (ListenSocket == port::kInvalidSocket) return false;
  DataSocketObj->AsyncSelect(ListenSocket, port::fdAccept | port::fdClose);
  local.sin_family = AF_INET;
  local.sin_port = 0;
  if (DataSocketObj->Bind(ListenSocket, local) != 0) return false;
  if (DataSocketObj->GetSockName(ListenSocket, &local) != 0) return false;
  // Listen before PORT goes out: a server may connect as soon as it has read the command.
  if (DataSocketObj->Listen(ListenSocket, 5) != 0) return false;
  SendCommand("PORT " + PortArgument(ntohl(local.sin_addr.s_addr), ntohs(local.sin_port)));
  return true;
}

void TQpCustomFtpClient::PassiveReply() {
  TPassiveAddress address = ParsePassiveReply(Reply.Reply());
  if (DataSocket == port::kInvalidSocket) return;
  if (!address.Ok) {
    // Connecting to whatever a garbled reply yields would go to a wrong host; report it
    // like a data-connection error, with the reply for the reader.
    if (!Aborting) {
      Aborting = true;
      PostError(host::kWsaEADDRNOTAVAIL, Reply.Reply().c_str());
    }
    return;
  }
  sockaddr_in remote{};
  remote.sin_family = AF_INET;
  remote.sin_port = htons(address.Port);
  remote.sin_addr.s_addr = DataSocketObj->InetAddr(address.Host);
  DataSocketObj->Connect(DataSocket, remote);
}

// --- data socket notifications --------------------------------------------------------------

void TQpCustomFtpClient::DataAccept(int socket) {
  if (socket != ListenSocket || ListenSocket == port::kInvalidSocket) return;
  port::TSocket s = DataSocketObj->Accept(ListenSocket);
  if (s == port::kInvalidSocket) return;
  if (DataSocket != port::kInvalidSocket || (State != TFtpSessionState::Listing && State != TFtpSessionState::Retrieving)) {
    // One data connection per transfer; a stray one is refused.
    Cleaning = true;
    DataSocketObj->CloseSocket(s);
    Cleaning = false;
    return;
  }
  DataSocket = s;
  DataSocketObj->AsyncSelect(DataSocket, port::fdRead | port::fdClose);
}

void TQpCustomFtpClient::DataRead(int socket) {
  if (socket != DataSocket || DataSocket == port::kInvalidSocket) return;
  if (State != TFtpSessionState::Listing && State != TFtpSessionState::Retrieving) return;
  PeerEof = false;
  DataReceive();
  // The end of the stream may show up as a read of nothing before any close notification.
  if (PeerEof && socket == DataSocket) DataClosed(socket);
}

void TQpCustomFtpClient::DataClosed(int socket) {
  if (socket != DataSocket || DataSocket == port::kInvalidSocket) return;
  if (State == TFtpSessionState::Retrieving) {
    // Everything the server sent is in; write the rest, close socket and file, and report
    // the end only once the server has confirmed the retrieve as well.
    DataEof = true;
    DataShutdown(true);
    FinishRetrieveIfComplete();
  } else if (State == TFtpSessionState::Listing) {
    while (DataReceive() > 0) {
    }
    if (State != TFtpSessionState::Listing) return;  // failed while reading the rest
    std::string listing = std::move(Listing);
    Listing.clear();
    PostStatus(fsTextReady, listing.c_str());
  }
}

void TQpCustomFtpClient::DataError(int socket, int code) {
  if (Cleaning || Aborting) return;
  Aborting = true;
  PostError(code, nullptr);
}

// --- reading --------------------------------------------------------------------------------

ssize_t TQpCustomFtpClient::DataReceive() {
  if (DataSocket == port::kInvalidSocket) return 0;
  if (State != TFtpSessionState::Retrieving) {
    if (Aborting) return 0;
    RearmTransferTimer();  // a server that is sending is not silent
    int n = DataSocketObj->Recv(DataSocket, Block.get(), static_cast<int>(kDataBufferSize));
    if (n == 0) PeerEof = true;
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
  if (LocalFd < 0 || Aborting) return 0;
  RearmTransferTimer();
  int n = DataSocketObj->Recv(DataSocket, Block.get(), static_cast<int>(kDataBufferSize));
  if (n == 0) PeerEof = true;
  if (n <= 0) return n;
  Transferred += n;
  const char* p = Block.get();
  size_t left = static_cast<size_t>(n);
  while (left > 0) {
    ssize_t w = ::write(LocalFd, p, left);
    if (w < 0) {
      if (errno == EINTR) continue;
      LocalWriteFailed(errno);
      return -1;
    }
    p += w;
    left -= static_cast<size_t>(w);
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
  if (DataEof && RetrieveReplyOk) PostStatus(fsTransferDone, nullptr);
}

void TQpCustomFtpClient::LocalWriteFailed(int err) {
  if (LocalFailed) return;
  LocalFailed = true;
  Aborting = true;
  std::string text = "Cannot write file \"" + LocalName + "\". " + ErrnoText(err);
  if (State > TFtpSessionState::Ready) ChangeState(TFtpSessionState::Ready);
  if (!Destroying) Post({TNoteKind::Error, kFtpLocalFileError, true, text});
}

// --- closing --------------------------------------------------------------------------------

void TQpCustomFtpClient::DataShutdown(bool drain) {
  if (DataSocket != port::kInvalidSocket) {
    Cleaning = true;
    DataSocketObj->AsyncSelect(DataSocket, 0);
    DataSocketObj->Shutdown(DataSocket, SHUT_WR);
    Cleaning = false;
    if (drain && (State == TFtpSessionState::Listing || State == TFtpSessionState::Retrieving)) {
      while (DataReceive() > 0) {
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
  CloseLocalFile();
}

void TQpCustomFtpClient::CloseLocalFile() {
  if (LocalFd < 0) return;
  int fd = LocalFd;
  LocalFd = -1;
  int err = 0;
  // rmReplace: the file ends where the retrieved data end, once the retrieve has written
  // anything or the server has sent its (possibly empty) file; a refused RETR keeps it.
  if (TruncateLocal && (Transferred > 0 || DataEof)) {
    off_t end = ::lseek(fd, 0, SEEK_CUR);
    if (end >= 0 && ::ftruncate(fd, end) != 0) err = errno;
  }
  if (::close(fd) != 0 && errno != EINTR && !err) err = errno;
  TruncateLocal = false;
  if (err && State == TFtpSessionState::Retrieving) LocalWriteFailed(err);
}

}  // namespace quodra::ftp
