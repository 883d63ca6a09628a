#pragma once
// The device-independent communications port: open state, buffer sizes, trace and dispatch
// log settings, trigger events, the port window and the dispatcher it owns, and the list of
// port users that want to hear of open, closing and close.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "port/qp_dispatcher.h"
#include "port/qp_port_component.h"
#include "port/qp_trace_log.h"

namespace quodra::host {
class TMessageTarget;
struct TMessage;
}  // namespace quodra::host

namespace quodra::port {

enum TDeviceLayer { dlWin32, dlWinsock };
enum TParity { pNone, pOdd, pEven, pMark, pSpace };
enum TFlowControl { fcNone, fcXonXoff, fcHardware };

// Events of a port user: what a port tells the components that registered with it.
enum TPortUserEvent { peOpen = 0, peClosing = 1, peClose = 2 };

// Messages a window user receives.
constexpr uint32_t kQpMsgPortOpen = 32264;
constexpr uint32_t kQpMsgPortClose = 32265;
constexpr uint32_t kQpMsgPortClosing = 32266;  // also the port's own deferred-close message


class TQpCustomComPort;

using TNotifyEvent = std::function<void(TQpBaseComponent* sender)>;
using TTriggerEvent =
    std::function<void(TQpBaseComponent* sender, uint32_t msg, uint16_t triggerHandle, uint16_t data)>;
using TTriggerAvailEvent = std::function<void(TQpBaseComponent* sender, uint16_t count)>;
using TTriggerHandleEvent = std::function<void(TQpBaseComponent* sender, uint16_t triggerHandle)>;
using TTriggerLineErrorEvent =
    std::function<void(TQpBaseComponent* sender, uint16_t lineError, bool lineBreak)>;

using TPortCallback = std::function<void(TQpCustomComPort* port, bool opening)>;
using TPortCallbackEx = std::function<void(TQpCustomComPort* port, TPortUserEvent event)>;

class TQpCustomComPort : public TQpBaseComponent {
 public:
  explicit TQpCustomComPort(TQpBaseComponent* owner = nullptr);
  ~TQpCustomComPort() override;

  // --- open state -----------------------------------------------------------------------
  bool Open() const { return OpenProp; }
  // True opens the port (may throw: the port stays closed), false closes it. While loading
  // or designing the value is only recorded.
  void SetOpen(bool open);
  bool IsClosing() const { return State == osClosing; }

  TDeviceLayer DeviceLayer() const { return Layer; }
  void SetDeviceLayer(TDeviceLayer layer) { Layer = layer; }
  uint16_t InSize() const { return InSizeProp; }
  void SetInSize(uint16_t size) { InSizeProp = size; }
  uint16_t OutSize() const { return OutSizeProp; }
  void SetOutSize(uint16_t size) { OutSizeProp = size; }
  uint16_t AvailThreshold() const { return Threshold; }
  void SetAvailThreshold(uint16_t count);
  bool AutoOpen() const { return AutoOpenProp; }
  void SetAutoOpen(bool on) { AutoOpenProp = on; }

  // Serial-line settings: kept for completeness, no effect on a socket.
  int ComNumber() const { return ComNumberProp; }
  void SetComNumber(int n) { ComNumberProp = n; }
  uint32_t Baud() const { return BaudProp; }
  void SetBaud(uint32_t baud) { BaudProp = baud; }
  uint8_t DataBits() const { return DataBitsProp; }
  void SetDataBits(uint8_t bits) { DataBitsProp = bits; }
  uint8_t StopBits() const { return StopBitsProp; }
  void SetStopBits(uint8_t bits) { StopBitsProp = bits; }
  TParity Parity() const { return ParityProp; }
  void SetParity(TParity p) { ParityProp = p; }
  TFlowControl FlowControl() const { return FlowProp; }
  void SetFlowControl(TFlowControl f) { FlowProp = f; }
  uint8_t XOnChar() const { return XOnProp; }
  void SetXOnChar(uint8_t c) { XOnProp = c; }
  uint8_t XOffChar() const { return XOffProp; }
  void SetXOffChar(uint8_t c) { XOffProp = c; }

