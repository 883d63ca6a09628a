#include "port/qp_port.h"

#include <QObject>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <exception>

#include "host/message_target.h"
#include "port/qp_except.h"
#include "port/qp_socket.h"

namespace quodra::port {

namespace {
// A deferred close that finds the dispatcher still delivering tries again after this pause
// (sleeping in the event loop, never spinning).
constexpr int kDeferredCloseRetryMs = 10;

void ReportException(const std::exception& e) {
  if (TQpSocket::UnhandledException)
    TQpSocket::UnhandledException(e);
  else
    std::fprintf(stderr, "Unhandled exception in a port: %s\n", e.what());
}
}  // namespace

TQpCustomComPort::TQpCustomComPort(TQpBaseComponent* owner) : TQpBaseComponent(owner) {
  AnnounceInsertion();
}

TQpCustomComPort::~TQpCustomComPort() {
  *PortAlive = false;
  CloseForDestroy();
  AnnounceRemoval();
  Users.clear();
  Saved.reset();
}

void TQpCustomComPort::CloseForDestroy() {
  OpenRequested = false;
  if (State == osOpen) {
    try {
      DonePort();
    } catch (const std::exception& e) {
      ReportException(e);
    }
  }
  if (Disp) {
    // Still closing: the port goes away from inside one of the dispatcher's deliveries.
    Disp->DeregisterWindowHandler(Window.get());
    TQpBaseDispatcher::DisposeWhenIdle(std::move(Disp));
  }
  DestroyWindow();
  State = osClosed;
  OpenProp = false;
}

// --- open and close -------------------------------------------------------------------------

void TQpCustomComPort::SetOpen(bool open) {
  if (Loading() || Designing()) {
    StoredOpen = open;
    return;
  }
  if (open) {
    if (State == osOpen) return;
    if (State == osClosing) {
      OpenRequested = true;  // carried out when the close has finished
      return;
    }
    InitPort();
  } else {
    OpenRequested = false;
    if (State == osOpen) DonePort();
  }
}

void TQpCustomComPort::Loaded() {
  if (StoredOpen) {
    StoredOpen = false;
    SetOpen(true);
  }
}

void TQpCustomComPort::InitPort() {
  Disp = CreateDispatcher();
  int result = 0;
  try {
    result = OpenDevice();
  } catch (...) {
    Disp.reset();
    throw;
  }
  if (result == -5) result = ecAlreadyOpen;
  if (result == -3 || result == -2) result = ecBadId;
  if (result < 0) {
    Disp.reset();
    CheckException(this, result, Loading());
    return;
  }

  State = osOpen;
  WantsKnown = false;
  SyncTriggerRegistration();
  // Every setting goes to the new dispatcher: a port opened with Tracing on traces at once.
  ApplyTracing(TracingProp, true);
  ApplyLogging(LoggingProp, true);
  Disp->ChangeAvailThreshold(Threshold);

  OpenProp = true;
  Window = std::make_unique<host::TMessageTarget>();
  host::TMessageTarget* target = Window.get();
  std::shared_ptr<bool> alive = PortAlive;
  Window->SetHandler([this, alive, target](const host::TMessage& m) {
    // A handler may free the port, or close it and open a new window meanwhile.
    if (!*alive || Window.get() != target) return;
    ++WindowDepth;
    try {
      PortWindowMessage(m);
    } catch (const std::exception& e) {
      ReportException(e);
    }
    if (*alive) --WindowDepth;
  });
  Disp->RegisterWindowHandler(Window.get());

  if (Saved) {
    Disp->RestoreTriggers(*Saved);
    Saved.reset();
  }
  NotifyUsers(peOpen);
  DoPortOpen();
}

void TQpCustomComPort::DonePort() {
  if (State != osOpen) return;
  // A running trace or log is written out; a file error is raised once the port is closed.
  std::exception_ptr failure;
  try {
    SetTracing(tlDump);
  } catch (...) {
    failure = std::current_exception();
  }
  try {
    SetLogging(tlDump);
  } catch (...) {
    if (!failure) failure = std::current_exception();
  }

  State = osClosing;
  NotifyUsers(peClosing);
  if (Disp) {
    Saved = Disp->SaveTriggers();
    const bool delivering = Disp->InEvent() || Disp->Dispatching();
    Disp->Close();
    if (delivering && Window) {
      Window->Post(kQpMsgPortClosing, 0, static_cast<intptr_t>(static_cast<uint32_t>(Disp->Index()) << 16));
    } else {
      FinishClose();
    }
  } else {
    FinishClose();
  }

  NotifyUsers(peClose);
  DoPortClose();
  PortClosed();
  if (failure) std::rethrow_exception(failure);
}

void TQpCustomComPort::FinishClose() {
  if (Disp && Window) Disp->DeregisterWindowHandler(Window.get());
  DestroyWindow();
  Disp.reset();
  State = osClosed;
  OpenProp = false;
}

void TQpCustomComPort::DestroyWindow() {
  if (!Window) return;
  Window->DropQueued();
  if (WindowDepth > 0) {
    // We are inside one of its own messages: it goes once that message is done.
    Window.release()->deleteLater();
  } else {
    Window.reset();
  }
}

void TQpCustomComPort::DeferredClose(const host::TMessage& m) {
  if (State != osClosing) return;
  if (Disp && (Disp->InEvent() || Disp->Dispatching())) {
    host::TMessageTarget* w = Window.get();
    QTimer::singleShot(kDeferredCloseRetryMs, w, [w, m] { w->Post(m.Msg, m.WParam, m.LParam); });
    return;
  }
  FinishClose();
  if (OpenRequested) {
    OpenRequested = false;
    InitPort();
  }
}

// --- port window ----------------------------------------------------------------------------

void TQpCustomComPort::PortWindowMessage(const host::TMessage& m) {
  switch (m.Msg) {
    case kQpMsgTriggerAvail:
    case kQpMsgTriggerData:
    case kQpMsgTriggerTimer:
    case kQpMsgTriggerStatus:
      DeliverTrigger(m);
      break;
    case kQpMsgPortClosing:
      DeferredClose(m);
      break;
    default:
      break;
  }
}

void TQpCustomComPort::DeliverTrigger(const host::TMessage& m) {
  TQpBaseDispatcher* d = TQpBaseDispatcher::FromIndex(DispatcherIndexOf(m.LParam));
  if (!d || d->Owner() != this) return;
  const uint16_t data = TriggerDataOf(m.LParam);
  const uint16_t handle = m.Msg == kQpMsgTriggerAvail ? static_cast<uint16_t>(kQpAvailTriggerHandle) : data;
  std::shared_ptr<bool> alive = PortAlive;
  DoTrigger(m.Msg, handle, data);
  if (!*alive) return;  // the handler freed the port
  switch (m.Msg) {
    case kQpMsgTriggerAvail:
      DoTriggerAvail(data);
      break;
    case kQpMsgTriggerData:
      DoTriggerData(data);
      break;
    case kQpMsgTriggerTimer:
      DoTriggerTimer(data);
      break;
    case kQpMsgTriggerStatus:
      DoTriggerStatus(data);
      if (!*alive) return;
      switch (data & 7) {
        case skModemStatus:
          DoTriggerModemStatus();
          break;
        case skLineError:
          DoTriggerLineError(0, false);
          break;
        case skOutbuffFree:
          DoTriggerOutbuffFree();
          break;
        case skOutbuffUsed:
          DoTriggerOutbuffUsed();
          break;
        case skOutSent:
          DoTriggerOutSent();
          break;
        default:
          break;
      }
      break;
    default:
      break;
  }
}

bool TQpCustomComPort::WantsTriggerEvents() const {
  return OnTrigger || OnTriggerAvail || OnTriggerData || OnTriggerStatus || OnTriggerTimer || OnTriggerLineError ||
         OnTriggerModemStatus || OnTriggerOutbuffFree || OnTriggerOutbuffUsed || OnTriggerOutSent;
}

void TQpCustomComPort::SyncTriggerRegistration() {
  if (!Disp) return;
  bool wants = WantsTriggerEvents();
  if (WantsKnown && wants == LastWantsEvents) return;
  WantsKnown = true;
  LastWantsEvents = wants;
  Disp->SetPortWantsEvents(wants ? 1 : 2);
}

void TQpCustomComPort::DoTrigger(uint32_t msg, uint16_t triggerHandle, uint16_t data) {
  if (OnTrigger) OnTrigger(this, msg, triggerHandle, data);
}
void TQpCustomComPort::DoTriggerAvail(uint16_t count) {
  if (OnTriggerAvail) OnTriggerAvail(this, count);
}
void TQpCustomComPort::DoTriggerData(uint16_t triggerHandle) {
  if (OnTriggerData) OnTriggerData(this, triggerHandle);
}
void TQpCustomComPort::DoTriggerStatus(uint16_t triggerHandle) {
  if (OnTriggerStatus) OnTriggerStatus(this, triggerHandle);
}
void TQpCustomComPort::DoTriggerTimer(uint16_t triggerHandle) {
  if (OnTriggerTimer) OnTriggerTimer(this, triggerHandle);
}
void TQpCustomComPort::DoTriggerLineError(uint16_t lineError, bool lineBreak) {
  if (OnTriggerLineError) OnTriggerLineError(this, lineError, lineBreak);
}
void TQpCustomComPort::DoTriggerModemStatus() {
  if (OnTriggerModemStatus) OnTriggerModemStatus(this);
}
void TQpCustomComPort::DoTriggerOutbuffFree() {
  if (OnTriggerOutbuffFree) OnTriggerOutbuffFree(this);
}
void TQpCustomComPort::DoTriggerOutbuffUsed() {
  if (OnTriggerOutbuffUsed) OnTriggerOutbuffUsed(this);
}
void TQpCustomComPort::DoTriggerOutSent() {
  if (OnTriggerOutSent) OnTriggerOutSent(this);
}
void TQpCustomComPort::DoPortOpen() {
  if (OnPortOpen) OnPortOpen(this);
}
void TQpCustomComPort::DoPortClose() {
  if (OnPortClose) OnPortClose(this);
}

// --- dispatcher access and data -------------------------------------------------------------

TQpBaseDispatcher* TQpCustomComPort::Dispatcher() {
  if (!Disp && State == osClosed && !Loading() && !Designing() && AutoOpenProp) SetOpen(true);
  return Disp.get();
}

TQpBaseDispatcher& TQpCustomComPort::ValidDispatcher() {
  TQpBaseDispatcher* d = Dispatcher();
  if (!d) RaiseForCode(ecCommNotOpen);
  return *d;
}

void TQpCustomComPort::PutBlock(const void* data, size_t count) {
  if (State == osClosing) return;
  TQpBaseDispatcher& d = ValidDispatcher();
  if (count > UINT32_MAX) RaiseForCode(ecOutputBufferTooSmall);
  CheckException(this, d.PutBlock(data, static_cast<uint32_t>(count)), Loading());
}

void TQpCustomComPort::PutString(const std::string& text) { PutBlock(text.data(), text.size()); }

void TQpCustomComPort::SetAvailThreshold(uint16_t count) {
  Threshold = count;
  if (Disp && State == osOpen) Disp->ChangeAvailThreshold(count);
}

// --- port users -----------------------------------------------------------------------------

void TQpCustomComPort::RegisterUserWindow(host::TMessageTarget* window, bool wantsClosing) {
  if (!window) return;
  TUserRecord r;
  r.Window = window;
  r.WantsClosing = wantsClosing;
  Users.push_back(std::move(r));
}

void TQpCustomComPort::DeregisterUserWindow(host::TMessageTarget* window) {
  Users.erase(std::remove_if(Users.begin(), Users.end(), [window](const TUserRecord& r) { return r.Window == window; }),
              Users.end());
}

void TQpCustomComPort::RegisterUserCallback(const void* key, TPortCallback callback, bool wantsClosing) {
  TUserRecord r;
  r.Key = key;
  r.Callback = std::move(callback);
  r.WantsClosing = wantsClosing;
  Users.push_back(std::move(r));
}

void TQpCustomComPort::RegisterUserCallbackEx(const void* key, TPortCallbackEx callback, bool wantsClosing) {
  TUserRecord r;
  r.Key = key;
  r.CallbackEx = std::move(callback);
  r.WantsClosing = wantsClosing;
  Users.push_back(std::move(r));
}

void TQpCustomComPort::DeregisterUserCallback(const void* key) {
  Users.erase(std::remove_if(Users.begin(), Users.end(),
                             [key](const TUserRecord& r) { return !r.Window && r.Key == key; }),
              Users.end());
}

void TQpCustomComPort::NotifyUsers(TPortUserEvent event) {
  // Newest first; a user may deregister itself or others while it is told.
  std::vector<TUserRecord> snapshot = Users;
  for (auto it = snapshot.rbegin(); it != snapshot.rend(); ++it) {
    const TUserRecord& r = *it;
    if (event == peClosing && !r.WantsClosing) continue;
    bool present = std::any_of(Users.begin(), Users.end(), [&r](const TUserRecord& u) {
      return u.Window == r.Window && u.Key == r.Key;
    });
    if (!present) continue;
    if (r.Window) {
      uint32_t msg = event == peOpen ? kQpMsgPortOpen : event == peClose ? kQpMsgPortClose : kQpMsgPortClosing;
      r.Window->Send(msg, 0, 0);
    } else if (r.CallbackEx) {
      r.CallbackEx(this, event);
    } else if (r.Callback && event != peClosing) {
      r.Callback(this, event == peOpen);
    }
  }
}

// --- trace and dispatch log -----------------------------------------------------------------

void TQpCustomComPort::SetTracing(TTraceLogState state) { ApplyTracing(state, false); }
void TQpCustomComPort::SetLogging(TTraceLogState state) { ApplyLogging(state, false); }

namespace {

// The rules shared by Tracing and Logging. `Rec` adapts the dispatcher's record operations.
struct TRecordOps {
  std::function<TQpRecordState()> State;
  std::function<int(uint32_t)> Start;
  std::function<void()> Resume, Pause, Clear, Stop;
  std::function<int(bool append)> Write;
};

void ApplyRecordState(TTraceLogState& prop, TTraceLogState value, bool force, uint32_t size,
                      const TRecordOps& ops, const void* port, bool loading) {
  if (value == prop && !force) return;
  TQpRecordState st = ops.State();
  switch (value) {
    case tlOff:
      if (st != rsAbsent) ops.Stop();
      prop = tlOff;
      break;
    case tlOn:
      if (st == rsPaused) {
        ops.Resume();
      } else {
        CheckException(port, ops.Start(size), loading);
      }
      prop = tlOn;
      break;
    case tlDump:
    case tlAppend:
      if (st == rsAbsent) break;
      ops.Resume();
      prop = tlOff;
      CheckException(port, ops.Write(value == tlAppend), loading);
      break;
    case tlClear:
      if (st != rsAbsent) ops.Clear();
      break;
    case tlPause:
      if (st == rsOn) {
        ops.Pause();
        prop = tlPause;
      }
      break;
  }
}

}  // namespace

void TQpCustomComPort::ApplyTracing(TTraceLogState state, bool force) {
  if (!Disp || State != osOpen) {
    TracingProp = state == tlOn ? tlOn : tlOff;
    return;
  }
  TQpBaseDispatcher* d = Disp.get();
  TRecordOps ops{[d] { return d->TraceState(); },
                 [d](uint32_t n) { return d->StartTracing(n); },
                 [d] { d->ResumeTracing(); },
                 [d] { d->PauseTracing(); },
                 [d] { d->ClearTracing(); },
                 [d] { d->StopTracing(); },
                 [this, d](bool append) {
                   return append ? d->AppendTrace(TraceNameProp, TraceHexProp, TraceAllHexProp)
                                 : d->DumpTrace(TraceNameProp, TraceHexProp, TraceAllHexProp);
                 }};
  ApplyRecordState(TracingProp, state, force, TraceSizeProp, ops, this, Loading());
}

void TQpCustomComPort::ApplyLogging(TTraceLogState state, bool force) {
  if (!Disp || State != osOpen) {
    LoggingProp = state == tlOn ? tlOn : tlOff;
    return;
  }
  TQpBaseDispatcher* d = Disp.get();
  TRecordOps ops{[d] { return d->LogState(); },
                 [d](uint32_t n) { return d->StartLogging(n); },
                 [d] { d->ResumeLogging(); },
                 [d] { d->PauseLogging(); },
                 [d] { d->ClearLogging(); },
                 [d] { d->StopLogging(); },
                 [this, d](bool append) {
                   return append ? d->AppendLog(LogNameProp, LogHexProp, LogAllHexProp)
                                 : d->DumpLog(LogNameProp, LogHexProp, LogAllHexProp);
                 }};
  ApplyRecordState(LoggingProp, state, force, LogSizeProp, ops, this, Loading());
}

void TQpCustomComPort::SetTraceSize(uint32_t size) {
  size = std::min(size, kMaxTraceSize);
  if (size == TraceSizeProp) return;
  TraceSizeProp = size;
  if (Disp && State == osOpen && Disp->TraceState() != rsAbsent) {
    Disp->StopTracing();
    CheckException(this, Disp->StartTracing(size), Loading());
    TracingProp = tlOn;
  }
}

void TQpCustomComPort::SetLogSize(uint32_t size) {
  size = std::min(size, kMaxLogSize);
  if (size == LogSizeProp) return;
  LogSizeProp = size;
  if (Disp && State == osOpen && Disp->LogState() != rsAbsent) {
    Disp->StopLogging();
    CheckException(this, Disp->StartLogging(size), Loading());
    LoggingProp = tlOn;
  }
}

void TQpCustomComPort::SetTraceName(const std::string& name) { TraceNameProp = name.substr(0, 255); }
void TQpCustomComPort::SetLogName(const std::string& name) { LogNameProp = name.substr(0, 255); }

}  // namespace quodra::port
