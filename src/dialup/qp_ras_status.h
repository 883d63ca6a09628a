#pragma once
// Status displays for the dialer. The abstract base holds the settings and the link to the
// dialer; TQpRasStatus shows TRasStatusDisplay while a dial runs, and its Cancel button
// hangs the dialer up.
#include <memory>
#include <string>

#include "dialup/ras_status_display.h"
#include "port/qp_port_component.h"

namespace quodra::host {
class TMessageTarget;
struct TMessage;
}  // namespace quodra::host

class TQpCustomRasDialer;

class TQpAbstractRasStatus : public quodra::port::TQpBaseComponent {
 public:
  explicit TQpAbstractRasStatus(quodra::port::TQpBaseComponent* owner = nullptr);
  ~TQpAbstractRasStatus() override;

  bool Ctl3D() const { return FCtl3D; }
  void SetCtl3D(bool on);
  TPosition Position() const { return FPosition; }
  void SetPosition(TPosition position);
  TQpCustomRasDialer* RasDialer() const { return FRasDialer; }
  // Links both ways: the dialer's StatusDisplay becomes this display.
  void SetRasDialer(TQpCustomRasDialer* dialer);

  // The form while one is shown, else null.
  TRasStatusDisplay* Display() const { return FDisplay; }

  // Called by the dialer.
  virtual void CreateDisplay(const std::string& entryName) = 0;
  virtual void DestroyDisplay() = 0;
  virtual void UpdateDisplay(const std::string& statusText) = 0;

 protected:
  void Notification(quodra::port::TQpBaseComponent* component, quodra::port::TOperation operation) override;
  TRasStatusDisplay* FDisplay = nullptr;

 private:
  friend class TQpCustomRasDialer;
  void LinkDialer(TQpCustomRasDialer* dialer) { FRasDialer = dialer; }

  bool FCtl3D = true;
  TPosition FPosition = poScreenCenter;
  TQpCustomRasDialer* FRasDialer = nullptr;
};

class TQpRasStatus : public TQpAbstractRasStatus {
 public:
  explicit TQpRasStatus(quodra::port::TQpBaseComponent* owner = nullptr);
  ~TQpRasStatus() override;

  void CreateDisplay(const std::string& entryName) override;
  void DestroyDisplay() override;
  void UpdateDisplay(const std::string& statusText) override;

  // What the Cancel button does: posts the cancel message to the hidden window, so that the
  // hang-up runs after the button's own handler has returned.
  void Cancel();

 private:
  void WindowProc(const quodra::host::TMessage& msg);
  std::unique_ptr<quodra::host::TMessageTarget> Window;
};
