#include "dg_udp_base.h"

#include <sys/socket.h>

#include <algorithm>

#include "dg_exception.h"
#include "host/winsock_errors.h"

namespace quodra::tftp {

TDgUDPBase::TDgUDPBase(QObject* owner) : TDgComponent(owner) {}

TDgUDPBase::~TDgUDPBase() { BindingHandle.reset(); }

bool TDgUDPBase::Active() const { return BindingHandle && BindingHandle->HandleAllocated; }

void TDgUDPBase::SetActive(bool value) {
  if (value)
    GetBinding();
  else
    CloseBinding();
}

void TDgUDPBase::SetBroadcastEnabled(bool value) {
  if (Broadcast == value) return;
  Broadcast = value;
  if (Active()) ApplyBroadcast();
}

void TDgUDPBase::ApplyBroadcast() {
  int value = Broadcast ? -1 : 0;
  BindingHandle->SetSockOpt(SOL_SOCKET, SO_BROADCAST, &value, sizeof(value));
}

TDgSocketHandle& TDgUDPBase::GetBinding() {
  if (!BindingHandle) BindingHandle = std::make_unique<TDgSocketHandle>();
  if (!BindingHandle->HandleAllocated) {
    BindingHandle->AllocateSocket(SOCK_DGRAM, 0);
    ++Generation;
    ApplyBroadcast();
  }
  return *BindingHandle;
}

void TDgUDPBase::CloseBinding() {
  if (!BindingHandle) return;
  ++Generation;
  BindingHandle.reset();
}

void TDgUDPBase::CloseBindingSocket(bool shutdownFirst) {
  if (!BindingHandle || !BindingHandle->HandleAllocated) return;
  ++Generation;
  BindingHandle->CloseSocket(shutdownFirst);
}

void TDgUDPBase::SendBuffer(const std::string& host, int port, const void* buffer, int length) {
  std::string ip = GStack->ResolveHost(host);
  GetBinding().SendTo(ip, port, buffer, length);
}

void TDgUDPBase::SendBuffer(const std::string& host, int port, const std::string& bytes) {
  SendBuffer(host, port, bytes.data(), static_cast<int>(bytes.size()));
}

int TDgUDPBase::ReceiveBuffer(void* buffer, int length, std::string& peerIP, int& peerPort, int timeoutMs) {
  if (timeoutMs == DgTimeoutDefault) timeoutMs = ReceiveTimeout;
  TDgSocketHandle& binding = GetBinding();
  LastWaitWoken = false;
  if (timeoutMs > 0) {
    // The wait is in the receive itself: one call per datagram.
    const int n = GStack->WSRecvFromWithin(binding.Handle, buffer, length, peerIP, peerPort, timeoutMs, WakeFd, WakeFlag);
    if (n != kDgSocketError) return n;
    switch (GStack->WSGetLastError()) {
      case host::kWsaEINTR:
        LastWaitWoken = true;
        break;
      case host::kWsaETIMEDOUT:
        break;
      default:
        GStack->CheckForSocketError(n);
    }
    peerIP.clear();
    peerPort = 0;
    return 0;
  }
  if (timeoutMs == 0) {
    // Only a datagram queued already.
    const int queued = binding.RecvFrom(buffer, length, MSG_DONTWAIT, peerIP, peerPort);
    if (queued != kDgSocketError) return queued;
    if (GStack->WSGetLastError() != host::kWsaEWOULDBLOCK) GStack->CheckForSocketError(queued);
  } else {
    // Without limit: the wait watches the wake descriptor (if any) beside the socket.
    switch (binding.WaitReadable(timeoutMs, WakeFd)) {
      case TDgSocketHandle::TWaitEnd::Datagram:
        return GStack->CheckForSocketError(binding.RecvFrom(buffer, length, 0, peerIP, peerPort));
      case TDgSocketHandle::TWaitEnd::Woken:
        LastWaitWoken = true;
        break;
      case TDgSocketHandle::TWaitEnd::Nothing:
        break;
    }
  }
  peerIP.clear();
  peerPort = 0;
  return 0;
}

std::string TDgUDPBase::ReceiveString(std::string& peerIP, int& peerPort, int timeoutMs) {
  std::string buffer(static_cast<size_t>(std::max(BufferSize, 0)), '\0');
  int n = ReceiveBuffer(buffer.data(), static_cast<int>(buffer.size()), peerIP, peerPort, timeoutMs);
  buffer.resize(static_cast<size_t>(n));
  return buffer;
}

}  // namespace quodra::tftp
