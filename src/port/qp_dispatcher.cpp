#include "port/qp_dispatcher.h"

#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <exception>
#include <stdexcept>

#include "host/clock.h"
#include "host/message_target.h"
#include "port/qp_error_codes.h"
#include "port/qp_port.h"
#include "port/qp_socket.h"

namespace quodra::port {

namespace {

constexpr int kPassIntervalMs = 50;
constexpr uint32_t kDispatchWindowMsg = 2833;

// The process-wide dispatcher list; a dispatcher's slot is its index.
std::vector<TQpBaseDispatcher*>& DispatcherList() {
  static std::vector<TQpBaseDispatcher*> list;
  return list;
}
int g_CacheDevice = -1;
TQpBaseDispatcher* g_CacheDispatcher = nullptr;

bool TimerExpired(const TQpTimerTrigger& t, uint32_t now) {
  if (now > t.ExpiryTick) return true;
  // The tick counter wrapped since the timer was set.
  return now < t.StartTick && static_cast<uint64_t>(now) + kQpMaxTimerTicks > t.ExpiryTick;
}

// An exception must not unwind through the event loop: it goes to the socket layer's
// reporting hook (standard error by default).
void ReportHandlerException(const std::exception& e) {
  if (TQpSocket::UnhandledException) {
    TQpSocket::UnhandledException(e);
  } else {
    std::fprintf(stderr, "Unhandled exception in a port handler: %s\n", e.what());
  }
}

uint8_t Upper(uint8_t b) { return (b >= 'a' && b <= 'z') ? static_cast<uint8_t>(b - 32) : b; }

}  // namespace

// --- construction ---------------------------------------------------------------------------

TQpBaseDispatcher::TQpBaseDispatcher(TQpCustomComPort* owner)
    : OwnerPort(owner), Alive(std::make_shared<bool>(true)) {
  auto& list = DispatcherList();
  auto empty = std::find(list.begin(), list.end(), nullptr);
  if (empty != list.end()) {
    *empty = this;
    ListIndex = static_cast<int>(empty - list.begin());
  } else {
    list.push_back(this);
    ListIndex = static_cast<int>(list.size() - 1);
  }
}

TQpBaseDispatcher::~TQpBaseDispatcher() {
  *Alive = false;
  Stop();
  auto& list = DispatcherList();
  if (ListIndex >= 0 && ListIndex < static_cast<int>(list.size()) && list[ListIndex] == this) list[ListIndex] = nullptr;
  while (!list.empty() && list.back() == nullptr) list.pop_back();
  if (g_CacheDispatcher == this) {
    g_CacheDispatcher = nullptr;
    g_CacheDevice = -1;
  }
}

TQpBaseDispatcher* TQpBaseDispatcher::FromIndex(int index) {
  auto& list = DispatcherList();
  if (index < 0 || index >= static_cast<int>(list.size())) return nullptr;
  return list[index];
}

TQpBaseDispatcher* TQpBaseDispatcher::FindByDevice(int deviceHandle) {
  if (deviceHandle < 0) return nullptr;
  if (g_CacheDispatcher && g_CacheDevice == deviceHandle && g_CacheDispatcher->Device == deviceHandle)
    return g_CacheDispatcher;
  for (TQpBaseDispatcher* d : DispatcherList()) {
    if (d && d->Device == deviceHandle) {
      g_CacheDevice = deviceHandle;
      g_CacheDispatcher = d;
      return d;
    }
  }
  return nullptr;
}

size_t TQpBaseDispatcher::ListSize() { return DispatcherList().size(); }

void TQpBaseDispatcher::SetDeviceHandle(int handle) {
  if (g_CacheDispatcher == this) {
    g_CacheDispatcher = nullptr;
    g_CacheDevice = -1;
  }
  Device = handle;
}

void TQpBaseDispatcher::SetModemStatusBits(uint8_t bits, bool on) {
  Modem = on ? static_cast<uint8_t>(Modem | bits) : static_cast<uint8_t>(Modem & ~bits);
}

uint32_t TQpBaseDispatcher::ElapsedMs() const {
  return static_cast<uint32_t>(host::NowMs() - TimeBaseMs);
}

// --- open, start, stop, close ---------------------------------------------------------------

void TQpBaseDispatcher::FinishOpen(int deviceHandle, uint32_t inSize, uint32_t outSize) {
  SetDeviceHandle(deviceHandle);
  Ring.assign(kQpInRingSize, 0);
  Head = Tail = 0;
  RingFull = false;
  ReadTotal = ScanTotal = LastAvailTotal = ConsumedTotal = 0;
  InSz = inSize;
  OutSz = outSize;
  ReadDeviceStatus(DevStatus);
  TimeBaseMs = host::NowMs();
  LogRec.SetTimeBase(TimeBaseMs);
  Start();
}

void TQpBaseDispatcher::Start() {
  if (Timer) throw std::runtime_error("Dispatcher already started");
  Timer = new QTimer();
  Timer->setInterval(kPassIntervalMs);
  QObject::connect(Timer, &QTimer::timeout, [this] { Dispatch(); });
  Timer->start();
  if (!Timer->isActive()) {
    delete Timer;
    Timer = nullptr;
    throw std::runtime_error("Resource not available");
  }
  // A socket that becomes readable is announced to this window and runs a pass at once.
  DispatchWindow = std::make_unique<host::TMessageTarget>([this](const host::TMessage& m) {
    if (m.Msg == kDispatchWindowMsg && static_cast<int>(m.WParam) == Device) Dispatch();
  });
}

void TQpBaseDispatcher::Stop() {
  delete Timer;
  Timer = nullptr;
  DispatchWindow.reset();
}

void TQpBaseDispatcher::StopAndRelease() {
  Stop();
  std::vector<uint8_t>().swap(Ring);
  Head = Tail = 0;
  RingFull = false;
  ReadTotal = ScanTotal = LastAvailTotal = ConsumedTotal = 0;
  if (Device >= 0 && !InEvent()) {
    CloseDevice();
    SetDeviceHandle(-1);
  }
}

void TQpBaseDispatcher::Close() {
  if (Device >= 0) {
    FlushDevice(0);
    FlushDevice(1);
    // The socket layer may be in the middle of telling the port about this very connection:
    // the device goes when that delivery is over.
    if (!InEvent()) {
      CloseDevice();
      SetDeviceHandle(-1);
    }
  }
  ClosingFlag = true;
  if (!InEvent() && !DispatchingFlag) StopAndRelease();
}

void TQpBaseDispatcher::EndExternalEvent() {
  if (ExternalEvents > 0) --ExternalEvents;
}

// --- the dispatch pass ----------------------------------------------------------------------

void TQpBaseDispatcher::RunPass(bool withTriggers) {
  if (DispatchingFlag) return;
  DispatchingFlag = true;
  std::shared_ptr<bool> alive = Alive;
  try {
    if (!ClosingFlag && Device >= 0 && !Ring.empty()) {
      ReadDeviceStatus(DevStatus);
      if (DevStatus.InCount > 0) ReadIntoRing();
    }
    if (withTriggers && !InEvent()) {
      StatusFired = false;
      while (!ClosingFlag && *alive) {
        if (CheckTriggers() <= 0) break;
      }
      if (*alive && StatusFired) {
        for (TQpStatusTrigger& s : Statuses) s.Fired = false;
        StatusFired = false;
      }
    } else if (LogOn()) {
      AddDispatchEntry(ltError, lsNone, 0);
    }
  } catch (const std::exception& e) {
    if (*alive) DispatchingFlag = false;
    ReportHandlerException(e);
    return;
  }
  if (!*alive) return;
  DispatchingFlag = false;
  if (ClosingFlag && !InEvent()) StopAndRelease();
}

uint32_t TQpBaseDispatcher::RingCount() const {
  if (RingFull) return kQpInRingSize;
  return (Head + kQpInRingSize - Tail) % kQpInRingSize;
}

void TQpBaseDispatcher::ReadIntoRing() {
  if (Ring.empty() || RingFull) return;
  uint32_t free = kQpInRingSize - RingCount();
  uint32_t moved = 0;
  // Up to two pieces: to the end of the ring, then from its start.
  for (int piece = 0; piece < 2 && free > 0; ++piece) {
    uint32_t room = std::min(free, kQpInRingSize - Head);
    int got = ReadDevice(Ring.data() + Head, room);
    if (got < 0) {
      got = 0;
      ReadDeviceStatus(DevStatus);
    }
    uint32_t n = std::min(static_cast<uint32_t>(got), room);
    if (n > 0 && LogOn()) AddDispatchEntry(ltDispatch, lsReadCom, n, Ring.data() + Head, n);
    Head = (Head + n) % kQpInRingSize;
    ReadTotal += n;
    free -= n;
    moved += n;
    if (n < room) break;
  }
  if (moved > 0 && Head == Tail) RingFull = true;
}

int TQpBaseDispatcher::CheckTriggers() {
  int r = CheckTimerTriggers();
  if (r != 0) return r;
  r = CheckStatusTriggers();
  if (r != 0) return r;
  return CheckDataTriggers();
}

int TQpBaseDispatcher::CheckTimerTriggers() {
  uint32_t now = host::TickCount55();
  for (TQpTimerTrigger& t : Timers) {
    if (t.Active && TimerExpired(t, now)) {
      t.Active = false;
      int handle = t.Handle;
      if (LogOn()) AddDispatchEntry(ltTrigger, lsTrigTimer, static_cast<uint32_t>(handle));
      return SendEvent(kQpMsgTriggerTimer, static_cast<uint32_t>(handle), static_cast<uint16_t>(handle)) >= 0 ? 1 : -1;
    }
  }
  return 0;
}

int TQpBaseDispatcher::CheckStatusTriggers() {
  for (TQpStatusTrigger& s : Statuses) {
    if (!s.Active || s.Fired) continue;
    bool fire = false;
    uint32_t data = 0;
    switch (s.Kind) {
      case skModemStatus: {
        uint8_t last = static_cast<uint8_t>(s.Value & 0xFF);
        uint8_t mask = static_cast<uint8_t>(s.Value >> 8);
        fire = ((Modem ^ last) & mask) != 0;
        data = Modem;
        break;
      }
      case skLineError:
        break;  // a socket has no line errors
      case skOutbuffFree:
        data = OutBuffFree();
        fire = data >= s.Value;
        break;
      case skOutbuffUsed:
        data = OutBuffUsed();
        fire = data <= s.Value;
        break;
      case skOutSent:
        fire = OutputSent;
        if (fire) OutputSent = false;
        break;
      default:
        break;
    }
    if (!fire) continue;
    s.Active = false;
    s.Fired = true;
    StatusFired = true;
    int handle = s.Handle;
    if (LogOn()) AddDispatchEntry(ltTrigger, lsTrigStatus, static_cast<uint32_t>(handle));
    return SendEvent(kQpMsgTriggerStatus, data, static_cast<uint16_t>(handle)) >= 0 ? 1 : -1;
  }
  return 0;
}

int TQpBaseDispatcher::CheckDataTriggers() {
  if (Ring.empty()) return 0;
  while (ScanTotal < ReadTotal) {
    uint8_t b = Ring[ScanTotal % kQpInRingSize];
    size_t longest = 0;
    bool matched = false;
    for (TQpDataTrigger& d : Datas) {
      uint8_t c = d.IgnoreCase ? Upper(b) : b;
      const size_t len = d.Match.size();
      uint32_t next = 0;
      // Shift-and: bit k set when the first k+1 characters end at this byte.
      for (size_t k = 0; k < len; ++k) {
        bool prev = (k == 0) || ((d.States >> (k - 1)) & 1u);
        if (prev && static_cast<uint8_t>(d.Match[k]) == c) next |= 1u << k;
      }
      d.States = next;
      if (len > 0 && ((next >> (len - 1)) & 1u)) {
        d.Matched = true;
        matched = true;
        longest = std::max(longest, len);
      }
    }
    if (!matched) {
      ++ScanTotal;
      continue;
    }
    // Announce the bytes before the match first, so a reader sees them before the trigger.
    uint64_t upToHere = ScanTotal + 1 - std::min(ScanTotal + 1, ConsumedTotal);
    uint64_t before = upToHere > longest ? upToHere - longest : 0;
    if (Threshold > 0 && LastAvailTotal != ScanTotal && before >= Threshold) {
      LastAvailTotal = ScanTotal;
      if (LogOn()) AddDispatchEntry(ltTrigger, lsTrigAvail, static_cast<uint32_t>(before));
      std::shared_ptr<bool> alive = Alive;
      if (SendEvent(kQpMsgTriggerAvail, static_cast<uint32_t>(before), static_cast<uint16_t>(before)) < 0) {
        if (*alive) ++ScanTotal;
        return -1;
      }
      if (!*alive || ClosingFlag) return 1;
    }
    for (size_t k = Datas.size(); k-- > 0;) {
      if (k >= Datas.size() || !Datas[k].Matched) continue;
      Datas[k].Matched = false;
      int handle = Datas[k].Handle;
      if (LogOn()) AddDispatchEntry(ltTrigger, lsTrigData, static_cast<uint32_t>(handle));
      std::shared_ptr<bool> alive = Alive;
      SendEvent(kQpMsgTriggerData, static_cast<uint32_t>(handle), static_cast<uint16_t>(handle));
      if (!*alive) return 1;
      if (ClosingFlag) break;
    }
    ++ScanTotal;
    return 1;
  }
  uint32_t used = InBuffUsed();
  if (Threshold > 0 && LastAvailTotal != ScanTotal && used >= Threshold) {
    LastAvailTotal = ScanTotal;
    if (LogOn()) AddDispatchEntry(ltTrigger, lsTrigAvail, used);
    return SendEvent(kQpMsgTriggerAvail, used, static_cast<uint16_t>(used)) >= 0 ? 1 : -1;
  }
  return 0;
}

// --- delivery -------------------------------------------------------------------------------

int TQpBaseDispatcher::SendEvent(uint32_t msg, uint32_t wParam, uint16_t data) {
  std::shared_ptr<bool> alive = Alive;
  if (OwnerPort) OwnerPort->SyncTriggerRegistration();
  if (!HandlersPresent) return 0;

  InEventFlag = true;
  MostTaken = 0;
  const bool peek = (msg == kQpMsgTriggerAvail || msg == kQpMsgTriggerData);
  Peeking = peek;
  PeekTraced = 0;
  const intptr_t lParam = static_cast<intptr_t>((static_cast<uint32_t>(ListIndex) << 16) | data);

  auto callOne = [&](const TQpMethodHandler& h) {
    Taken = 0;
    try {
      h(msg, wParam, lParam);
    } catch (const std::exception& e) {
      ReportHandlerException(e);
    }
    if (!*alive) return false;
    MostTaken = std::max(MostTaken, Taken);
    return !ClosingFlag;
  };

  bool goOn = true;
  for (size_t k = 0; goOn && k < Methods.size(); ++k) {
    if (Methods[k].Deleted) continue;
    TQpMethodHandler h = Methods[k].Handler;  // the handler may deregister itself
    goOn = callOne(h);
  }
  for (size_t k = 0; goOn && k < Procs.size(); ++k) {
    if (Procs[k].Deleted) continue;
    TQpMethodHandler h = Procs[k].Handler;
    goOn = callOne(h);
  }
  if (goOn) {
    size_t live = 0;
    for (const TWindowRec& w : Windows)
      if (!w.Deleted) ++live;
    if (live > 1 || PortWants) {
      for (size_t k = 0; goOn && k < Windows.size(); ++k) {
        if (Windows[k].Deleted) continue;
        host::TMessageTarget* target = Windows[k].Window;
        goOn = callOne([target](uint32_t m, uintptr_t w, intptr_t l) { target->Send(m, w, l); });
      }
    }
  }
  if (!*alive) return -1;

  int result = 0;
  if (peek) {
    Peeking = false;
    uint32_t take = std::min(MostTaken, RingCount());
    if (take > 0) {
      Tail = (Tail + take) % kQpInRingSize;
      RingFull = false;
      ConsumedTotal += take;
      ScanTotal = std::max(ScanTotal, ConsumedTotal);
    }
    if (msg == kQpMsgTriggerAvail && MostTaken != data) result = -1;
  }
  Taken = 0;
  InEventFlag = false;
  if (RemovalPending && !InEvent()) PurgeDeletedHandlers();
  return result;
}

void TQpBaseDispatcher::PurgeDeletedHandlers() {
  auto gone = [](const auto& r) { return r.Deleted; };
  Windows.erase(std::remove_if(Windows.begin(), Windows.end(), gone), Windows.end());
  Procs.erase(std::remove_if(Procs.begin(), Procs.end(), gone), Procs.end());
  Methods.erase(std::remove_if(Methods.begin(), Methods.end(), gone), Methods.end());
  RemovalPending = false;
  RecomputeHasHandlers();
}

// --- data -----------------------------------------------------------------------------------

uint32_t TQpBaseDispatcher::InBuffUsed() const {
  uint32_t n = RingCount();
  if (Peeking) n = Taken < n ? n - Taken : 0;
  return n;
}

int TQpBaseDispatcher::CopyOut(void* buffer, uint32_t count, bool consume) {
  if (count > InBuffUsed()) return ecBufferIsEmpty;
  if (count == 0) return 0;
  uint32_t from = (Tail + (Peeking ? Taken : 0)) % kQpInRingSize;
  auto* out = static_cast<uint8_t*>(buffer);
  uint32_t first = std::min(count, kQpInRingSize - from);
  std::memcpy(out, Ring.data() + from, first);
  if (first < count) std::memcpy(out + first, Ring.data(), count - first);
  if (!consume) return static_cast<int>(count);

  if (Peeking) {
    // Several handlers read the same bytes: trace each byte once per delivery.
    uint32_t start = Taken;
    Taken += count;
    if (Taken > PeekTraced) {
      uint32_t skip = PeekTraced > start ? PeekTraced - start : 0;
      TraceBytes(kTraceCodeReceive, out + skip, count - skip);
      PeekTraced = Taken;
    }
  } else {
    Tail = (Tail + count) % kQpInRingSize;
    RingFull = false;
    ConsumedTotal += count;
    ScanTotal = std::max(ScanTotal, ConsumedTotal);
    LastAvailTotal = std::max(LastAvailTotal, ConsumedTotal);
    TraceBytes(kTraceCodeReceive, out, count);
  }
  return static_cast<int>(count);
}

int TQpBaseDispatcher::GetBlock(void* buffer, uint32_t count) { return CopyOut(buffer, count, true); }

int TQpBaseDispatcher::PeekBlock(void* buffer, uint32_t count) { return CopyOut(buffer, count, false); }

void TQpBaseDispatcher::TraceBytes(char code, const uint8_t* data, uint32_t count) {
  if (!TraceRec.Recording()) return;
  TraceRec.Add(code, data, count);
}

int TQpBaseDispatcher::PutBlock(const void* data, uint32_t count) {
  if (count == 0) return 0;
  ReadDeviceStatus(DevStatus);
  uint32_t pending = std::min(DevStatus.OutCount, OutSz);
  uint32_t room = OutSz - pending;
  if (count > room) return ecOutputBufferTooSmall;
  if (count == room) OutputFull = true;
  const auto* bytes = static_cast<const uint8_t*>(data);
  int written = WriteDevice(bytes, count);
  if (written < 1) return ecPutBlockFail;
  OutputSent = true;
  uint32_t n = std::min(static_cast<uint32_t>(written), count);
  if (LogOn()) AddDispatchEntry(ltDispatch, lsWriteCom, n, bytes, n);
  TraceBytes(kTraceCodeTransmit, bytes, n);
  // Part of the block would be lost: that is a failed write, not a success.
  if (n < count) return ecPutBlockFail;
  return 0;
}

uint32_t TQpBaseDispatcher::OutBuffUsed() {
  ReadDeviceStatus(DevStatus);
  return DevStatus.OutCount;
}

uint32_t TQpBaseDispatcher::OutBuffFree() {
  uint32_t used = OutBuffUsed();
  return used < OutSz ? OutSz - used : 0;
}

void TQpBaseDispatcher::FlushInBuffer() {
  if (Device >= 0) FlushDevice(1);
  if (Peeking) {
    Taken = RingCount();  // everything counts as read by this handler
    return;
  }
  Head = Tail = 0;
  RingFull = false;
  ConsumedTotal = ReadTotal;
  ScanTotal = LastAvailTotal = ReadTotal;
}

void TQpBaseDispatcher::FlushOutBuffer() {
  if (Device >= 0) FlushDevice(0);
  OutputFull = false;
}

// --- triggers -------------------------------------------------------------------------------

bool TQpBaseDispatcher::HandleInUse(int handle) const {
  for (const auto& t : Timers)
    if (t.Handle == handle) return true;
  for (const auto& d : Datas)
    if (d.Handle == handle) return true;
  for (const auto& s : Statuses)
    if ((s.Handle & ~7) == handle) return true;
  return false;
}

int TQpBaseDispatcher::NewHandle() {
  // 8, 16, ... 32760 first; after that the lowest free multiple of 8 up to 4096.
  while (NextHandle <= 4095) {
    int h = static_cast<int>(NextHandle * 8);
    ++NextHandle;
    if (!HandleInUse(h)) return h;
  }
  for (int h = 8; h <= 4096; h += 8)
    if (!HandleInUse(h)) return h;
  return ecNoMoreTriggers;
}

int TQpBaseDispatcher::AddTimerTrigger() {
  int h = NewHandle();
  if (h < 0) return h;
  TQpTimerTrigger t;
  t.Handle = h;
  Timers.push_back(t);
  if (LogOn()) AddDispatchEntry(ltTrigAllc, lsTimer, static_cast<uint32_t>(h));
  return h;
}

int TQpBaseDispatcher::SetTimerTrigger(int handle, uint32_t ticks, bool activate) {
  for (TQpTimerTrigger& t : Timers) {
    if (t.Handle != handle) continue;
    if (activate) {
      if (ticks != 0) t.Duration = ticks;
      uint32_t d = std::min(t.Duration, kQpMaxTimerTicks);
      t.StartTick = host::TickCount55();
      t.ExpiryTick = t.StartTick + d;
      t.Active = true;
      if (LogOn()) AddDispatchEntry(ltTrDatChg, lsTimer, static_cast<uint32_t>(handle), &ticks, 4);
    } else {
      t.Active = false;
      if (LogOn()) AddDispatchEntry(ltTrDatChg, lsTimer, static_cast<uint32_t>(handle), "Deactivated", 11);
    }
    return 0;
  }
  return ecBadTriggerHandle;
}

bool TQpBaseDispatcher::TimerTriggerActive(int handle) const {
  for (const TQpTimerTrigger& t : Timers)
    if (t.Handle == handle) return t.Active;
  return false;
}

int TQpBaseDispatcher::AddDataTrigger(const std::string& match, bool ignoreCase) {
  if (match.empty()) return ecBadArgument;
  if (match.size() > kQpMaxDataTriggerLen) return ecTriggerTooLong;
  int h = NewHandle();
  if (h < 0) return h;
  TQpDataTrigger d;
  d.Handle = h;
  d.IgnoreCase = ignoreCase;
  d.Match = match;
  if (ignoreCase)
    for (char& c : d.Match) c = static_cast<char>(Upper(static_cast<uint8_t>(c)));
  Datas.push_back(d);
  if (LogOn()) AddDispatchEntry(ltTrigAllc, lsData, static_cast<uint32_t>(h));
  return h;
}

int TQpBaseDispatcher::AddStatusTrigger(int kind) {
  if (kind < skModemStatus || kind > skOutSent) return ecBadArgument;
  int base = NewHandle();
  if (base < 0) return base;
  TQpStatusTrigger s;
  s.Handle = base + kind;
  s.Kind = kind;
  Statuses.push_back(s);
  if (LogOn()) AddDispatchEntry(ltTrigAllc, lsStatus, static_cast<uint32_t>(s.Handle));
  return s.Handle;
}

int TQpBaseDispatcher::SetStatusTrigger(int handle, uint16_t value, bool activate) {
  for (TQpStatusTrigger& s : Statuses) {
    if (s.Handle != handle) continue;
    s.Value = value;
    s.Active = activate;
    s.Fired = false;
    if (LogOn()) AddDispatchEntry(ltTrDatChg, lsStatus, static_cast<uint32_t>(handle));
    return 0;
  }
  return ecBadTriggerHandle;
}

int TQpBaseDispatcher::RemoveTrigger(int handle) {
  if (handle == kQpAvailTriggerHandle) {
    ChangeAvailThreshold(0);
    return 0;
  }
  for (size_t k = 0; k < Timers.size(); ++k) {
    if (Timers[k].Handle != handle) continue;
    Timers.erase(Timers.begin() + static_cast<long>(k));
    if (LogOn()) AddDispatchEntry(ltTrigDisp, lsTrigTimer, static_cast<uint32_t>(handle));
    return 0;
  }
  for (size_t k = 0; k < Statuses.size(); ++k) {
    if (Statuses[k].Handle != handle) continue;
    uint8_t kind = static_cast<uint8_t>(Statuses[k].Kind);
    Statuses.erase(Statuses.begin() + static_cast<long>(k));
    if (LogOn()) AddDispatchEntry(ltTrigDisp, lsStatus, static_cast<uint32_t>(handle), &kind, 1);
    return 0;
  }
  for (size_t k = 0; k < Datas.size(); ++k) {
    if (Datas[k].Handle != handle) continue;
    Datas.erase(Datas.begin() + static_cast<long>(k));
    if (LogOn()) AddDispatchEntry(ltTrigDisp, lsData, static_cast<uint32_t>(handle));
    return 0;
  }
  return ecBadTriggerHandle;
}

void TQpBaseDispatcher::ChangeAvailThreshold(uint32_t count) {
  Threshold = count;
  if (LogOn()) AddDispatchEntry(ltTrDatChg, lsAvail, count);
}

std::unique_ptr<TQpSavedTriggers> TQpBaseDispatcher::SaveTriggers() const {
  auto saved = std::make_unique<TQpSavedTriggers>();
  saved->Threshold = Threshold;
  saved->Timers = Timers;
  saved->Datas = Datas;
  saved->Statuses = Statuses;
  return saved;
}

void TQpBaseDispatcher::RestoreTriggers(const TQpSavedTriggers& saved) {
  Threshold = saved.Threshold;
  Timers = saved.Timers;
  Datas = saved.Datas;
  Statuses = saved.Statuses;
  // New handles must not collide with the restored ones.
  uint32_t highest = 0;
  for (const auto& t : Timers) highest = std::max(highest, static_cast<uint32_t>(t.Handle) / 8);
  for (const auto& d : Datas) highest = std::max(highest, static_cast<uint32_t>(d.Handle) / 8);
  for (const auto& s : Statuses) highest = std::max(highest, static_cast<uint32_t>(s.Handle) / 8);
  NextHandle = std::max(NextHandle, highest + 1);
}

// --- handlers -------------------------------------------------------------------------------

void TQpBaseDispatcher::RecomputeHasHandlers() {
  size_t windows = 0;
  for (const TWindowRec& w : Windows)
    if (!w.Deleted) ++windows;
  bool others = std::any_of(Procs.begin(), Procs.end(), [](const TMethodRec& r) { return !r.Deleted; }) ||
                std::any_of(Methods.begin(), Methods.end(), [](const TMethodRec& r) { return !r.Deleted; });
  HandlersPresent = PortWants || windows >= 2 || others;
}

void TQpBaseDispatcher::SetPortWantsEvents(int mode) {
  if (mode == 1) {
    PortWants = true;
    HandlersPresent = true;
    return;
  }
  if (mode == 2) PortWants = false;
  RecomputeHasHandlers();
}

void TQpBaseDispatcher::RegisterWindowHandler(host::TMessageTarget* window) {
  if (!window) return;
  Windows.push_back({window, false});
  if (LogOn()) AddDispatchEntry(ltTrgHdAlc, lsWindow, static_cast<uint32_t>(reinterpret_cast<uintptr_t>(window)));
  HandlersPresent = true;
  RecomputeHasHandlers();
}

void TQpBaseDispatcher::DeregisterWindowHandler(host::TMessageTarget* window) {
  for (size_t k = 0; k < Windows.size();) {
    if (Windows[k].Window == window && !Windows[k].Deleted) {
      if (LogOn()) AddDispatchEntry(ltTrgHdDsp, lsWindow, static_cast<uint32_t>(reinterpret_cast<uintptr_t>(window)));
      if (InEvent()) {
        Windows[k].Deleted = true;
        RemovalPending = true;
      } else {
        Windows.erase(Windows.begin() + static_cast<long>(k));
        continue;
      }
    }
    ++k;
  }
  RecomputeHasHandlers();
}

namespace {
template <class List>
void RegisterKeyed(List& list, const void* key, TQpMethodHandler handler) {
  for (auto& r : list) {
    if (r.Key == key && !r.Deleted) {
      r.Handler = std::move(handler);
      return;
    }
  }
  list.push_back({key, std::move(handler), false});
}
}  // namespace

void TQpBaseDispatcher::RegisterProcHandler(const void* key, TQpMethodHandler handler) {
  RegisterKeyed(Procs, key, std::move(handler));
  if (LogOn()) AddDispatchEntry(ltTrgHdAlc, lsProcedure, 0);
  RecomputeHasHandlers();
}

void TQpBaseDispatcher::DeregisterProcHandler(const void* key) {
  for (size_t k = 0; k < Procs.size();) {
    if (Procs[k].Key == key && !Procs[k].Deleted) {
      if (LogOn()) AddDispatchEntry(ltTrgHdDsp, lsProcedure, 0);
      if (InEvent()) {
        Procs[k].Deleted = true;
        RemovalPending = true;
      } else {
        Procs.erase(Procs.begin() + static_cast<long>(k));
        continue;
      }
    }
    ++k;
  }
  RecomputeHasHandlers();
}

void TQpBaseDispatcher::RegisterMethodHandler(const void* key, TQpMethodHandler handler) {
  RegisterKeyed(Methods, key, std::move(handler));
  if (LogOn()) AddDispatchEntry(ltTrgHdAlc, lsMethod, 0);
  RecomputeHasHandlers();
}

void TQpBaseDispatcher::DeregisterMethodHandler(const void* key) {
  for (size_t k = 0; k < Methods.size();) {
    if (Methods[k].Key == key && !Methods[k].Deleted) {
      if (LogOn()) AddDispatchEntry(ltTrgHdDsp, lsMethod, 0);
      if (InEvent()) {
        Methods[k].Deleted = true;
        RemovalPending = true;
      } else {
        Methods.erase(Methods.begin() + static_cast<long>(k));
        continue;
      }
    }
    ++k;
  }
  RecomputeHasHandlers();
}

bool TQpBaseDispatcher::MethodHandlerRegistered(const void* key) const {
  return std::any_of(Methods.begin(), Methods.end(), [key](const TMethodRec& r) { return r.Key == key && !r.Deleted; });
}

// --- trace and dispatch log -----------------------------------------------------------------

int TQpBaseDispatcher::StartTracing(uint32_t size) { return TraceRec.Start(size); }
void TQpBaseDispatcher::AddTraceEntry(char code, uint8_t byte) { TraceRec.Add(code, byte); }
void TQpBaseDispatcher::ClearTracing() { TraceRec.Clear(); }
void TQpBaseDispatcher::PauseTracing() { TraceRec.Pause(); }
void TQpBaseDispatcher::ResumeTracing() { TraceRec.Resume(); }
void TQpBaseDispatcher::StopTracing() { TraceRec.Stop(); }
int TQpBaseDispatcher::DumpTrace(const std::string& fileName, bool hex, bool allHex) {
  return TraceRec.Dump(fileName, hex, allHex);
}
int TQpBaseDispatcher::AppendTrace(const std::string& fileName, bool hex, bool allHex) {
  return TraceRec.Append(fileName, hex, allHex);
}
TQpRecordState TQpBaseDispatcher::TraceState() const {
  if (!TraceRec.Exists()) return rsAbsent;
  return TraceRec.Paused() ? rsPaused : rsOn;
}

int TQpBaseDispatcher::StartLogging(uint32_t size) {
  LogRec.SetDeviceName(DevName);
  LogRec.SetTimeBase(TimeBaseMs);
  return LogRec.Start(size);
}
void TQpBaseDispatcher::AddDispatchEntry(uint8_t type, uint8_t subtype, uint32_t data, const void* payload,
                                         uint32_t length) {
  LogRec.Add(type, subtype, data, payload, length);
}
void TQpBaseDispatcher::ClearLogging() { LogRec.Clear(); }
void TQpBaseDispatcher::PauseLogging() { LogRec.Pause(); }
void TQpBaseDispatcher::ResumeLogging() { LogRec.Resume(); }
void TQpBaseDispatcher::StopLogging() { LogRec.Stop(); }
int TQpBaseDispatcher::DumpLog(const std::string& fileName, bool hex, bool allHex) {
  LogRec.SetDeviceName(DevName);
  return LogRec.Dump(fileName, hex, allHex);
}
int TQpBaseDispatcher::AppendLog(const std::string& fileName, bool hex, bool allHex) {
  LogRec.SetDeviceName(DevName);
  return LogRec.Append(fileName, hex, allHex);
}
TQpRecordState TQpBaseDispatcher::LogState() const {
  if (!LogRec.Exists()) return rsAbsent;
  return LogRec.Paused() ? rsPaused : rsOn;
}

// --- disposal of a dispatcher whose port went away mid-delivery -----------------------------

void TQpBaseDispatcher::DisposeWhenIdle(std::unique_ptr<TQpBaseDispatcher> dispatcher) {
  if (!dispatcher) return;
  dispatcher->OwnerPort = nullptr;
  dispatcher->Windows.clear();
  dispatcher->ClosingFlag = true;
  if (!dispatcher->InEvent() && !dispatcher->DispatchingFlag) return;  // freed here and now
  TQpBaseDispatcher* d = dispatcher.release();
  QTimer::singleShot(0, [d] { TryDispose(d); });
}

void TQpBaseDispatcher::TryDispose(TQpBaseDispatcher* d) {
  if (d->InEvent() || d->DispatchingFlag) {
    QTimer::singleShot(10, [d] { TryDispose(d); });
    return;
  }
  delete d;
}

}  // namespace quodra::port