  // --- trace and dispatch log -----------------------------------------------------------
  TTraceLogState Tracing() const { return TracingProp; }
  void SetTracing(TTraceLogState state);
  uint32_t TraceSize() const { return TraceSizeProp; }
  void SetTraceSize(uint32_t size);
  const std::string& TraceName() const { return TraceNameProp; }
  void SetTraceName(const std::string& name);
  bool TraceHex() const { return TraceHexProp; }
  void SetTraceHex(bool on) { TraceHexProp = on; }
  bool TraceAllHex() const { return TraceAllHexProp; }
  void SetTraceAllHex(bool on) { TraceAllHexProp = on; }

  TTraceLogState Logging() const { return LoggingProp; }
  void SetLogging(TTraceLogState state);
  uint32_t LogSize() const { return LogSizeProp; }
  void SetLogSize(uint32_t size);
  const std::string& LogName() const { return LogNameProp; }
  void SetLogName(const std::string& name);
  bool LogHex() const { return LogHexProp; }
  void SetLogHex(bool on) { LogHexProp = on; }
  bool LogAllHex() const { return LogAllHexProp; }
  void SetLogAllHex(bool on) { LogAllHexProp = on; }

  // --- dispatcher access ----------------------------------------------------------------
  // The dispatcher, opening the port first when it is closed and AutoOpen is set; nullptr
  // when there is none.
  TQpBaseDispatcher* Dispatcher();
  // The dispatcher without opening anything; nullptr while closed.
  TQpBaseDispatcher* CurrentDispatcher() const { return Disp.get(); }
  // As Dispatcher(), but throws ECommNotOpen (-2007) when there is none.
  TQpBaseDispatcher& ValidDispatcher();

  // Hand bytes to the dispatcher's output. A negative result is raised as its exception;
  // while the port is closing the bytes are ignored.
  void PutBlock(const void* data, size_t count);
  void PutString(const std::string& text);

  // --- port users -----------------------------------------------------------------------
  // `key` identifies the registration; deregistering by it removes every record with it.
  void RegisterUserWindow(host::TMessageTarget* window, bool wantsClosing = false);
  void DeregisterUserWindow(host::TMessageTarget* window);
  void RegisterUserCallback(const void* key, TPortCallback callback, bool wantsClosing = false);
  void RegisterUserCallbackEx(const void* key, TPortCallbackEx callback, bool wantsClosing = false);
  void DeregisterUserCallback(const void* key);
  size_t UserCount() const { return Users.size(); }

  // Triggers that survive a close and are put back into the next dispatcher.
  bool HasSavedTriggers() const { return Saved != nullptr; }

  // --- events ---------------------------------------------------------------------------
  TTriggerEvent OnTrigger;
  TTriggerAvailEvent OnTriggerAvail;
  TTriggerHandleEvent OnTriggerData;
  TTriggerHandleEvent OnTriggerStatus;
  TTriggerHandleEvent OnTriggerTimer;
  TTriggerLineErrorEvent OnTriggerLineError;
  TNotifyEvent OnTriggerModemStatus;
  TNotifyEvent OnTriggerOutbuffFree;
  TNotifyEvent OnTriggerOutbuffUsed;
  TNotifyEvent OnTriggerOutSent;
  TNotifyEvent OnPortOpen;
  TNotifyEvent OnPortClose;

  // True when any of the ten trigger events has a handler: the dispatcher then delivers its
  // trigger messages to the port itself.
  bool WantsTriggerEvents() const;

  // Called by the dispatcher before each delivery so that handlers assigned at any time
  // are honoured.
  void SyncTriggerRegistration();

  // The dispatcher index carried in a trigger message, and the data beside it.
  static int DispatcherIndexOf(intptr_t lParam) { return static_cast<int>((static_cast<uintptr_t>(lParam) >> 16) & 0xFFFF); }
  static uint16_t TriggerDataOf(intptr_t lParam) { return static_cast<uint16_t>(lParam & 0xFFFF); }

