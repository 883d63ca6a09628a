#include "ftp/qp_data_packet_manager.h"

#include <QTimer>
#include <algorithm>

#include "ftp/qp_data_packet.h"
#include "port/qp_dispatcher.h"

namespace quodra::ftp {

using port::TQpBaseComponent;
using port::TQpCustomComPort;

namespace {

constexpr size_t kGrowStep = 8192;
constexpr int kFreeRetryMs = 10;

// The process-wide list of managers; whatever is left at the end of the process is freed.
struct TManagerList {
  std::vector<TQpDataPacketManager*> Items;
  ~TManagerList() {
    while (!Items.empty()) {
      TQpDataPacketManager* m = Items.back();
      delete m;  // removes itself from Items
      if (!Items.empty() && Items.back() == m) Items.pop_back();
    }
  }
};

TManagerList& Managers() {
  static TManagerList list;
  return list;
}

}  // namespace

TQpDataPacketManager* TQpDataPacketManager::ForPort(TQpCustomComPort* port, bool create) {
  if (!port) return nullptr;
  for (TQpDataPacketManager* m : Managers().Items)
    if (m->PortRef == port && !m->Destroying) return m;
  if (!create) return nullptr;
  return new TQpDataPacketManager(port);
}

size_t TQpDataPacketManager::ManagerCount() { return Managers().Items.size(); }

TQpDataPacketManager::TQpDataPacketManager(TQpCustomComPort* port)
    : TQpBaseComponent(nullptr), PortRef(port), Alive(std::make_shared<bool>(true)) {
  Managers().Items.push_back(this);
  FreeNotification(port);
  port->RegisterUserCallbackEx(
      this, [this](TQpCustomComPort*, port::TPortUserEvent event) { PortEvent(event); }, true);
  if (port->Open() && !port->IsClosing() && !port->Loading() && !port->Designing()) Enable();
}

TQpDataPacketManager::~TQpDataPacketManager() {
  Destroying = true;
  *Alive = false;
  auto& items = Managers().Items;
  items.erase(std::remove(items.begin(), items.end(), this), items.end());
  if (PortRef) {
    Disable();
    PortRef->DeregisterUserCallback(this);
    RemoveFreeNotification(PortRef);
    PortRef = nullptr;
  }
  for (TQpDataPacket* p : PacketList) p->Manager = nullptr;
  PacketList.clear();
  std::string().swap(Buf);
}

port::TQpBaseDispatcher* TQpDataPacketManager::Dispatcher() const {
  return PortRef ? PortRef->CurrentDispatcher() : nullptr;
}

// --- packets coming and going ---------------------------------------------------------------

void TQpDataPacketManager::AddPacket(TQpDataPacket* packet) {
  if (std::find(PacketList.begin(), PacketList.end(), packet) == PacketList.end()) PacketList.push_back(packet);
}

void TQpDataPacketManager::RemovePacket(TQpDataPacket* packet) {
  if (Owner == packet) {
    DisarmTimer();
    Owner = nullptr;
  }
  PacketList.erase(std::remove(PacketList.begin(), PacketList.end(), packet), PacketList.end());
  if (PacketList.empty() && !Destroying) ScheduleFree();
}

void TQpDataPacketManager::ScheduleFree() {
  if (FreeScheduled) return;
  FreeScheduled = true;
  std::weak_ptr<bool> alive = Alive;
  QTimer::singleShot(0, [this, alive] {
    if (auto a = alive.lock(); a && *a) TryFree();
  });
}

void TQpDataPacketManager::TryFree() {
  FreeScheduled = false;
  // A packet that joined meanwhile keeps the manager.
  if (!PacketList.empty()) return;
  if (IsSuspended || Processing) {
    FreeScheduled = true;
    std::weak_ptr<bool> alive = Alive;
    QTimer::singleShot(kFreeRetryMs, [this, alive] {
      if (auto a = alive.lock(); a && *a) TryFree();
    });
    return;
  }
  delete this;
}

void TQpDataPacketManager::Notification(TQpBaseComponent* component, port::TOperation operation) {
  if (operation != port::opRemove || component != PortRef) return;
  // The port is going away: let go of it without calling into it any further than needed.
  Disable();
  PortRef->DeregisterUserCallback(this);
  PortRef = nullptr;
  std::vector<TQpDataPacket*> packets = PacketList;
  for (TQpDataPacket* p : packets) p->SetComPort(nullptr);
  if (PacketList.empty()) ScheduleFree();
}

// --- enabling with the port -----------------------------------------------------------------

void TQpDataPacketManager::PortEvent(port::TPortUserEvent event) {
  if (event == port::peOpen)
    Enable();
  else
    Disable();
}

void TQpDataPacketManager::Enable() {
  if (IsEnabled) return;
  port::TQpBaseDispatcher* d = Dispatcher();
  if (!d) return;
  std::weak_ptr<bool> alive = Alive;
  d->RegisterMethodHandler(this, [this, alive](uint32_t msg, uintptr_t w, intptr_t l) {
    if (auto a = alive.lock(); a && *a) TriggerMessage(msg, w, l);
  });
  int h = d->AddTimerTrigger();
  TimerTrigger = h > 0 ? h : 0;
  IsEnabled = true;
  std::vector<TQpDataPacket*> packets = PacketList;
  for (TQpDataPacket* p : packets) {
    if (std::find(PacketList.begin(), PacketList.end(), p) == PacketList.end()) continue;
    if (!p->EnabledProp) continue;
    try {
      p->Start();
    } catch (...) {
      p->EnabledProp = false;
    }
  }
}

void TQpDataPacketManager::Disable() {
  // Bytes go first, so that a packet that lets go of the data finds nothing to hand on.
  DiscardBuffer();
  bool wasSuspended = IsSuspended;
  IsSuspended = true;
  std::vector<TQpDataPacket*> packets = PacketList;
  for (TQpDataPacket* p : packets)
    if (std::find(PacketList.begin(), PacketList.end(), p) != PacketList.end()) p->Stop();
  IsSuspended = wasSuspended;
  PendingProcess = false;
  Owner = nullptr;
  if (port::TQpBaseDispatcher* d = Dispatcher()) {
    if (TimerTrigger > 0) d->RemoveTrigger(TimerTrigger);
    d->DeregisterMethodHandler(this);
  }
  TimerTrigger = 0;
  IsEnabled = false;
}

// --- intake ---------------------------------------------------------------------------------

void TQpDataPacketManager::TriggerMessage(uint32_t msg, uintptr_t, intptr_t lParam) {
  const uint16_t data = TQpCustomComPort::TriggerDataOf(lParam);
  if (msg == port::kQpMsgTriggerAvail) {
    DataAvailable(data);
  } else if (msg == port::kQpMsgTriggerTimer) {
    if (TimerTrigger > 0 && data == static_cast<uint16_t>(TimerTrigger) && Owner) Timeout();
  }
}

void TQpDataPacketManager::DataAvailable(uint32_t count) {
  port::TQpBaseDispatcher* d = Dispatcher();
  if (!d || !IsEnabled) return;
  count = std::min(count, d->InBuffUsed());
  if (count == 0) return;
  const size_t held = Buf.size();
  // Grow in whole steps until everything announced fits.
  if (held + count > Buf.capacity()) {
    size_t cap = Buf.capacity();
    while (cap < held + count) cap += kGrowStep;
    Buf.reserve(cap);
  }
  Buf.resize(held + count);
  if (d->GetBlock(Buf.data() + held, count) < 0) {
    Buf.resize(held);
    return;
  }
  Process(held);
}

void TQpDataPacketManager::Process(size_t from) {
  if (IsSuspended || Processing) {
    // Carried out when the suspension ends, or by the processing loop already running.
    PendingFrom = PendingProcess ? std::min(PendingFrom, from) : from;
    PendingProcess = true;
    return;
  }
  std::shared_ptr<bool> alive = Alive;
  Processing = true;
  try {
    for (;;) {
      ProcessOnce(from);
      if (!*alive) return;
      if (!PendingProcess || IsSuspended) break;
      PendingProcess = false;
      from = PendingFrom;
    }
  } catch (...) {
    if (*alive) Processing = false;
    throw;
  }
  Processing = false;
}

void TQpDataPacketManager::ProcessOnce(size_t from) {
  if (Buf.empty()) return;
  if (Owner) {
    Owner->Scan(from);
    return;
  }
  std::shared_ptr<bool> alive = Alive;
  const uint64_t generation = BufGeneration;
  for (size_t k = 0; k < PacketList.size(); ++k) {
    PacketList[k]->Scan(from);
    if (!*alive) return;
    if (Owner || BufGeneration != generation || Buf.empty()) break;
  }
  // Bytes that no packet waits for are dropped.
  if (!Owner && BufGeneration == generation && !AnyPartialStart()) DiscardBuffer();
}

bool TQpDataPacketManager::AnyPartialStart() const {
  return std::any_of(PacketList.begin(), PacketList.end(), [](const TQpDataPacket* p) { return p->HasPartialStart(); });
}

void TQpDataPacketManager::DiscardBuffer() {
  if (Buf.empty() && Buf.capacity() == 0) return;
  std::string().swap(Buf);
  ++BufGeneration;
}

void TQpDataPacketManager::ConsumeFront(size_t count) {
  if (count == 0) return;
  if (count >= Buf.size()) {
    std::string().swap(Buf);
  } else {
    Buf.erase(0, count);
  }
  ++BufGeneration;
}

// --- suspension and ownership ---------------------------------------------------------------

void TQpDataPacketManager::Suspend() {
  IsSuspended = true;
  std::vector<TQpDataPacket*> packets = PacketList;
  for (TQpDataPacket* p : packets)
    if (p->EnabledProp && std::find(PacketList.begin(), PacketList.end(), p) != PacketList.end()) p->Stop();
}

void TQpDataPacketManager::Resume() {
  IsSuspended = false;
  if (IsEnabled) {
    std::vector<TQpDataPacket*> packets = PacketList;
    for (TQpDataPacket* p : packets) {
      if (std::find(PacketList.begin(), PacketList.end(), p) == PacketList.end()) continue;
      p->EnablePending = false;
      if (!p->EnabledProp) continue;
      try {
        p->Start();
      } catch (...) {
        p->EnabledProp = false;  // its settings were changed to something it cannot run with
      }
    }
  }
  if (PendingProcess && !Processing && !IsSuspended) {
    PendingProcess = false;
    Process(PendingFrom);
  }
}

void TQpDataPacketManager::TakeOwnership(TQpDataPacket* packet) {
  Owner = packet;
  if (packet->TimeOutProp != 0) {
    ArmTimer(packet->TimeOutProp);
    packet->OwnsTimer = true;
  }
  // Everyone else starts afresh: their partial matches are void now.
  std::vector<TQpDataPacket*> packets = PacketList;
  for (TQpDataPacket* p : packets) {
    if (p == packet || !p->EnabledProp) continue;
    if (std::find(PacketList.begin(), PacketList.end(), p) == PacketList.end()) continue;
    p->Stop();
    try {
      p->Start();
    } catch (...) {
      p->EnabledProp = false;
    }
  }
}

void TQpDataPacketManager::ReleaseOwnership(TQpDataPacket* packet) {
  if (packet->OwnsTimer) {
    DisarmTimer();
    packet->OwnsTimer = false;
  }
  Owner = nullptr;
  Process(0);
}

void TQpDataPacketManager::ArmTimer(int ticks) {
  port::TQpBaseDispatcher* d = Dispatcher();
  if (d && TimerTrigger > 0 && ticks > 0) d->SetTimerTrigger(TimerTrigger, static_cast<uint32_t>(ticks), true);
}

void TQpDataPacketManager::DisarmTimer() {
  port::TQpBaseDispatcher* d = Dispatcher();
  if (d && TimerTrigger > 0) d->SetTimerTrigger(TimerTrigger, 0, false);
}

void TQpDataPacketManager::Timeout() {
  TQpDataPacket* packet = Owner;
  if (!packet) return;
  std::shared_ptr<bool> alive = Alive;
  Suspend();
  try {
    packet->TimeoutExpired();
  } catch (...) {
    if (*alive) {
      DiscardBuffer();
      Resume();
    }
    throw;
  }
  if (!*alive) return;
  DiscardBuffer();
  Resume();
}

}  // namespace quodra::ftp
