#pragma once
// The socket dispatcher: a dispatcher whose device is one TWsConnection of the socket layer.
// It sets the socket up (address reuse, bind, readiness notification, connect or listen),
// reads and writes through the connection, and is the socket layer's way to the port.
#include <cstdint>
#include <netinet/in.h>

#include "port/qp_dispatcher.h"
#include "port/ws_connection.h"

namespace quodra::port {

class TQpWinsockDispatcher : public TQpBaseDispatcher, public TWsDispatcherLink {
 public:
  explicit TQpWinsockDispatcher(TQpCustomComPort* owner);
  ~TQpWinsockDispatcher() override;

  // Stored for the next OpenSocket. Address and port in network byte order.
  void SetSocketData(uint32_t address, uint16_t port, bool client, bool telnet);
  // The same for an IPv4 or IPv6 address (its port set, host order inside).
  void SetSocketAddress(const sockaddr_storage& remote, bool client, bool telnet);
  // Creates the connection and starts connecting (client) or listening (server).
  // 0, or the socket error negated; the device is closed again on failure.
  int OpenSocket(uint32_t inSize, uint32_t outSize);

  TWsConnection* Connection() const { return Conn; }
  bool Client() const { return IsClient; }
  bool Telnet() const { return IsTelnet; }
  const sockaddr_storage& RemoteAddress() const { return Remote; }
  void ClearRemoteAddress();

  // The socket dispatcher whose device is `socket`; nullptr when none.
  static TQpWinsockDispatcher* FindBySocket(int socket);

  // --- what the connection calls (TWsDispatcherLink) --------------------------------------
  // The socket became readable: run a pass (never nested).
  void WsReadable() override { Dispatch(); }
  // Tells the port of a socket event (8 accept, 16 connect, 32 close, 48 peer close, or a
  // socket error code) and answers the port's answer. The dispatcher counts as delivering
  // an event meanwhile, so a port closed from the handler finishes closing afterwards.
  intptr_t WsTellPort(uint32_t event, intptr_t param) override;
  void WsSetConnected(bool connected) override { SetModemStatusBits(0x80, connected); }
  void WsClearRemoteAddress() override { ClearRemoteAddress(); }
  void WsLog(uint8_t type, uint8_t subtype, uint32_t data, const void* payload, uint32_t length) override {
    AddDispatchEntry(type, subtype, data, payload, length);
  }

 protected:
  int FlushDevice(int queue) override;
  int ReadDeviceStatus(TQpDeviceStatus& status) override;
  int ReadDevice(uint8_t* buffer, uint32_t count) override;
  int WriteDevice(const uint8_t* data, uint32_t count) override;
  void CloseDevice() override;

 private:
  int SetupDevice();

  TWsConnection* Conn = nullptr;
  sockaddr_storage Remote{};
  sockaddr_storage Local{};
  bool IsClient = true;
  bool IsTelnet = true;
  int LastError = 0;
};

}  // namespace quodra::port
