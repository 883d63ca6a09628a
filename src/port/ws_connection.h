#pragma once
// TWsConnection: one socket port's connection, owned by the process-wide TQpDeviceSocket.
// It holds the socket, an input ring (received, not yet read bytes), an output ring (bytes
// waiting to be sent) and the Telnet state. The socket dispatcher reads and writes through it;
// the connection tells the dispatcher about socket events through TWsDispatcherLink.
#include <netinet/in.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "port/qp_socket.h"
#include "port/telnet_filter.h"
#include "port/tls_channel.h"

namespace quodra::port {

inline constexpr uint32_t kOutputRingExtra = 4096;  // room for the Telnet expansion

// Port events carried by the socket message from the socket layer to the port.
enum : uint32_t {
  weAccept = 8,             // w = 8, answer: true to keep the connection
  weConnect = 16,
  weClose = 32,             // the remote end closed the connection
  weAcceptedClose = 48,     // an accepted connection closed
  // any other value: a socket error code
};

// What a connection needs from the dispatcher that uses it. Each call may run any port code.
class TWsDispatcherLink {
 public:
  virtual ~TWsDispatcherLink() = default;
  // The socket became readable: run a dispatch pass.
  virtual void WsReadable() {}
  // Tell the port a socket event (weAccept ... or an error code) and answer its result. The
  // dispatcher counts as delivering an event meanwhile, so a close asked for by the port's
  // handlers finishes later.
  virtual intptr_t WsTellPort(uint32_t event, intptr_t param) { return 0; }
  // The connection became connected (modem status bit 0x80) or not.
  virtual void WsSetConnected(bool connected) {}
  // The remote end went away: forget its address.
  virtual void WsClearRemoteAddress() {}
  // A dispatch log entry (Telnet negotiation).
  virtual void WsLog(uint8_t type, uint8_t subtype, uint32_t data, const void* payload, uint32_t length) {}
};

class TWsConnection {
 public:
  // Made by TQpDeviceSocket::CreateConnection: creates the socket (raises EQpSocketException
  // when it cannot).
  TWsConnection(TQpSocket& sockets, TWsDispatcherLink* dispatcher, bool client, bool telnet,
                uint32_t inSize, uint32_t outSize, int family = AF_INET);
  ~TWsConnection();
  TWsConnection(const TWsConnection&) = delete;
  TWsConnection& operator=(const TWsConnection&) = delete;

  TSocket OwnSocket() const { return Own; }
  TSocket PeerSocket() const { return Peer; }
  void SetPeerSocket(TSocket s) { Peer = s; }
  bool Client() const { return IsClient; }
  bool Telnet() const { return IsTelnet; }
  bool Connected() const { return IsConnected; }
  TWsDispatcherLink* Dispatcher() const { return Link; }
  void SetDispatcher(TWsDispatcherLink* link) { Link = link; }

  // Receives what the socket holds into the input ring, then hands out up to `count` data
  // bytes (after the Telnet filter on a Telnet connection). Answers the bytes copied; a count
  // of 0 only receives.
  int Read(uint8_t* buffer, uint32_t count);
  // Takes up to `count` bytes into the output ring (Telnet transform on a Telnet connection)
  // and sends what the socket accepts. Answers the caller's bytes taken.
  int Write(const uint8_t* data, uint32_t count);
  // Bytes received and not yet read, Telnet commands included (receives first).
  uint32_t InCount();
  // Bytes accepted by Write and not yet confirmed sent: 0 once the output ring is empty on a
  // connected socket, otherwise pending output is pushed and the written count answered.
  uint32_t OutCount();
  // Bytes actually waiting in the output ring.
  uint32_t OutPending() const;
  void FlushInput();
  void FlushOutput();
  void SetConnected(bool connected);
  // Server mode: closes the peer socket; then the own socket. Safe to call twice.
  void Close();

  // Puts TLS between the socket and the rings (its handshake starts now): from here on the
  // rings, the Telnet filter and whatever reads and writes them see the plain bytes. What is
  // written before the handshake has finished waits in the output ring. A failure of the
  // channel is reported once through OnTlsFailure; the connection then moves no more bytes.
  void StartTls(std::unique_ptr<TTlsChannel> channel);
  TTlsChannel* Tls() const { return TlsLayer.get(); }
  std::function<void(const std::string& text)> OnTlsFailure;

  TTelnetFilter& TelnetState() { return Filter; }
  uint32_t InSize() const { return static_cast<uint32_t>(In.size()); }
  uint32_t OutSize() const { return static_cast<uint32_t>(Out.size()); }

 private:
  TSocket DataSocket() const { return IsClient ? Own : Peer; }
  void Receive();
  void PushOutput();
  void ReceiveTls();
  void PushTls();
  void SendTlsOutput();
  void CheckTls();
  const uint8_t* PendingRun(uint32_t& count);
  void SendRaw(const uint8_t* bytes, size_t count);  // Telnet replies: straight into the output ring
  uint32_t InUsed() const;
  uint32_t OutUsed() const;

  TQpSocket& Sockets;
  TWsDispatcherLink* Link = nullptr;
  TSocket Own = kInvalidSocket;
  TSocket Peer = kInvalidSocket;
  bool IsClient = true;
  bool IsTelnet = true;
  bool IsConnected = false;

  std::vector<uint8_t> In;
  uint32_t InRead = 0;     // next byte to hand out
  uint32_t InReceive = 0;  // next free byte
  bool InFull = false;

  std::vector<uint8_t> Out;
  uint32_t OutWrite = 0;  // next free byte
  uint32_t OutSend = 0;   // next byte to send
  bool OutFull = false;
  uint32_t Written = 0;
  std::vector<uint8_t> Gather;  // pending bytes across the ring's end, in one piece

  TTelnetFilter Filter;
  std::unique_ptr<TTlsChannel> TlsLayer;
  bool TlsFailureReported = false;
};

}  // namespace quodra::port
