#pragma once
// The dispatcher behind a port: the 8192-byte input ring, the output path, the triggers
// (timer, data, status and the data-available threshold), the handlers that receive trigger
// messages, and the trace and dispatch log records.
//
// Everything runs on the user-interface thread. A dispatch pass moves waiting device bytes
// into the ring and delivers trigger firings one at a time; passes never nest. Handlers
// called for a data-available or data trigger read in peek mode: each reads from the same
// first byte, and the ring gives up as many bytes as the handler that read the most took.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "port/qp_trace_log.h"

class QTimer;

namespace quodra::host {
class TMessageTarget;
}

namespace quodra::port {

class TQpCustomComPort;

constexpr uint32_t kQpInRingSize = 8192;

// Trigger messages. The second parameter is (dispatcher index << 16) | data.
constexpr uint32_t kQpMsgTriggerAvail = 32257;   // data = bytes available
constexpr uint32_t kQpMsgTriggerData = 32258;    // data = trigger handle
constexpr uint32_t kQpMsgTriggerTimer = 32259;   // data = trigger handle
constexpr uint32_t kQpMsgTriggerStatus = 32260;  // data = trigger handle

// The data-available trigger always has this handle.
constexpr int kQpAvailTriggerHandle = 1;
// Longest timer duration in ticks of 55 ms; also the tick counter's wrap allowance.
constexpr uint32_t kQpMaxTimerTicks = 39045157;
// Longest match string of a data trigger.
constexpr size_t kQpMaxDataTriggerLen = 21;

enum TQpStatusKind : int {
  skModemStatus = 1,
  skLineError = 2,
  skOutbuffFree = 3,
  skOutbuffUsed = 4,
  skOutSent = 5,
};

struct TQpTimerTrigger {
  int Handle = 0;
  uint32_t StartTick = 0;
  uint32_t ExpiryTick = 0;
  uint32_t Duration = 0;
  bool Active = false;
};

struct TQpDataTrigger {
  int Handle = 0;
  std::string Match;      // upper-cased when IgnoreCase
  bool IgnoreCase = false;
  uint32_t States = 0;    // bit k: the first k+1 characters match the bytes just seen
  bool Matched = false;
};

struct TQpStatusTrigger {
  int Handle = 0;         // kind in the low 3 bits
  int Kind = 0;
  uint16_t Value = 0;     // modem: last status (low byte) and mask (high byte); threshold; error mask
  bool Active = false;
  bool Fired = false;
};

// What a port keeps of its triggers across a close and the next open.
struct TQpSavedTriggers {
  uint32_t Threshold = 0;
  std::vector<TQpTimerTrigger> Timers;
  std::vector<TQpDataTrigger> Datas;
  std::vector<TQpStatusTrigger> Statuses;
};

struct TQpDeviceStatus {
  uint32_t InCount = 0;   // bytes waiting in the device's input
  uint32_t OutCount = 0;  // bytes not yet sent
};

// A trace or dispatch log record: absent, recording, or paused.
enum TQpRecordState { rsAbsent, rsOn, rsPaused };

// A method or procedure handler: (message, first parameter, second parameter).
using TQpMethodHandler = std::function<void(uint32_t msg, uintptr_t wParam, intptr_t lParam)>;

class TQpBaseDispatcher {
 public:
  explicit TQpBaseDispatcher(TQpCustomComPort* owner);
  virtual ~TQpBaseDispatcher();
  TQpBaseDispatcher(const TQpBaseDispatcher&) = delete;
  TQpBaseDispatcher& operator=(const TQpBaseDispatcher&) = delete;

  TQpCustomComPort* Owner() const { return OwnerPort; }
  int Index() const { return ListIndex; }
  int DeviceHandle() const { return Device; }
  const std::string& DeviceName() const { return DevName; }
  void SetDeviceName(const std::string& name) { DevName = name; }
  uint32_t InSize() const { return InSz; }
  uint32_t OutSize() const { return OutSz; }
  uint8_t ModemStatus() const { return Modem; }
  void SetModemStatusBits(uint8_t bits, bool on);
  // Milliseconds since the device was opened (the dispatch log's time).
  uint32_t ElapsedMs() const;

