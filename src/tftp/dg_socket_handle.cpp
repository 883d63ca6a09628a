#include "dg_socket_handle.h"

#include <sys/socket.h>

#include "dg_exception.h"
#include "host/winsock_errors.h"

namespace quodra::tftp {

TDgSocketHandle::~TDgSocketHandle() { CloseSocket(); }

void TDgSocketHandle::AllocateSocket(int type, int protocol) {
  CloseSocket();
  TDgStackSocketHandle s = GStack->WSSocket(AF_INET, type, protocol);
  if (s == kDgInvalidSocket) throw EDgInvalidSocket();
  Handle = s;
  HandleAllocated = true;
}

void TDgSocketHandle::CloseSocket(bool shutdownFirst) {
  if (!HandleAllocated) return;
  TDgStackSocketHandle s = Handle;
  // Marked closed first, so that a failure below never leaves a stale handle behind.
  Reset(false);
  if (shutdownFirst) GStack->WSShutdown(s, SHUT_WR);
  GStack->WSCloseSocket(s);
}

void TDgSocketHandle::Reset(bool resetLocal) {
  HandleAllocated = false;
  Handle = kDgInvalidSocket;
  if (resetLocal) {
    IP.clear();
    Port = 0;
  }
  PeerIP.clear();
  PeerPort = 0;
}

void TDgSocketHandle::SendTo(const std::string& ip, int port, const void* buffer, int length) {
  int sent = GStack->WSSendTo(Handle, buffer, length, 0, ip, port);
  if (sent == kDgSocketError) {
    if (GStack->WSGetLastError() == host::kWsaEMSGSIZE) throw EDgPackageSizeTooBig();
    GStack->CheckForSocketError(sent);
  }
  if (sent != length) throw EDgNotAllBytesSent();
}

bool TDgSocketHandle::Readable(int timeoutMs) { return WaitReadable(timeoutMs, -1) == TWaitEnd::Datagram; }

TDgSocketHandle::TWaitEnd TDgSocketHandle::WaitReadable(int timeoutMs, int wakeFd) {
  if (!HandleAllocated) throw EDgConnClosedGracefully();
  switch (GStack->WSWaitReadable(Handle, wakeFd, timeoutMs)) {
    case 1:
      return TWaitEnd::Datagram;
    case 2:
      return TWaitEnd::Woken;
    default:
      return TWaitEnd::Nothing;
  }
}

int TDgSocketHandle::RecvFrom(void* buffer, int length, int flags, std::string& ip, int& port) {
  return GStack->WSRecvFrom(Handle, buffer, length, flags, ip, port);
}

void TDgSocketHandle::SetSockOpt(int level, int option, const void* value, int length) {
  GStack->CheckForSocketError(GStack->WSSetSockOpt(Handle, level, option, value, length));
}

}  // namespace quodra::tftp
