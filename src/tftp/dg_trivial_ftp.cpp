#include "dg_trivial_ftp.h"

#include <QPointer>
#include <charconv>
#include <exception>

#include "dg_exception.h"
#include "host/clock.h"
#include "host/text_util.h"
#include "tftp_packet.h"

namespace quodra::tftp {

struct TDgTrivialFTP::TTransfer {
  QPointer<TDgTrivialFTP> Alive;  // cleared when an event handler frees the component
  uint64_t Generation = 0;        // the binding's socket of this transfer
  std::string ServerIP;
  bool PeerKnown = false;
  bool DataStarted = false;
};

TDgTrivialFTP::TDgTrivialFTP(QObject* owner) : TDgUDPClient(owner) {
  Port = 69;
  ReceiveTimeout = 4000;
}

const char* TDgTrivialFTP::ModeWord(TDgTFTPMode mode) { return mode == tfNetAscii ? "netascii" : "octet"; }

void TDgTrivialFTP::Get(const std::string& serverFile, const std::string& localFile) {
  TDgFileStream file(localFile);
  Get(serverFile, file);
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
  // The binding stays; the next transfer opens a new socket with a new local port.
  if (t.Alive) CloseBindingSocket();
  if (failure) std::rethrow_exception(failure);
}

void TDgTrivialFTP::Download(const std::string& serverFile, TDgStream& destination, TTransfer& t) {
  BufferSize = kTftpHeaderSize + kTftpDefaultBlockSize;
  PeerIP.clear();
  PeerPort = 0;
  t.ServerIP = GStack->ResolveHost(Host);
  SendBuffer(t.ServerIP, Port, TftpReadRequest(serverFile, ModeWord(TransferMode), RequestedBlockSize));
  t.Generation = BindingGeneration();

  int64_t lastBlock = -1;
  int64_t total = 0;
  bool finished = false;
  for (;;) {
    const int n = ReceiveFromPeer(finished ? LingerTime() : ReceiveTimeout, t);
    if (n < 0) {
      if (!finished) throw EDgTFTPException("Timeout");
      return;  // the server did not repeat the last block: done
    }
    if (n < kTftpHeaderSize) RaiseUnexpected();
    const char* pkt = Buffer.data();
    switch (TftpWord(pkt, 0)) {
      case kTftpDATA: {
        const uint16_t block = TftpWord(pkt, 2);
        if (finished) {
          // The server repeated the last block: our final ACK was lost.
          SendToPeer(TftpAck(block), t);
          return;
        }
        if ((block == 0 || block == 1) && lastBlock == 65535) lastBlock = -1;  // wrapped
        if (block <= lastBlock) {
          SendToPeer(TftpAck(block), t);  // a repeat: acknowledged again, not written
          break;
        }
        const int count = n - kTftpHeaderSize;
        const bool last = count < BufferSize - kTftpHeaderSize;
        // A full block is acknowledged first, so that the server fetches the next one while
        // this one is written and reported. The last block is acknowledged only once it is
        // written: the server must not take a failed write for a delivered file.
        if (!last) SendToPeer(TftpAck(block), t);
        try {
          destination.WriteBuffer(pkt + kTftpHeaderSize, static_cast<size_t>(count));
        } catch (const std::exception& e) {
          try {
            SendToPeer(TftpError(static_cast<uint16_t>(TftpErrorCodeOf(e)), e.what()), t);
          } catch (const EDgException&) {
            // The write failure is the error to report.
          }
          throw;
        }
        total += count;
        t.DataStarted = true;
        lastBlock = block;
        finished = last;
        Work(wmRead, total);
        CheckTransferAlive(t);
        if (last) SendToPeer(TftpAck(block), t);
        break;
      }
      case kTftpERROR: {
        std::string text;
        size_t next = 0;
        if (!TftpText(pkt, static_cast<size_t>(n), 4, text, next)) RaiseUnexpected();
        RaiseTftpError(TftpWord(pkt, 2), text);
      }
      case kTftpOACK:
        AcceptOptionAck(n, t);
        SendToPeer(TftpAck(0), t);
        break;
      default:
        RaiseUnexpected();
    }
  }
}

void TDgTrivialFTP::AcceptOptionAck(int size, TTransfer& t) {
  const char* pkt = Buffer.data();
  std::string name, value;
  size_t next = 0;
  // Only the first option is examined, but it must be complete.
  if (!TftpText(pkt, static_cast<size_t>(size), 2, name, next) ||
      !TftpText(pkt, static_cast<size_t>(size), next, value, next))
    RaiseUnexpected();
  if (!host::EqualsNoCase(name, "blksize")) return;
  // Once data flows the block size is settled; a late copy of the OACK changes nothing.
  if (t.DataStarted) return;
  int blockSize = 0;
  const char* first = value.data();
  const char* last = value.data() + value.size();
  if (first != last && *first == '+') ++first;
  auto [end, ec] = std::from_chars(first, last, blockSize);
  if (value.empty() || ec != std::errc() || end != last) throw EConvertError(value);
  if (blockSize < 1 || blockSize > kTftpMaxBlockSize) {
    // A size that cannot be received; refuse it rather than run with a broken buffer.
    const std::string message = "Invalid blksize value " + value;
    try {
      SendToPeer(TftpError(8, message), t);
    } catch (const EDgException&) {
    }
    throw EDgTFTPOptionNegotiationFailed(message);
  }
  BufferSize = blockSize + kTftpHeaderSize;
}

int TDgTrivialFTP::ReceiveFromPeer(int waitMs, TTransfer& t) {
  const int64_t deadline = waitMs < 0 ? -1 : host::NowMs() + waitMs;
  for (;;) {
    CheckTransferAlive(t);
    const int remaining =
        deadline < 0 ? DgTimeoutInfinite : static_cast<int>(std::max<int64_t>(0, deadline - host::NowMs()));
    if (Buffer.size() < static_cast<size_t>(BufferSize)) Buffer.resize(static_cast<size_t>(BufferSize));
    std::string ip;
    int port = 0;
    const int n = ReceiveBuffer(Buffer.data(), BufferSize, ip, port, remaining);
    if (ip.empty()) {
      PeerIP.clear();
      PeerPort = 0;
      return -1;
    }
    // The server answers from a port of its own (its transfer identifier); from then on
    // only that address and port belong to the transfer.
    const bool fromPeer = t.PeerKnown ? (ip == PeerIP && port == PeerPort) : ip == t.ServerIP;
    if (fromPeer) {
      PeerIP = ip;
      PeerPort = port;
      t.PeerKnown = true;
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

int TDgTrivialFTP::LingerTime() const {
  // A negative time-out means "no limit", which must not hold a finished download.
  return ReceiveTimeout < 0 ? 500 : std::min(500, ReceiveTimeout);
}

}  // namespace quodra::tftp