  // --- data -----------------------------------------------------------------------------
  // 0, -3006 (more than the output can take; nothing written) or -3004 (device took nothing).
  int PutBlock(const void* data, uint32_t count);
  int PutChar(uint8_t c) { return PutBlock(&c, 1); }
  // `count`, or -3007 when fewer bytes are available (nothing copied then).
  int GetBlock(void* buffer, uint32_t count);
  int PeekBlock(void* buffer, uint32_t count);
  // Bytes in the ring; in peek mode less what the current handler already took.
  uint32_t InBuffUsed() const;
  uint32_t OutBuffUsed();
  uint32_t OutBuffFree();
  void FlushInBuffer();
  void FlushOutBuffer();
  bool PeekMode() const { return Peeking; }

  // --- triggers -------------------------------------------------------------------------
  // A handle, or -5001 when no handle is free.
  int AddTimerTrigger();
  // Arms (activate true; a nonzero `ticks` replaces the stored duration) or disarms the
  // timer. 0 or -5003.
  int SetTimerTrigger(int handle, uint32_t ticks, bool activate);
  // Data trigger matching `match` in the incoming bytes; -5002 when longer than 21.
  int AddDataTrigger(const std::string& match, bool ignoreCase);
  // Status trigger of a kind (1 to 5), inactive until set; -1002 for a bad kind.
  int AddStatusTrigger(int kind);
  int SetStatusTrigger(int handle, uint16_t value, bool activate);
  // Handle 1 turns the data-available threshold off. 0 or -5003.
  int RemoveTrigger(int handle);
  void ChangeAvailThreshold(uint32_t count);
  uint32_t AvailThreshold() const { return Threshold; }
  size_t TimerTriggerCount() const { return Timers.size(); }
  bool TimerTriggerActive(int handle) const;

  std::unique_ptr<TQpSavedTriggers> SaveTriggers() const;
  void RestoreTriggers(const TQpSavedTriggers& saved);

  // --- handlers -------------------------------------------------------------------------
  void RegisterWindowHandler(host::TMessageTarget* window);
  void DeregisterWindowHandler(host::TMessageTarget* window);
  // Procedure and method handlers are identified by `key` (the object they belong to).
  void RegisterProcHandler(const void* key, TQpMethodHandler handler);
  void DeregisterProcHandler(const void* key);
  void RegisterMethodHandler(const void* key, TQpMethodHandler handler);
  void DeregisterMethodHandler(const void* key);
  bool MethodHandlerRegistered(const void* key) const;
  // 1: the port's own window wants deliveries; 2: it does not; 0: recompute.
  void SetPortWantsEvents(int mode);
  bool PortWantsEvents() const { return PortWants; }
  bool HasHandlers() const { return HandlersPresent; }

  // --- delivery state -------------------------------------------------------------------
  // True while a trigger delivery runs, or while the socket layer tells the port of a
  // socket event (it brackets that with Begin/EndExternalEvent).
  bool InEvent() const { return InEventFlag || ExternalEvents > 0; }
  bool Closing() const { return ClosingFlag; }
  bool Dispatching() const { return DispatchingFlag; }
  void BeginExternalEvent() { ++ExternalEvents; }
  void EndExternalEvent();

  // One dispatch pass (normal: reads and fires triggers).
  void Dispatch() { RunPass(true); }
  // A pass that only reads from the device.
  void DispatchWithoutTriggers() { RunPass(false); }

  // Flushes and closes the device. Outside a delivery the dispatcher stops at once;
  // during one it is marked closing and the delivery or pass finishes the stop.
  void Close();
  bool Started() const { return Timer != nullptr; }

  // --- trace (bytes sent 'T' and received 'R') ------------------------------------------
  int StartTracing(uint32_t size);  // 0, or -1002 above 4000000
  void AddTraceEntry(char code, uint8_t byte);
  void ClearTracing();
  void PauseTracing();
  void ResumeTracing();
  void StopTracing();
  int DumpTrace(const std::string& fileName, bool hex, bool allHex);    // 0 or negative
  int AppendTrace(const std::string& fileName, bool hex, bool allHex);  // 0 or negative
  TQpRecordState TraceState() const;
  TQpTrace& Trace() { return TraceRec; }

  // --- dispatch log ---------------------------------------------------------------------
  int StartLogging(uint32_t size);
  void AddDispatchEntry(uint8_t type, uint8_t subtype, uint32_t data, const void* payload = nullptr,
                        uint32_t length = 0);
  void ClearLogging();
  void PauseLogging();
  void ResumeLogging();
  void StopLogging();
  int DumpLog(const std::string& fileName, bool hex, bool allHex);
  int AppendLog(const std::string& fileName, bool hex, bool allHex);
  TQpRecordState LogState() const;
  TQpDispatchLog& Log() { return LogRec; }
  bool LogOn() const { return LogState() == rsOn; }

