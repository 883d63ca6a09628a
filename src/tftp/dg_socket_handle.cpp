#include "dg_socket_handle.h"

#include <sys/socket.h>
#include <sys/time.h>

#include <algorithm>
#include <vector>

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
  ReceiveTimeoutMs = -1;
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

bool TDgSocketHandle::Readable(int timeoutMs) {
  if (!HandleAllocated) throw EDgConnClosedGracefully();
  std::vector<TDgStackSocketHandle> readList{Handle};
  return GStack->WSSelect(&readList, nullptr, nullptr, timeoutMs) == 1;
}

TDgSocketHandle::TWaitEnd TDgSocketHandle::WaitReadable(int timeoutMs, int wakeFd) {
  if (!HandleAllocated) throw EDgConnClosedGracefully();
  std::vector<TDgStackSocketHandle> readList{Handle, wakeFd};
  if (GStack->WSSelect(&readList, nullptr, nullptr, timeoutMs) <= 0) return TWaitEnd::Nothing;
  if (std::find(readList.begin(), readList.end(), wakeFd) != readList.end()) return TWaitEnd::Woken;
  return TWaitEnd::Datagram;
}

int TDgSocketHandle::RecvFrom(void* buffer, int length, int flags, std::string& ip, int& port) {
  return GStack->WSRecvFrom(Handle, buffer, length, flags, ip, port);
}

int TDgSocketHandle::RecvFromWithin(void* buffer, int length, int timeoutMs, std::string& ip, int& port) {
  if (!HandleAllocated) throw EDgConnClosedGracefully();
  // The receive time-out is set only when it changes: a transfer waits with the same one for
  // every datagram, and a datagram costs one call.
  const int wanted = timeoutMs < 0 ? 0 : std::max(timeoutMs, 1);  // SO_RCVTIMEO 0: no limit
  if (wanted != ReceiveTimeoutMs) {
    timeval tv{wanted / 1000, (wanted % 1000) * 1000};
    SetSockOpt(SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    ReceiveTimeoutMs = wanted;
  }
  return RecvFrom(buffer, length, 0, ip, port);
}

void TDgSocketHandle::SetSockOpt(int level, int option, const void* value, int length) {
  GStack->CheckForSocketError(GStack->WSSetSockOpt(Handle, level, option, value, length));
}

}  // namespace quodra::tftp
