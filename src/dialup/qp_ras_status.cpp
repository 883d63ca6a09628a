#include "dialup/qp_ras_status.h"

#include "dialup/qp_ras_dialer.h"
#include "dialup/ras_types.h"
#include "host/message_target.h"

using quodra::port::TOperation;
using quodra::port::TQpBaseComponent;

TQpAbstractRasStatus::TQpAbstractRasStatus(TQpBaseComponent* owner) : TQpBaseComponent(owner) {
  // A dialer and a display placed side by side find each other when neither is linked yet.
  if (owner)
    for (TQpBaseComponent* c : owner->Components())
      if (auto* dialer = dynamic_cast<TQpCustomRasDialer*>(c); dialer && !dialer->StatusDisplay()) {
        SetRasDialer(dialer);
        break;
      }
}

TQpAbstractRasStatus::~TQpAbstractRasStatus() {
  if (FRasDialer && FRasDialer->StatusDisplay() == this) FRasDialer->LinkStatus(nullptr);
  if (FRasDialer) RemoveFreeNotification(FRasDialer);
  FRasDialer = nullptr;
}

void TQpAbstractRasStatus::SetCtl3D(bool on) {
  FCtl3D = on;
  if (FDisplay) FDisplay->SetCtl3D(on);
}

void TQpAbstractRasStatus::SetPosition(TPosition position) {
  FPosition = position;
  if (FDisplay) FDisplay->ApplyPosition(position);
}

void TQpAbstractRasStatus::SetRasDialer(TQpCustomRasDialer* dialer) {
  if (dialer == FRasDialer) return;
  TQpCustomRasDialer* old = FRasDialer;
  FRasDialer = nullptr;
  if (old) {
    RemoveFreeNotification(old);
    if (old->StatusDisplay() == this) old->SetStatusDisplay(nullptr);
  }
  FRasDialer = dialer;
  if (dialer) {
    FreeNotification(dialer);
    if (dialer->StatusDisplay() != this) dialer->SetStatusDisplay(this);
  }
}

void TQpAbstractRasStatus::Notification(TQpBaseComponent* component, TOperation operation) {
  if (operation == quodra::port::opRemove && FRasDialer &&
      component == static_cast<TQpBaseComponent*>(FRasDialer))
    FRasDialer = nullptr;
}

TQpRasStatus::TQpRasStatus(TQpBaseComponent* owner) : TQpAbstractRasStatus(owner) {
  Window = std::make_unique<quodra::host::TMessageTarget>([this](const quodra::host::TMessage& m) { WindowProc(m); });
}

TQpRasStatus::~TQpRasStatus() {
  DestroyDisplay();
  Window.reset();
}

void TQpRasStatus::CreateDisplay(const std::string& entryName) {
  DestroyDisplay();
  FDisplay = new TRasStatusDisplay();
  FDisplay->SetEntryName(entryName);
  FDisplay->SetCtl3D(Ctl3D());
  FDisplay->OnCancel = [this] { Cancel(); };
  FDisplay->ApplyPosition(Position());
  FDisplay->show();
}

void TQpRasStatus::DestroyDisplay() {
  if (!FDisplay) return;
  TRasStatusDisplay* d = FDisplay;
  FDisplay = nullptr;
  // Safe to free at once: the display reaches us only through a posted message (Cancel).
  delete d;
}

void TQpRasStatus::UpdateDisplay(const std::string& statusText) {
  if (FDisplay) FDisplay->SetStatusText(statusText);
}

void TQpRasStatus::Cancel() { Window->Post(quodra::dialup::kRasStatusCancelMessage, 1, 0); }

void TQpRasStatus::WindowProc(const quodra::host::TMessage& msg) {
  if (msg.Msg == quodra::dialup::kRasStatusCancelMessage && msg.WParam == 1 && RasDialer()) RasDialer()->Hangup();
}