  // Frees a dispatcher whose port is going away. While it is still delivering (the port was
  // destroyed from one of its handlers) it is cut off from the port and freed once the
  // delivery is over.
  static void DisposeWhenIdle(std::unique_ptr<TQpBaseDispatcher> dispatcher);

  // --- the process-wide list ------------------------------------------------------------
  static TQpBaseDispatcher* FromIndex(int index);
  static TQpBaseDispatcher* FindByDevice(int deviceHandle);
  static size_t ListSize();

 protected:
  // Device operations of a concrete dispatcher.
  virtual int FlushDevice(int queue) = 0;  // 0 output, 1 input
  virtual int ReadDeviceStatus(TQpDeviceStatus& status) = 0;  // last device error
  virtual int ReadDevice(uint8_t* buffer, uint32_t count) = 0;
  virtual int WriteDevice(const uint8_t* data, uint32_t count) = 0;
  virtual void CloseDevice() = 0;

  // After the device is open: allocates the ring, records the sizes, reads the device
  // status once, records the time base and starts the pass timer.
  void FinishOpen(int deviceHandle, uint32_t inSize, uint32_t outSize);
  void SetDeviceHandle(int handle);
  virtual void Start();
  virtual void Stop();
  // Stops and frees the ring (the end of a close).
  void StopAndRelease();
  // False once this dispatcher is destroyed (for code that runs handlers).
  std::shared_ptr<bool> AliveToken() const { return Alive; }

 private:
  struct TWindowRec {
    host::TMessageTarget* Window;
    bool Deleted;
  };
  struct TMethodRec {
    const void* Key;
    TQpMethodHandler Handler;
    bool Deleted;
  };

  void RunPass(bool withTriggers);
  void ReadIntoRing();
  // 0 nothing delivered, 1 delivered, -1 a delivery reported failure.
  int CheckTriggers();
  int CheckTimerTriggers();
  int CheckStatusTriggers();
  int CheckDataTriggers();
  int SendEvent(uint32_t msg, uint32_t wParam, uint16_t data);
  void PurgeDeletedHandlers();
  void RecomputeHasHandlers();
  int NewHandle();
  bool HandleInUse(int handle) const;
  uint32_t RingCount() const;
  int CopyOut(void* buffer, uint32_t count, bool consume);
  void TraceBytes(char code, const uint8_t* data, uint32_t count);
  static void TryDispose(TQpBaseDispatcher* d);

  TQpCustomComPort* OwnerPort;
  int ListIndex = -1;
  int Device = -1;
  std::string DevName;
  uint32_t InSz = 0;
  uint32_t OutSz = 0;
  TQpDeviceStatus DevStatus;
  uint8_t Modem = 0;

  std::vector<uint8_t> Ring;
  uint32_t Head = 0;
  uint32_t Tail = 0;
  bool RingFull = false;
  // Running totals of bytes put into the ring and examined by the data check; their
  // difference is what the check has not seen yet (positions alone cannot tell an empty
  // stretch from a full one).
  uint64_t ReadTotal = 0;
  uint64_t ScanTotal = 0;
  uint64_t LastAvailTotal = 0;
  uint64_t ConsumedTotal = 0;
  uint32_t Threshold = 0;
  bool Peeking = false;
  uint32_t Taken = 0;
  uint32_t MostTaken = 0;
  uint32_t PeekTraced = 0;  // bytes of this delivery already traced
  bool OutputFull = false;
  bool OutputSent = false;

  std::vector<TQpTimerTrigger> Timers;
  std::vector<TQpDataTrigger> Datas;
  std::vector<TQpStatusTrigger> Statuses;
  std::vector<TWindowRec> Windows;
  std::vector<TMethodRec> Procs;
  std::vector<TMethodRec> Methods;
  bool HandlersPresent = false;
  bool PortWants = false;
  bool InEventFlag = false;
  int ExternalEvents = 0;
  bool RemovalPending = false;
  bool ClosingFlag = false;
  bool DispatchingFlag = false;
  bool StatusFired = false;
  uint32_t NextHandle = 1;
  int64_t TimeBaseMs = 0;

  QTimer* Timer = nullptr;
  std::unique_ptr<host::TMessageTarget> DispatchWindow;
  TQpTrace TraceRec;
  TQpDispatchLog LogRec;
  // Set while this object is alive; a handler that destroys the dispatcher is noticed.
  std::shared_ptr<bool> Alive;
};

}  // namespace quodra::port
