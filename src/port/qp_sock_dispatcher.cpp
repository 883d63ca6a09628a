#include "port/qp_sock_dispatcher.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include "host/winsock_errors.h"
#include "port/qp_device_socket.h"
#include "port/qp_except.h"
#include "port/qp_port.h"

namespace quodra::port {

TQpWinsockDispatcher::TQpWinsockDispatcher(TQpCustomComPort* owner) : TQpBaseDispatcher(owner) {
  SetDeviceName("Winsock");
  Remote.ss_family = AF_INET;
  Local.ss_family = AF_INET;
}

TQpWinsockDispatcher::~TQpWinsockDispatcher() {
  // The base destructor cannot reach the device any more.
  Stop();
  if (Conn) CloseDevice();
}

TQpWinsockDispatcher* TQpWinsockDispatcher::FindBySocket(int socket) {
  return dynamic_cast<TQpWinsockDispatcher*>(FindByDevice(socket));
}

void TQpWinsockDispatcher::SetSocketData(uint32_t address, uint16_t port, bool client, bool telnet) {
  sockaddr_storage remote{};
  auto& in = reinterpret_cast<sockaddr_in&>(remote);
  in.sin_family = AF_INET;
  in.sin_port = port;
  in.sin_addr.s_addr = address;
  SetSocketAddress(remote, client, telnet);
}

void TQpWinsockDispatcher::SetSocketAddress(const sockaddr_storage& remote, bool client, bool telnet) {
  Remote = remote;
  // The local end: any address of the same family; a server listens on the remote's port.
  Local = sockaddr_storage{};
  Local.ss_family = remote.ss_family;
  TQpSocket::SetPort(Local, client ? 0 : TQpSocket::PortOf(remote));
  IsClient = client;
  IsTelnet = telnet;
}

void TQpWinsockDispatcher::ClearRemoteAddress() {
  sa_family_t family = Remote.ss_family;
  Remote = sockaddr_storage{};
  Remote.ss_family = family;
}

int TQpWinsockDispatcher::OpenSocket(uint32_t inSize, uint32_t outSize) {
  TQpDeviceSocket& sockets = TQpDeviceSocket::Instance();
  try {
    Conn = sockets.CreateConnection(this, IsClient, IsTelnet, inSize, outSize, Remote.ss_family);
  } catch (const EQpSocketException& e) {
    Conn = nullptr;
    int code = e.ErrorCode() != 0 ? e.ErrorCode() : sockets.LastError();
    return code > 0 ? -code : code;
  }
  SetDeviceHandle(Conn->OwnSocket());
  int err = SetupDevice();
  if (err != 0) {
    CloseDevice();
    return err > 0 ? -err : err;
  }
  FinishOpen(Conn->OwnSocket(), inSize, outSize);
  return 0;
}

int TQpWinsockDispatcher::SetupDevice() {
  TQpDeviceSocket& sockets = TQpDeviceSocket::Instance();
  const TSocket s = Conn->OwnSocket();
  auto lastError = [&sockets] {
    int e = sockets.LastError();
    return e != 0 ? e : static_cast<int>(host::kWsaEINVAL);
  };
  int one = 1;
  if (sockets.SetSockOpt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) == kSocketError) return lastError();
  // Commands are short and each waits for its answer: none may sit waiting for the
  // acknowledgement of the one before.
  if (IsClient && sockets.SetSockOpt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) == kSocketError)
    return lastError();
  if (sockets.Bind(s, Local) == kSocketError) return lastError();
  if (!Conn) return host::kWsaENOTSOCK;  // an error report closed the port meanwhile
  if (sockets.AsyncSelect(s, fdAllEvents) == kSocketError) return lastError();
  if (IsClient) {
    if (sockets.Connect(s, Remote) == kSocketError) {
      int e = lastError();
      if (e != host::kWsaEWOULDBLOCK) return e;
    }
  } else {
    if (sockets.Listen(s, 5) == kSocketError) {
      int e = lastError();
      if (e != host::kWsaEWOULDBLOCK) return e;
    }
  }
  return 0;
}

intptr_t TQpWinsockDispatcher::WsTellPort(uint32_t event, intptr_t param) {
  TQpCustomComPort* port = Owner();
  if (!port) return 0;
  std::shared_ptr<bool> alive = AliveToken();
  BeginExternalEvent();
  intptr_t answer = 0;
  try {
    answer = port->SocketEvent(event, param);
  } catch (...) {
    if (*alive) EndExternalEvent();
    throw;
  }
  if (*alive) EndExternalEvent();
  return answer;
}

int TQpWinsockDispatcher::FlushDevice(int queue) {
  if (!Conn) return 0;
  if (queue == 0)
    Conn->FlushOutput();
  else
    Conn->FlushInput();
  return 0;
}

int TQpWinsockDispatcher::ReadDeviceStatus(TQpDeviceStatus& status) {
  if (!Conn) {
    status = TQpDeviceStatus{};
    return LastError;
  }
  status.InCount = Conn->InCount();
  status.OutCount = Conn->OutCount();
  return LastError;
}

int TQpWinsockDispatcher::ReadDevice(uint8_t* buffer, uint32_t count) {
  if (!Conn) return 0;
  return Conn->Read(buffer, count);
}

int TQpWinsockDispatcher::WriteDevice(const uint8_t* data, uint32_t count) {
  if (!Conn) return 0;
  return Conn->Write(data, count);
}

void TQpWinsockDispatcher::CloseDevice() {
  if (!Conn) return;
  TWsConnection* c = Conn;
  Conn = nullptr;
  SetDeviceHandle(-1);
  TQpDeviceSocket::Instance().CloseConnection(c);
}

}  // namespace quodra::port
