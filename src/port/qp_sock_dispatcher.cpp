#include "port/qp_sock_dispatcher.h"

#include <sys/socket.h>

#include "host/winsock_errors.h"
#include "port/qp_device_socket.h"
#include "port/qp_except.h"
#include "port/qp_port.h"

namespace quodra::port {

TQpWinsockDispatcher::TQpWinsockDispatcher(TQpCustomComPort* owner) : TQpBaseDispatcher(owner) {
  SetDeviceName("Winsock");
  Remote.sin_family = AF_INET;
  Local.sin_family = AF_INET;
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
  Remote = sockaddr_in{};
  Remote.sin_family = AF_INET;
  Remote.sin_port = port;
  Remote.sin_addr.s_addr = address;
  Local = sockaddr_in{};
  Local.sin_family = AF_INET;
  Local.sin_port = client ? 0 : port;
  Local.sin_addr.s_addr = 0;
  IsClient = client;
  IsTelnet = telnet;
}

void TQpWinsockDispatcher::ClearRemoteAddress() {
  Remote = sockaddr_in{};
  Remote.sin_family = AF_INET;
}

int TQpWinsockDispatcher::OpenSocket(uint32_t inSize, uint32_t outSize) {
  TQpDeviceSocket& sockets = TQpDeviceSocket::Instance();
  try {
    Conn = sockets.CreateConnection(this, IsClient, IsTelnet, inSize, outSize);
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
