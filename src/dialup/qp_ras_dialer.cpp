#include "dialup/qp_ras_dialer.h"

#include "dialup/qp_ras_status.h"
#include "dialup/ras_error_text.h"
#include "dialup/ras_service.h"
#include "host/clock.h"
#include "host/event_wait.h"
#include "host/message_target.h"
#include "port/qp_except.h"
#include "port/qp_str_mgr.h"

using namespace quodra::dialup;
using quodra::port::TOperation;
using quodra::port::TQpBaseComponent;

namespace {

// How long a hang-up waits for the service to release the connection, and how often it looks.
constexpr int64_t kReleaseWaitMs = 15000;
constexpr int64_t kReleasePollMs = 20;
constexpr int kWatchIntervalMs = 1000;

}  // namespace

TQpCustomRasDialer::TQpCustomRasDialer(TQpBaseComponent* owner) : TQpBaseComponent(owner) {
  Window = std::make_unique<quodra::host::TMessageTarget>([this](const quodra::host::TMessage& m) { WindowProc(m); });
  DiscTimer = std::make_unique<QTimer>();
  DiscTimer->setObjectName("QpRasDiscTimer");
  DiscTimer->setInterval(kWatchIntervalMs);
  QObject::connect(DiscTimer.get(), &QTimer::timeout, [this] { WatchConnection(); });
  // A dialer and a display placed side by side find each other when neither is linked yet.
  if (owner)
    for (TQpBaseComponent* c : owner->Components())
      if (auto* status = dynamic_cast<TQpAbstractRasStatus*>(c); status && !status->RasDialer()) {
        SetStatusDisplay(status);
        break;
      }
}

TQpCustomRasDialer::~TQpCustomRasDialer() {
  DiscTimer.reset();
  if (!Designing() && FHangupOnDestroy) {
    Destroying = true;
    try {
      Hangup();
    } catch (...) {
      // Nothing to drop without a service; a destructor reports nothing.
    }
  }
  if (FStatusDisplay) {
    RemoveFreeNotification(FStatusDisplay);
    if (FStatusDisplay->RasDialer() == this) FStatusDisplay->LinkDialer(nullptr);
    FStatusDisplay = nullptr;
  }
  Window.reset();
}

void TQpCustomRasDialer::SetStatusDisplay(TQpAbstractRasStatus* display) {
  if (display == FStatusDisplay) return;
  TQpAbstractRasStatus* old = FStatusDisplay;
  FStatusDisplay = nullptr;
  if (old) {
    RemoveFreeNotification(old);
    if (old->RasDialer() == this) old->SetRasDialer(nullptr);
  }
  FStatusDisplay = display;
  if (display) {
    FreeNotification(display);
    if (display->RasDialer() != this) display->SetRasDialer(this);
  }
}

void TQpCustomRasDialer::Notification(TQpBaseComponent* component, TOperation operation) {
  if (operation == quodra::port::opRemove && FStatusDisplay &&
      component == static_cast<TQpBaseComponent*>(FStatusDisplay))
    FStatusDisplay = nullptr;
}

void TQpCustomRasDialer::SetEntryName(const std::string& v) {
  FEntryName = v;
  if (Designing() || Loading()) return;
  try {
    GetDialParameters();
  } catch (const std::exception&) {
    // Loading the stored parameters is a convenience of the setter; its failure is silent.
  }
}

TRasDialParams TQpCustomRasDialer::DialParams() const {
  return {FEntryName, FPhoneNumber, FCallBackNumber, FUserName, FPassword, FDomain};
}

int TQpCustomRasDialer::Dial() {
  Hangup();
  quodra::host::TMessageTarget* notifier = nullptr;
  if (FDialMode == dmAsync) {
    notifier = Window.get();
    if (FStatusDisplay) FStatusDisplay->CreateDisplay(FEntryName);
  }
  Handle = 0;
  TRasDialParams params = DialParams();
  uint32_t ext = DialExtensionOptions(FDialOptions, FSpeakerMode, FCompressionMode);
  // Over-long values are refused rather than cut: a shortened password or number would only
  // fail later, and less clearly.
  int rc = DialParamsFit(params) ? RasService().Dial(FPhonebook, params, ext, notifier, Handle)
                                 : kRasErrorInvalidParameter;
  if (rc != 0) {
    Hangup();
    return rc;
  }
  DiscTimer->start();
  return 0;
}

