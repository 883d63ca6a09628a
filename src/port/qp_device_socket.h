#pragma once
// TQpDeviceSocket: the one process-wide socket object of the socket ports. It owns every
// TWsConnection, finds the connection of a socket and forwards socket notifications to the
// connection's dispatcher (a read runs a dispatch pass) and to its port.
#include <memory>
#include <string>
#include <vector>

#include "port/qp_socket.h"
#include "port/ws_connection.h"

namespace quodra::port {

class TQpDeviceSocket : public TQpSocket {
 public:
  // The process-wide instance, made at first use (the Qt application must exist) and freed
  // when the application object goes away.
  static TQpDeviceSocket& Instance();

  TQpDeviceSocket();
  ~TQpDeviceSocket() override;

  std::string TerminalType = "vt100";

  // A new connection (its socket created, not yet set up) owned by this object; raises
  // EQpSocketException when no socket can be made.
  TWsConnection* CreateConnection(TWsDispatcherLink* dispatcher, bool client, bool telnet, uint32_t inSize,
                                  uint32_t outSize, int family = AF_INET);
  // Closes the connection's sockets and frees it.
  void CloseConnection(TWsConnection* connection);
  // The connection whose own or peer socket is `s`, or nullptr.
  TWsConnection* FindConnection(TSocket s);
  size_t ConnectionCount() const { return Connections.size(); }

 protected:
  void DoAccept(TSocket socket) override;
  void DoConnect(TSocket socket) override;
  void DoDisconnect(TSocket socket) override;
  void DoError(TSocket socket, int errCode) override;
  void DoRead(TSocket socket) override;
  void DoWrite(TSocket socket) override;

 private:
  intptr_t TellPort(TWsConnection* c, uint32_t event, intptr_t param);

  std::vector<std::unique_ptr<TWsConnection>> Connections;
  TSocket CacheSocket = kInvalidSocket;
  TWsConnection* CacheConnection = nullptr;
};

}  // namespace quodra::port
