#pragma once
// The dial-up component: dials a phonebook entry of the remote access service, reports the
// connection states it passes through, and hangs up. Results come back as error numbers of
// the service (0 for success); the progress of an asynchronous dial arrives as messages to
// a hidden window and is turned into the events below.
#include <QTimer>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "dialup/ras_types.h"
#include "port/qp_port_component.h"

namespace quodra::host {
class TMessageTarget;
struct TMessage;
}  // namespace quodra::host
namespace quodra::dialup {
class TRasService;
}

class TQpAbstractRasStatus;
class TQpCustomRasDialer;

using TQpRasNotifyEvent = std::function<void(TQpCustomRasDialer* Sender)>;
using TQpRasStatusEvent = std::function<void(TQpCustomRasDialer* Sender, int Status)>;
using TQpRasErrorEvent = std::function<void(TQpCustomRasDialer* Sender, int Error)>;

class TQpCustomRasDialer : public quodra::port::TQpBaseComponent {
 public:
  explicit TQpCustomRasDialer(quodra::port::TQpBaseComponent* owner = nullptr);
  ~TQpCustomRasDialer() override;

  // --- properties ---
  const std::string& Phonebook() const { return FPhonebook; }
  void SetPhonebook(const std::string& v) { FPhonebook = v; }
  const std::string& EntryName() const { return FEntryName; }
  // At run time this loads the entry's stored dial parameters (GetDialParameters); a failure
  // of that leaves the other properties as they are and is not reported.
  void SetEntryName(const std::string& v);
  const std::string& PhoneNumber() const { return FPhoneNumber; }
  void SetPhoneNumber(const std::string& v) { FPhoneNumber = v; }
  const std::string& CallBackNumber() const { return FCallBackNumber; }
  void SetCallBackNumber(const std::string& v) { FCallBackNumber = v; }
  const std::string& UserName() const { return FUserName; }
  void SetUserName(const std::string& v) { FUserName = v; }
  const std::string& Password() const { return FPassword; }
  void SetPassword(const std::string& v) { FPassword = v; }
  const std::string& Domain() const { return FDomain; }
  void SetDomain(const std::string& v) { FDomain = v; }
  TQpRasDialMode DialMode() const { return FDialMode; }
  void SetDialMode(TQpRasDialMode v) { FDialMode = v; }
  const TQpRasDialOptions& DialOptions() const { return FDialOptions; }
  void SetDialOptions(const TQpRasDialOptions& v) { FDialOptions = v; }
  TQpRasSpeakerMode SpeakerMode() const { return FSpeakerMode; }
  void SetSpeakerMode(TQpRasSpeakerMode v) { FSpeakerMode = v; }
  TQpRasCompressionMode CompressionMode() const { return FCompressionMode; }
  void SetCompressionMode(TQpRasCompressionMode v) { FCompressionMode = v; }
  bool HangupOnDestroy() const { return FHangupOnDestroy; }
  void SetHangupOnDestroy(bool v) { FHangupOnDestroy = v; }
  TQpAbstractRasStatus* StatusDisplay() const { return FStatusDisplay; }
  // Links both ways: the display's RasDialer becomes this dialer.
  void SetStatusDisplay(TQpAbstractRasStatus* display);

  // --- events ---
  TQpRasNotifyEvent OnConnected;
  TQpRasStatusEvent OnDialStatus;
  TQpRasErrorEvent OnDialError;
  TQpRasNotifyEvent OnDisconnected;

  // --- operations: each answers the service's error number, 0 for success ---
  // Hangs up, then starts dialling EntryName. A refusal is answered after a hang-up.
  int Dial();
  // Drops the connection, waits until the service has released it, fires OnDisconnected.
  int Hangup();
  // Clears `list` and fills it with the phonebook's entry names (at most 65). A null list
  // raises EBadArgument.
  int ListEntries(std::vector<std::string>* list);
  int GetDialParameters();
  int SetDialParameters();
  int EditPhonebookEntry();
  int CreatePhonebookEntry();
  std::string GetErrorText(int error) const;
  // The current connection state, 0 when it cannot be read.
  int GetConnectState();

  // The status text shown for a connection state ("Dialing " and the number for state 2).
  std::string StatusText(int state) const;

 protected:
  virtual void DoConnected();
  virtual void DoDialStatus(int status);
  virtual void DoDialError(int error);
  virtual void DoDisconnected();
  void Notification(quodra::port::TQpBaseComponent* component, quodra::port::TOperation operation) override;

 private:
  friend class TQpAbstractRasStatus;
  void WindowProc(const quodra::host::TMessage& msg);
  void DisconnectStep();
  void WatchConnection();
  quodra::dialup::TRasDialParams DialParams() const;
  void LinkStatus(TQpAbstractRasStatus* display) { FStatusDisplay = display; }

  std::string FPhonebook, FEntryName, FPhoneNumber, FCallBackNumber, FUserName, FPassword, FDomain;
  TQpRasDialMode FDialMode = dmAsync;
  TQpRasDialOptions FDialOptions;
  TQpRasSpeakerMode FSpeakerMode = smDefault;
  TQpRasCompressionMode FCompressionMode = cmDefault;
  bool FHangupOnDestroy = true;
  TQpAbstractRasStatus* FStatusDisplay = nullptr;

  quodra::dialup::TRasHandle Handle = 0;
  std::unique_ptr<quodra::host::TMessageTarget> Window;
  std::unique_ptr<QTimer> DiscTimer;
  bool Destroying = false;
  bool HangingUp = false;
};

// The component as placed on a form: every property published.
class TQpRasDialer : public TQpCustomRasDialer {
 public:
  using TQpCustomRasDialer::TQpCustomRasDialer;
};
