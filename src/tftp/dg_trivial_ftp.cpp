#include "dg_trivial_ftp.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <QPointer>
#include <algorithm>
#include <charconv>
#include <exception>

#include "dg_exception.h"
#include "final_ack_keeper.h"
#include "host/clock.h"
#include "host/text_util.h"
#include "host/winsock_errors.h"
#include "tftp_packet.h"

namespace quodra::tftp {

// The largest datagram IPv4 carries: every datagram is received whole, so that a stranger's
// cannot fail the receive before its sender is looked at.
constexpr int kMaxDatagram = 65536;
// ReceiveFromPeer's answer for a wait that WakeFd ended.
constexpr int kWokenWait = -2;

struct TDgTrivialFTP::TTransfer {
  QPointer<TDgTrivialFTP> Alive;  // cleared when an event handler frees the component
  uint64_t Generation = 0;        // the binding's socket of this transfer
  std::string ServerIP;           // the server's address in its one canonical form
  bool PeerKnown = false;
  bool DataStarted = false;
  bool AskedSize = false;
  bool NetAscii = false;
  bool PendingCR = false;         // netascii: a CR ended the previous block
  bool KeptElsewhere = false;     // a keeper process answers on the socket after the end
  int Window = 1;                 // blocks the server sends per acknowledgement
  std::string Converted;          // netascii: a block with its line ends made local
};

TDgTrivialFTP::TDgTrivialFTP(QObject* owner) : TDgUDPClient(owner) {
  Port = 69;
  ReceiveTimeout = 4000;
}

const char* TDgTrivialFTP::ModeWord(TDgTFTPMode mode) { return mode == tfNetAscii ? "netascii" : "octet"; }

void TDgTrivialFTP::Get(const std::string& serverFile, const std::string& localFile) {
  TDgFileStream file(localFile);
  Get(serverFile, file);
  file.Close();
}

void TDgTrivialFTP::Get(const std::string& serverFile, TDgStream& destination) {
  TTransfer t;
  t.Alive = this;
  std::exception_ptr failure;
  try {
    BeginWork(wmRead, 0);
    CheckAlive(t);
    Download(serverFile, destination, t);
  } catch (...) {
    failure = std::current_exception();
  }
  if (t.Alive) {
    try {
      EndWork(wmRead);
    } catch (...) {
      if (!failure) failure = std::current_exception();
    }
  }
  // The binding stays; the next transfer opens a new socket with a new local port. A socket
  // a keeper process still answers on is only closed here: a shutdown would reach its copy.
  if (t.Alive) CloseBindingSocket(!t.KeptElsewhere);
  if (failure) std::rethrow_exception(failure);
}

void TDgTrivialFTP::Download(const std::string& serverFile, TDgStream& destination, TTransfer& t) {
  BufferSize = kTftpHeaderSize + kTftpDefaultBlockSize;
  PeerIP.clear();
  PeerPort = 0;
  TransferSize = -1;
  // Replies come from the numeric address whatever form the host text had (127.1, 2130706433).
  uint8_t addr[4];
  TDgStack::TranslateStringToTInAddr(GStack->ResolveHost(Host), addr);
  t.ServerIP = TDgStack::TranslateTInAddrToString(addr);
  t.NetAscii = TransferMode == tfNetAscii;
  t.AskedSize = RequestTransferSize;
  const int window = std::clamp(RequestedWindowSize, 1, kTftpMaxWindowSize);
  if (window > 1) {
    // A whole window may be queued while the previous one is written. Each datagram costs
    // the buffer its size and about a kilobyte of bookkeeping; never go below the default
    // (a smaller value would lower it), the system caps what is too large.
    int bytes = std::max(window * (std::max(RequestedBlockSize, kTftpDefaultBlockSize) + 1024) * 2, 256 * 1024);
    GStack->WSSetSockOpt(GetBinding().Handle, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof(bytes));
  }
  SendBuffer(t.ServerIP, Port,
             TftpReadRequest(serverFile, ModeWord(TransferMode), RequestedBlockSize, window, t.AskedSize));
  t.Generation = BindingGeneration();

  uint16_t lastBlock = 0;  // the last block written in order; the first expected is 1
  int64_t blocks = 0;
  int64_t total = 0;       // data bytes received (before any line-end conversion)
  int unacked = 0;         // blocks written since the last acknowledgement
  // A window with a gap or a repeat is answered once with the last block in order; the
  // server resends from there, and the rest of the stale window must not add more answers.
  enum { kNone, kForRepeat, kForGap } stalled = kNone;
  bool finished = false;
  for (;;) {
    const int n = ReceiveFromPeer(finished ? LingerTime() : ReceiveTimeout, t);
    if (n < 0) {
      if (finished) return;  // the server did not repeat the last block (or the run stops): done
      // The run is being stopped: the transfer ends as when its socket is closed.
      if (n == kWokenWait) throw EDgConnClosedGracefully();
      throw EDgTFTPException("Timeout");
    }
    if (n < kTftpHeaderSize) RaiseUnexpected();
    const char* pkt = Buffer.data();
    switch (TftpWord(pkt, 0)) {
      case kTftpDATA: {
        const uint16_t block = TftpWord(pkt, 2);
        if (finished) {
          // The server repeated the end: our final ACK was lost.
          SendToPeer(TftpAck(lastBlock), t);
          return;
        }
        const uint16_t next = static_cast<uint16_t>(lastBlock + 1);
        // Some servers count 65535, 1, 2 ...; only lock-step tells that apart from a lost 0.
        const bool wrapsToOne = t.Window == 1 && blocks > 0 && lastBlock == 65535 && block == 1;
        if (block != next && !wrapsToOne) {
          if (t.Window == 1) {
            // A repeat of the last block: its ACK was lost. Anything else is not ours to take.
            if (block == lastBlock && blocks > 0) SendToPeer(TftpAck(lastBlock), t);
            break;
          }
          const bool gap = static_cast<uint16_t>(block - next) < 0x8000;
          if (stalled == kNone || (gap && stalled == kForRepeat)) {
            SendToPeer(TftpAck(lastBlock), t);
            stalled = gap ? kForGap : kForRepeat;
            unacked = 0;
          }
          break;
        }
        const int count = n - kTftpHeaderSize;
        const bool last = count < BufferSize - kTftpHeaderSize;
        if (t.AskedSize && TransferSize >= 0 &&
            (total + count > TransferSize || (last && total + count != TransferSize))) {
          const std::string message = "Transfer size mismatch: " + std::to_string(total + count) + " of " +
                                      std::to_string(TransferSize) + " bytes";
          FailTransfer(EDgTFTPException(message), t);
          throw EDgTFTPException(message);
        }
        // Written as it arrives: the server sends the rest of the window meanwhile, and the
        // acknowledgement that follows the window's last block waits for one block's write.
        WriteBlock(destination, pkt + kTftpHeaderSize, static_cast<size_t>(count), last, t);
        total += count;
        ++blocks;
        t.DataStarted = true;
        lastBlock = block;
        finished = last;
        stalled = kNone;
        if (!last && ++unacked < t.Window) break;
        unacked = 0;
        // Acknowledged only once written: the server must not take a failed write for a
        // delivered block. The server's next window is on its way while the progress
        // handlers run.
        if (!last) SendToPeer(TftpAck(block), t);
        Work(wmRead, total);
        CheckTransferAlive(t);
        // A handler that aborts before the end keeps the server from taking the file as delivered.
        if (last) {
          SendToPeer(TftpAck(block), t);
          // A repeat of the last block (our ACK was lost) is answered by a keeper process, so
          // the download ends now; without one, this loop lingers for it itself.
          if (LingerApart && KeepAnsweringLastBlock(GetBinding().Handle, PeerAddress(), block, LingerTime())) {
            t.KeptElsewhere = true;
            return;
          }
        }
        break;
      }
      case kTftpERROR: {
        std::string text;
        size_t next = 0;
        if (!TftpText(pkt, static_cast<size_t>(n), 4, text, next)) RaiseUnexpected();
        RaiseTftpError(TftpWord(pkt, 2), text);
      }
      case kTftpOACK:
        // Once data flows the options are settled; a late copy changes and answers nothing
        // (an ACK 0 would make a windowed server start over).
        if (t.DataStarted) break;
        AcceptOptionAck(n, t);
        SendToPeer(TftpAck(0), t);
        break;
      default:
        RaiseUnexpected();
    }
  }
}

void TDgTrivialFTP::WriteBlock(TDgStream& destination, const char* data, size_t count, bool last, TTransfer& t) {
  try {
    if (t.NetAscii) {
      ConvertNetAscii(data, count, last, t);
      data = t.Converted.data();
      count = t.Converted.size();
    }
    destination.WriteBuffer(data, count);
    if (last) destination.Flush();
  } catch (const std::exception& e) {
    FailTransfer(e, t);
    throw;
  }
}

void TDgTrivialFTP::ConvertNetAscii(const char* data, size_t count, bool last, TTransfer& t) {
  // netascii ends lines with CR LF and sends a lone CR as CR NUL; a CR may end a block.
  std::string& out = t.Converted;
  out.clear();  // the capacity stays
  for (size_t i = 0; i < count; ++i) {
    const char c = data[i];
    if (t.PendingCR) {
      t.PendingCR = false;
      if (c == '\n' || c == '\0') {
        out.push_back(c == '\n' ? '\n' : '\r');
        continue;
      }
      out.push_back('\r');
    }
    if (c == '\r')
      t.PendingCR = true;
    else
      out.push_back(c);
  }
  if (last && t.PendingCR) out.push_back('\r');
}

void TDgTrivialFTP::FailTransfer(const std::exception& e, const TTransfer& t) {
  try {
    SendToPeer(TftpError(static_cast<uint16_t>(TftpErrorCodeOf(e)), e.what()), t);
  } catch (const EDgException&) {
    // The failure itself is the error to report.
  }
}

void TDgTrivialFTP::RefuseOption(const std::string& message, TTransfer& t) {
  FailTransfer(EDgTFTPOptionNegotiationFailed(message), t);
  throw EDgTFTPOptionNegotiationFailed(message);
}

namespace {

// A decimal number (an optional '+', then digits only); false otherwise or when too large.
bool ParseOptionNumber(const std::string& value, int64_t& out) {
  const char* first = value.data();
  const char* last = value.data() + value.size();
  if (first != last && *first == '+') ++first;
  if (first == last) return false;
  auto [end, ec] = std::from_chars(first, last, out);
  return ec == std::errc() && end == last;
}

}  // namespace

void TDgTrivialFTP::AcceptOptionAck(int size, TTransfer& t) {
  const char* pkt = Buffer.data();
  const size_t length = static_cast<size_t>(size);
  int blockSize = kTftpDefaultBlockSize;
  int window = 1;
  int64_t transferSize = -1;
  size_t next = 2;
  if (next >= length) RaiseUnexpected();
  while (next < length) {
    std::string name, value;
    // Every pair must be complete.
    if (!TftpText(pkt, length, next, name, next) || !TftpText(pkt, length, next, value, next)) RaiseUnexpected();
    int64_t number = 0;
    const bool isNumber = ParseOptionNumber(value, number);
    if (host::EqualsNoCase(name, "blksize")) {
      if (!isNumber) {
        FailTransfer(EDgTFTPOptionNegotiationFailed("Invalid blksize value " + value), t);
        throw EConvertError(value);
      }
      // The server may lower the size it was offered, never raise it.
      if (number < kTftpMinBlockSize || number > std::min(RequestedBlockSize, kTftpMaxBlockSize))
        RefuseOption("Invalid blksize value " + value, t);
      blockSize = static_cast<int>(number);
    } else if (host::EqualsNoCase(name, "windowsize") && RequestedWindowSize > 1) {
      if (!isNumber || number < 1 || number > std::min(RequestedWindowSize, kTftpMaxWindowSize))
        RefuseOption("Invalid windowsize value " + value, t);
      window = static_cast<int>(number);
    } else if (host::EqualsNoCase(name, "tsize") && t.AskedSize) {
      if (!isNumber || number < 0) RefuseOption("Invalid tsize value " + value, t);
      transferSize = number;
    }
    // Options not asked for are ignored.
  }
  BufferSize = blockSize + kTftpHeaderSize;
  t.Window = window;
  TransferSize = transferSize;
}

int TDgTrivialFTP::ReceiveFromPeer(int waitMs, TTransfer& t) {
  const int64_t deadline = waitMs < 0 ? -1 : host::NowMs() + waitMs;
  for (;;) {
    CheckTransferAlive(t);
    const int remaining =
        deadline < 0 ? DgTimeoutInfinite : static_cast<int>(std::max<int64_t>(0, deadline - host::NowMs()));
    if (Buffer.size() < static_cast<size_t>(kMaxDatagram)) Buffer.resize(static_cast<size_t>(kMaxDatagram));
    std::string ip;
    int port = 0;
    const int n = ReceiveBuffer(Buffer.data(), kMaxDatagram, ip, port, remaining);
    if (ip.empty()) {
      PeerIP.clear();
      PeerPort = 0;
      return Woken() ? kWokenWait : -1;
    }
    // The server answers from a port of its own (its transfer identifier); from then on
    // only that address and port belong to the transfer.
    const bool fromPeer = t.PeerKnown ? (ip == PeerIP && port == PeerPort) : ip == t.ServerIP;
    if (fromPeer) {
      PeerIP = ip;
      PeerPort = port;
      t.PeerKnown = true;
      // The peer's datagram does not fit the negotiated block: as if the buffer were that size.
      if (n > BufferSize) GStack->RaiseSocketError(host::kWsaEMSGSIZE);
      return n;
    }
    RejectForeign(ip, port);
  }
}

void TDgTrivialFTP::CheckAlive(const TTransfer& t) {
  // An event handler freed the component: nothing of it may be touched any more.
  if (!t.Alive) throw EDgConnClosedGracefully();
}

void TDgTrivialFTP::CheckTransferAlive(const TTransfer& t) {
  CheckAlive(t);
  // An event handler closed or replaced the socket (for example by starting another
  // transfer): this transfer cannot go on.
  const TDgTrivialFTP* self = t.Alive.data();
  if (self->BindingGeneration() != t.Generation || !self->Active()) throw EDgConnClosedGracefully();
}

void TDgTrivialFTP::SendToPeer(const std::string& packet, const TTransfer& t) {
  CheckTransferAlive(t);
  Binding()->SendTo(PeerIP, PeerPort, packet.data(), static_cast<int>(packet.size()));
}

void TDgTrivialFTP::RejectForeign(const std::string& ip, int port) {
  const std::string packet = TftpError(5, "Unknown transfer ID");
  try {
    Binding()->SendTo(ip, port, packet.data(), static_cast<int>(packet.size()));
  } catch (const EDgException&) {
    // A reply a stranger cannot take is no reason to end our transfer.
  }
}

void TDgTrivialFTP::RaiseUnexpected() {
  throw EDgTFTPException("Unexpected operation from " + Host + ":" + std::to_string(Port));
}

sockaddr_in TDgTrivialFTP::PeerAddress() const {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(PeerPort));
  ::inet_pton(AF_INET, PeerIP.c_str(), &a.sin_addr);
  return a;
}

int TDgTrivialFTP::LingerTime() const {
  // A negative time-out means "no limit", which must not hold a finished download.
  return ReceiveTimeout < 0 ? 500 : std::min(500, ReceiveTimeout);
}

}  // namespace quodra::tftp