  // Handles one message of the port window. Descendants add their own messages.
  virtual void PortWindowMessage(const host::TMessage& m);

  // The answer the socket layer asks for when it tells the port of a socket event
  // (an accept is answered true or false); 0 for events without an answer.
  virtual intptr_t SocketEvent(uint32_t event, intptr_t param) { return 0; }

 protected:
  enum TOpenState { osClosed, osClosing, osOpen };

  void Loaded() override;

  // Opening and closing, in the order the port base fixes; the device-specific steps are
  // the virtual operations below.
  void InitPort();
  void DonePort();
  virtual std::unique_ptr<TQpBaseDispatcher> CreateDispatcher() = 0;
  // Opens the device; answers 0 or a negative code (or throws).
  virtual int OpenDevice() = 0;
  // Raised last in DonePort, after OnPortClose.
  virtual void PortClosed() {}

  virtual void DoTrigger(uint32_t msg, uint16_t triggerHandle, uint16_t data);
  virtual void DoTriggerAvail(uint16_t count);
  virtual void DoTriggerData(uint16_t triggerHandle);
  virtual void DoTriggerStatus(uint16_t triggerHandle);
  virtual void DoTriggerTimer(uint16_t triggerHandle);
  virtual void DoTriggerLineError(uint16_t lineError, bool lineBreak);
  virtual void DoTriggerModemStatus();
  virtual void DoTriggerOutbuffFree();
  virtual void DoTriggerOutbuffUsed();
  virtual void DoTriggerOutSent();
  virtual void DoPortOpen();
  virtual void DoPortClose();

  host::TMessageTarget* PortWindow() const { return Window.get(); }
  // Closes an open port; descendants call it first thing in their destructor, while their
  // own operations can still run.
  void CloseForDestroy();

 private:
  struct TUserRecord {
    host::TMessageTarget* Window = nullptr;
    const void* Key = nullptr;
    TPortCallback Callback;
    TPortCallbackEx CallbackEx;
    bool WantsClosing = false;
  };

  void NotifyUsers(TPortUserEvent event);
  void ApplyTracing(TTraceLogState state, bool force);
  void ApplyLogging(TTraceLogState state, bool force);
  void FinishClose();
  void DeferredClose(const host::TMessage& m);
  void DestroyWindow();
  void DeliverTrigger(const host::TMessage& m);

  std::unique_ptr<TQpBaseDispatcher> Disp;
  std::unique_ptr<host::TMessageTarget> Window;
  std::unique_ptr<TQpSavedTriggers> Saved;
  std::vector<TUserRecord> Users;
  TOpenState State = osClosed;
  bool OpenProp = false;
  bool OpenRequested = false;      // Open := true while a deferred close was pending
  bool StoredOpen = false;         // Open recorded while loading
  int WindowDepth = 0;             // port window messages being handled
  std::shared_ptr<bool> PortAlive = std::make_shared<bool>(true);
  bool LastWantsEvents = false;
  bool WantsKnown = false;

  TDeviceLayer Layer = dlWin32;
  uint16_t InSizeProp = 4096;
  uint16_t OutSizeProp = 4096;
  uint16_t Threshold = 1;
  bool AutoOpenProp = true;
  int ComNumberProp = 0;
  uint32_t BaudProp = 19200;
  uint8_t DataBitsProp = 8;
  uint8_t StopBitsProp = 1;
  TParity ParityProp = pNone;
  TFlowControl FlowProp = fcNone;
  uint8_t XOnProp = 17;
  uint8_t XOffProp = 19;

  TTraceLogState TracingProp = tlOff;
  uint32_t TraceSizeProp = 10000;
  std::string TraceNameProp = "QPORT.TRC";
  bool TraceHexProp = true;
  bool TraceAllHexProp = false;
  TTraceLogState LoggingProp = tlOff;
  uint32_t LogSizeProp = 10000;
  std::string LogNameProp = "QPORT.LOG";
  bool LogHexProp = true;
  bool LogAllHexProp = false;
};

}  // namespace quodra::port