int TQpCustomRasDialer::Hangup() {
  // A hang-up waits in the event loop; a second one arriving meanwhile (Cancel, the watch)
  // has nothing left to do.
  if (HangingUp) return 0;
  HangingUp = true;
  struct TReset {
    bool& Flag;
    ~TReset() { Flag = false; }
  } reset{HangingUp};

  TRasService& service = RasService();
  TRasHandle h = Handle;
  if (h == 0) {
    std::vector<TRasConnection> conns;
    if (service.EnumConnections(conns, kRasMaxEntries) == 0) {
      for (const TRasConnection& c : conns)
        if (FEntryName.empty() || c.EntryName == FEntryName) {
          h = c.Handle;
          break;
        }
    }
  }
  int rc = 0;
  if (h != 0) {
    rc = service.HangUp(h);
    // Progress of the dropped dial must not arrive after the hang-up.
    Window->DropQueued();
    int state = 0;
    if (Destroying) {
      // No waiting in a destructor: the event loop could reach objects being torn down.
    } else {
      const int64_t deadline = quodra::host::NowMs() + kReleaseWaitMs;
      while (service.GetConnectStatus(h, state) != kRasErrorInvalidHandle && quodra::host::NowMs() < deadline)
        quodra::host::WaitMs(kReleasePollMs);
    }
  }
  Handle = 0;
  if (FStatusDisplay) FStatusDisplay->DestroyDisplay();
  if (!Destroying) DisconnectStep();
  return rc == kRasErrorInvalidHandle ? 0 : rc;
}

void TQpCustomRasDialer::DisconnectStep() {
  if (DiscTimer) DiscTimer->stop();
  if (FStatusDisplay) FStatusDisplay->DestroyDisplay();
  DoDisconnected();
}

void TQpCustomRasDialer::WatchConnection() {
  if (GetConnectState() == kRasDisconnected) Hangup();
}

void TQpCustomRasDialer::WindowProc(const quodra::host::TMessage& msg) {
  if (msg.Msg != kRasDialEventMessage) return;
  const int state = static_cast<int>(msg.WParam);
  const int error = static_cast<int>(msg.LParam);
  if (error != 0) {
    if (FStatusDisplay) FStatusDisplay->UpdateDisplay(GetErrorText(error));
    DoDialError(error);
    Hangup();
    return;
  }
  switch (state) {
    case kRasConnected:
      if (FStatusDisplay) FStatusDisplay->DestroyDisplay();
      DoConnected();
      break;
    case kRasDisconnected:
      DisconnectStep();
      break;
    default:
      if (FStatusDisplay) FStatusDisplay->UpdateDisplay(StatusText(state));
      DoDialStatus(state);
      break;
  }
}

std::string TQpCustomRasDialer::StatusText(int state) const {
  if (state == kRasConnectDevice) return "Dialing " + FPhoneNumber;
  if ((state >= 0 && state <= 23) || (state >= 4096 && state <= 4099))
    return quodra::port::QpLoadStr(quodra::port::kRasStateNameBase + state);
  return {};
}

int TQpCustomRasDialer::ListEntries(std::vector<std::string>* list) {
  if (!list) throw quodra::port::EBadArgument();
  list->clear();
  std::vector<std::string> names;
  int rc = RasService().EnumEntries(FPhonebook, names, kRasMaxEntries);
  if (rc == 0) list->insert(list->end(), names.begin(), names.end());
  return rc;
}

int TQpCustomRasDialer::GetDialParameters() {
  if (FEntryName.empty()) return kRasErrorCannotFindEntry;
  if (FEntryName.size() > kRasMaxEntryName) return kRasErrorInvalidParameter;
  TRasDialParams params;
  params.EntryName = FEntryName;
  bool passwordReturned = false;
  int rc = RasService().GetEntryDialParams(FPhonebook, params, passwordReturned);
  if (rc != 0) return rc;
  FPhoneNumber = params.PhoneNumber;
  FCallBackNumber = params.CallBackNumber;
  FUserName = params.UserName;
  FDomain = params.Domain;
  FPassword = passwordReturned ? params.Password : std::string();
  return 0;
}

int TQpCustomRasDialer::SetDialParameters() {
  if (FEntryName.empty()) return kRasErrorCannotFindEntry;
  TRasDialParams params = DialParams();
  if (!DialParamsFit(params)) return kRasErrorInvalidParameter;
  return RasService().SetEntryDialParams(FPhonebook, params, false);
}

int TQpCustomRasDialer::EditPhonebookEntry() {
  if (FEntryName.empty()) return kRasErrorCannotFindEntry;
  if (FEntryName.size() > kRasMaxEntryName) return kRasErrorInvalidParameter;
  return RasService().EditEntry(FPhonebook, FEntryName);
}

int TQpCustomRasDialer::CreatePhonebookEntry() { return RasService().CreateEntry(FPhonebook); }

std::string TQpCustomRasDialer::GetErrorText(int error) const { return RasErrorText(error); }

int TQpCustomRasDialer::GetConnectState() {
  if (Handle == 0) return 0;
  int state = 0;
  return RasService().GetConnectStatus(Handle, state) == 0 ? state : 0;
}

void TQpCustomRasDialer::DoConnected() {
  if (OnConnected) OnConnected(this);
}

void TQpCustomRasDialer::DoDialStatus(int status) {
  if (OnDialStatus) OnDialStatus(this, status);
}

void TQpCustomRasDialer::DoDialError(int error) {
  if (OnDialError) OnDialError(this, error);
}

void TQpCustomRasDialer::DoDisconnected() {
  if (OnDisconnected) OnDisconnected(this);
}
