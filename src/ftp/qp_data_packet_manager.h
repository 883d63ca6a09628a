#pragma once
// TQpDataPacketManager: one per port that has data packets. It reads every byte the port's
// dispatcher announces, keeps the bytes that some packet may still want, and lets the packets
// scan them; at most one packet owns (collects) the data at a time. Managers are created by
// the first packet attached to a port and free themselves (later, from the event loop) when
// the last one leaves.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "port/qp_port.h"
#include "port/qp_port_component.h"

namespace quodra::ftp {

class TQpDataPacket;

class TQpDataPacketManager : public port::TQpBaseComponent {
 public:
  // The manager of `port`; with `create`, one is made when there is none.
  static TQpDataPacketManager* ForPort(port::TQpCustomComPort* port, bool create);
  // Managers alive in the process.
  static size_t ManagerCount();

  ~TQpDataPacketManager() override;

  port::TQpCustomComPort* Port() const { return PortRef; }
  bool Enabled() const { return IsEnabled; }
  bool Suspended() const { return IsSuspended; }
  TQpDataPacket* OwnerPacket() const { return Owner; }
  const std::vector<TQpDataPacket*>& Packets() const { return PacketList; }
  // Bytes held for the packets, and the room reserved for them.
  size_t BufferCount() const { return Buf.size(); }
  size_t BufferCapacity() const { return Buf.capacity(); }
  int TimerHandle() const { return TimerTrigger; }

 protected:
  void Notification(port::TQpBaseComponent* component, port::TOperation operation) override;

 private:
  friend class TQpDataPacket;

  explicit TQpDataPacketManager(port::TQpCustomComPort* port);

  void AddPacket(TQpDataPacket* packet);
  void RemovePacket(TQpDataPacket* packet);
  void PortEvent(port::TPortUserEvent event);
  void Enable();
  void Disable();
  void TriggerMessage(uint32_t msg, uintptr_t wParam, intptr_t lParam);
  void DataAvailable(uint32_t count);
  void Process(size_t from);
  void ProcessOnce(size_t from);
  void Suspend();
  void Resume();
  void TakeOwnership(TQpDataPacket* packet);
  void ReleaseOwnership(TQpDataPacket* packet);
  void ArmTimer(int ticks);
  void DisarmTimer();
  void Timeout();
  void DiscardBuffer();
  void ConsumeFront(size_t count);
  bool AnyPartialStart() const;
  void ScheduleFree();
  void TryFree();
  port::TQpBaseDispatcher* Dispatcher() const;

  port::TQpCustomComPort* PortRef = nullptr;
  std::vector<TQpDataPacket*> PacketList;
  std::string Buf;
  uint64_t BufGeneration = 0;  // changes whenever bytes leave the buffer
  TQpDataPacket* Owner = nullptr;
  int TimerTrigger = 0;
  bool IsEnabled = false;
  bool IsSuspended = false;
  bool PendingProcess = false;
  size_t PendingFrom = 0;
  bool Processing = false;
  bool Destroying = false;
  bool FreeScheduled = false;
  std::shared_ptr<bool> Alive;
};

}  // namespace quodra::ftp
