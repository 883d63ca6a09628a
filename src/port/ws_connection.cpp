#include "port/ws_connection.h"

#include <algorithm>
#include <cstring>

#include "port/qp_dispatch_log.h"

namespace quodra::port {

TWsConnection::TWsConnection(TQpSocket& sockets, TWsDispatcherLink* dispatcher, bool client, bool telnet,
                             uint32_t inSize, uint32_t outSize, int family)
    : Sockets(sockets), Link(dispatcher), IsClient(client), IsTelnet(telnet) {
  In.assign(std::max<uint32_t>(inSize, 1), 0);
  Out.assign(size_t(outSize) + kOutputRingExtra, 0);
  Filter.OnSend = [this](const uint8_t* bytes, size_t count) { SendRaw(bytes, count); };
  Filter.OnLog = [this](uint8_t subtype, uint32_t data, const uint8_t* payload, uint32_t length) {
    if (Link) Link->WsLog(ltTelnet, subtype, data, payload, length);
  };
  Own = Sockets.CreateSocket(family);
}

TWsConnection::~TWsConnection() {
  try {
    Close();
  } catch (...) {
    // Closing while the socket layer is unusable: nothing more can be done.
  }
}

uint32_t TWsConnection::InUsed() const {
  if (InFull) return static_cast<uint32_t>(In.size());
  return static_cast<uint32_t>((InReceive + In.size() - InRead) % In.size());
}

uint32_t TWsConnection::OutUsed() const {
  if (OutFull) return static_cast<uint32_t>(Out.size());
  return static_cast<uint32_t>((OutWrite + Out.size() - OutSend) % Out.size());
}

uint32_t TWsConnection::OutPending() const { return OutUsed(); }

void TWsConnection::Receive() {
  TSocket s = DataSocket();
  if (s == kInvalidSocket || !IsConnected) return;
  if (TlsLayer) {
    ReceiveTls();
    return;
  }
  const uint32_t size = static_cast<uint32_t>(In.size());
  // At most two pieces: up to the end of the ring, then from its start.
  for (int piece = 0; piece < 2 && !InFull; ++piece) {
    uint32_t room = InReceive >= InRead ? size - InReceive : InRead - InReceive;
    if (room == 0) break;
    int n = Sockets.Recv(s, In.data() + InReceive, static_cast<int>(room));
    if (n <= 0) break;
    InReceive = (InReceive + static_cast<uint32_t>(n)) % size;
    if (InReceive == InRead) InFull = true;
    if (static_cast<uint32_t>(n) < room) break;  // the socket is drained
  }
}

int TWsConnection::Read(uint8_t* buffer, uint32_t count) {
  Receive();
  if (count == 0 || !buffer) return 0;
  const uint32_t size = static_cast<uint32_t>(In.size());
  uint32_t copied = 0;
  if (!IsTelnet) {
    uint32_t want = std::min(count, InUsed());
    while (copied < want) {
      uint32_t piece = std::min(want - copied, size - InRead);
      std::memcpy(buffer + copied, In.data() + InRead, piece);
      copied += piece;
      InRead = (InRead + piece) % size;
      InFull = false;
    }
    return static_cast<int>(copied);
  }
  // Every raw byte yields at most one data byte, so the caller's buffer cannot overflow; a
  // sequence cut off at the end stays in the filter's state until its rest arrives.
  while (copied < count && InUsed() > 0) {
    uint8_t raw = In[InRead];
    InRead = (InRead + 1) % size;
    InFull = false;
    uint8_t data;
    if (Filter.Feed(raw, data)) buffer[copied++] = data;
  }
  return static_cast<int>(copied);
}

int TWsConnection::Write(const uint8_t* data, uint32_t count) {
  if (!data || count == 0) {
    PushOutput();
    return 0;
  }
  const uint32_t size = static_cast<uint32_t>(Out.size());
  uint32_t taken = 0;
  if (IsTelnet && Filter.NeedsTransform(data, count)) {
    // Transform into a scratch buffer as large as the free room, then copy that into the ring.
    std::vector<uint8_t> scratch(std::min<size_t>(size_t(count) * 2, size - OutUsed()));
    size_t produced = 0;
    taken = static_cast<uint32_t>(Filter.Transform(data, count, scratch.data(), scratch.size(), produced));
    for (size_t done = 0; done < produced;) {
      size_t piece = std::min<size_t>(produced - done, size - OutWrite);
      std::memcpy(Out.data() + OutWrite, scratch.data() + done, piece);
      done += piece;
      OutWrite = static_cast<uint32_t>((OutWrite + piece) % size);
    }
    if (produced && OutWrite == OutSend) OutFull = true;
  } else {
    uint32_t want = std::min(count, size - OutUsed());
    while (taken < want) {
      uint32_t piece = std::min(want - taken, size - OutWrite);
      std::memcpy(Out.data() + OutWrite, data + taken, piece);
      taken += piece;
      OutWrite = (OutWrite + piece) % size;
      if (OutWrite == OutSend) OutFull = true;
    }
  }
  Written += taken;
  PushOutput();
  return static_cast<int>(taken);
}

void TWsConnection::SendRaw(const uint8_t* bytes, size_t count) {
  const uint32_t size = static_cast<uint32_t>(Out.size());
  // A reply is queued whole or not at all, so the peer never sees half a command.
  if (count > size - OutUsed()) return;
  for (size_t i = 0; i < count; ++i) {
    Out[OutWrite] = bytes[i];
    OutWrite = (OutWrite + 1) % size;
  }
  if (count && OutWrite == OutSend) OutFull = true;
  PushOutput();
}

// The pending bytes as one contiguous run: where the ring wraps they are copied out, so
// that a command never leaves in two pieces (a server may not take a line whose CR and LF
// arrive apart).
const uint8_t* TWsConnection::PendingRun(uint32_t& count) {
  const uint32_t size = static_cast<uint32_t>(Out.size());
  count = OutUsed();
  if (count <= size - OutSend) return Out.data() + OutSend;
  const uint32_t first = size - OutSend;
  Gather.resize(count);
  std::memcpy(Gather.data(), Out.data() + OutSend, first);
  std::memcpy(Gather.data() + first, Out.data(), count - first);
  return Gather.data();
}

void TWsConnection::PushOutput() {
  TSocket s = DataSocket();
  if (s == kInvalidSocket || !IsConnected) return;
  if (TlsLayer) {
    PushTls();
    return;
  }
  const uint32_t size = static_cast<uint32_t>(Out.size());
  if (OutUsed() == 0) return;
  uint32_t run = 0;
  const uint8_t* bytes = PendingRun(run);
  int n = Sockets.Send(s, bytes, static_cast<int>(run));
  if (n <= 0) return;  // the socket takes nothing now: its write notice brings us back
  OutSend = (OutSend + static_cast<uint32_t>(n)) % size;
  OutFull = false;
}

uint32_t TWsConnection::InCount() {
  Receive();
  return InUsed();
}

uint32_t TWsConnection::OutCount() {
  if (IsConnected && OutUsed() == 0) {
    Written = 0;
    return 0;
  }
  PushOutput();
  return Written;
}

void TWsConnection::FlushInput() {
  InRead = InReceive = 0;
  InFull = false;
}

void TWsConnection::FlushOutput() {
  OutWrite = OutSend = 0;
  OutFull = false;
}

void TWsConnection::SetConnected(bool connected) {
  IsConnected = connected;
  if (Link) Link->WsSetConnected(connected);
}

void TWsConnection::StartTls(std::unique_ptr<TTlsChannel> channel) {
  TlsLayer = std::move(channel);
  TlsFailureReported = false;
  SendTlsOutput();
  CheckTls();
}

void TWsConnection::ReceiveTls() {
  TSocket s = DataSocket();
  uint8_t raw[16384];
  for (;;) {
    int n = Sockets.Recv(s, raw, static_cast<int>(sizeof raw));
    if (n == 0) TlsLayer->FeedEnd();
    if (n <= 0) break;
    TlsLayer->Feed(raw, static_cast<size_t>(n));
    if (static_cast<size_t>(n) < sizeof raw) break;  // the socket is drained
  }
  SendTlsOutput();  // handshake answers
  const uint32_t size = static_cast<uint32_t>(In.size());
  while (!InFull) {
    uint32_t room = InReceive >= InRead ? size - InReceive : InRead - InReceive;
    if (room == 0) break;
    int n = TlsLayer->Read(In.data() + InReceive, room);
    if (n <= 0) break;
    InReceive = (InReceive + static_cast<uint32_t>(n)) % size;
    if (InReceive == InRead) InFull = true;
  }
  SendTlsOutput();
  // Written while the handshake ran: it can go now.
  if (TlsLayer->Open() && OutUsed() > 0) PushTls();
  CheckTls();
}

void TWsConnection::PushTls() {
  const uint32_t size = static_cast<uint32_t>(Out.size());
  // One record for everything pending: a command is never split across records.
  while (OutUsed() > 0 && TlsLayer->Open()) {
    uint32_t run = 0;
    const uint8_t* bytes = PendingRun(run);
    int n = TlsLayer->Write(bytes, run);
    if (n <= 0) break;
    OutSend = (OutSend + static_cast<uint32_t>(n)) % size;
    OutFull = false;
  }
  SendTlsOutput();
  CheckTls();
}

void TWsConnection::SendTlsOutput() {
  if (TlsLayer) TlsLayer->SendPending(Sockets, DataSocket());
}

void TWsConnection::CheckTls() {
  if (!TlsLayer || TlsFailureReported || !TlsLayer->Failed()) return;
  TlsFailureReported = true;
  if (OnTlsFailure) OnTlsFailure(TlsLayer->FailureText());
}

void TWsConnection::Close() {
  if (TlsLayer && IsConnected && TlsLayer->Open()) {
    TlsLayer->Close();
    SendTlsOutput();
  }
  if (!IsClient && Peer != kInvalidSocket && Peer != Own) Sockets.CloseSocket(Peer);
  Peer = kInvalidSocket;
  if (Own != kInvalidSocket) {
    TSocket s = Own;
    Own = kInvalidSocket;
    Sockets.CloseSocket(s);
  }
  IsConnected = false;
}

}  // namespace quodra::port
