#pragma once
// A component that owns one datagram socket (its binding) and sends and receives single
// datagrams with time-outs.
#include <csignal>
#include <cstdint>
#include <memory>
#include <string>

#include "dg_component.h"
#include "dg_socket_handle.h"

namespace quodra::tftp {

class TDgUDPBase : public TDgComponent {
 public:
  explicit TDgUDPBase(QObject* owner = nullptr);
  ~TDgUDPBase() override;

  int BufferSize = 8192;
  int ReceiveTimeout = DgTimeoutInfinite;
  // A descriptor (or -1) whose turning readable ends a wait for a datagram at once, as
  // nothing arrived, also with datagrams queued (they stay); Woken() then tells that wait
  // from a time-out. For a stop request that must not wait for the peer.
  int WakeFd = -1;
  // Where given, a flag in memory that turns nonzero with WakeFd (a stop signal's), looked
  // at before every receive in place of the descriptor.
  const volatile sig_atomic_t* WakeFlag = nullptr;
  bool Woken() const { return LastWaitWoken; }

  // True while the binding holds an open socket. Setting it opens or frees the binding.
  bool Active() const;
  void SetActive(bool value);
  bool BroadcastEnabled() const { return Broadcast; }
  void SetBroadcastEnabled(bool value);

  // The binding, created on first use; its socket is (re)opened when closed.
  TDgSocketHandle& GetBinding();
  // The binding if one exists, without opening anything.
  TDgSocketHandle* Binding() const { return BindingHandle.get(); }
  void CloseBinding();
  // Changes whenever the binding's socket is opened, closed or freed, so that a caller
  // that ran event handlers can tell whether it still talks through the same socket.
  uint64_t BindingGeneration() const { return Generation; }

  void SendBuffer(const std::string& host, int port, const void* buffer, int length);
  void SendBuffer(const std::string& host, int port, const std::string& bytes);
  // Waits up to `timeoutMs` (DgTimeoutDefault: ReceiveTimeout) for one datagram. Nothing
  // arrived: 0, with an empty peer address and port 0.
  int ReceiveBuffer(void* buffer, int length, std::string& peerIP, int& peerPort, int timeoutMs = DgTimeoutDefault);
  // One datagram of at most BufferSize bytes.
  std::string ReceiveString(std::string& peerIP, int& peerPort, int timeoutMs = DgTimeoutDefault);

 protected:
  void CloseBindingSocket(bool shutdownFirst = true);

 private:
  void ApplyBroadcast();
  std::unique_ptr<TDgSocketHandle> BindingHandle;
  bool Broadcast = false;
  bool LastWaitWoken = false;
  uint64_t Generation = 0;
};

}  // namespace quodra::tftp
