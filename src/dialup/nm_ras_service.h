#pragma once
// The remote access service on NetworkManager (system bus, QtDBus). Phonebook entries are
// its connection profiles of dial-up kinds: mobile broadband (gsm, cdma), PPPoE, ADSL, VPN
// and any profile with PPP settings. Dialling activates a profile, hanging up deactivates
// it; its activation, device and VPN states are mapped onto the dial states, and its failure
// reasons onto the service's error numbers.
#include <QDBusConnection>
#include <QDBusMessage>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>
#include <QVariantMap>
#include <map>
#include <memory>

#include "dialup/ras_service.h"
#include "host/message_target.h"

namespace quodra::dialup {

class TNmRasService : public QObject, public TRasService {
  Q_OBJECT
 public:
  // `bus` is normally the system bus; tests hand in a private one.
  explicit TNmRasService(QDBusConnection bus);
  ~TNmRasService() override;

  // True when NetworkManager answers on `bus`.
  static bool Available(const QDBusConnection& bus);

  std::string Name() const override { return "NetworkManager"; }
  int Dial(const std::string& phonebook, const TRasDialParams& params, uint32_t extOptions,
           quodra::host::TMessageTarget* notifier, TRasHandle& handle) override;
  int HangUp(TRasHandle handle) override;
  int GetConnectStatus(TRasHandle handle, int& state) override;
  int EnumConnections(std::vector<TRasConnection>& out, size_t max) override;
  int EnumEntries(const std::string& phonebook, std::vector<std::string>& out, size_t max) override;
  int GetEntryDialParams(const std::string& phonebook, TRasDialParams& params, bool& passwordReturned) override;
  int SetEntryDialParams(const std::string& phonebook, const TRasDialParams& params, bool removePassword) override;
  int EditEntry(const std::string& phonebook, const std::string& entryName) override;
  int CreateEntry(const std::string& phonebook) override;

  // Mappings, public for tests.
  static int DeviceStateToDialState(uint deviceState);
  static int VpnStateToDialState(uint vpnState);
  static int ActiveReasonToError(uint reason);
  static int DeviceReasonToError(uint reason);
  static int VpnReasonToError(uint reason);
  static bool IsDialupType(const QString& type, const QMap<QString, QVariantMap>& settings);

 private slots:
  void OnActiveStateChanged(const QDBusMessage& msg);
  void OnVpnStateChanged(const QDBusMessage& msg);
  void OnDeviceStateChanged(const QDBusMessage& msg);

 private:
  using TSettings = QMap<QString, QVariantMap>;
  struct TProfile {
    QString Path;
    QString Uuid;
    QString Type;
    TSettings Settings;
  };
  struct TActive {
    TRasHandle Handle = 0;
    QString ActivePath;
    QString DevicePath;
    std::string EntryName;
    int State = 0;
    bool Connected = false;
    bool Finished = false;  // the dial has ended (connected or failed)
    int Error = 0;
    bool Released = false;  // hung up by us
    QPointer<quodra::host::TMessageTarget> Notifier;
    std::unique_ptr<QTimer> Guard;
  };

  std::vector<TProfile> Profiles(int& error);
  bool FindProfile(const std::string& name, TProfile& out, int& error);
  TSettings Secrets(const TProfile& p, const QString& setting);
  TActive* FindByPath(const QString& activePath);
  void Report(TActive& a, int state, int error);
  void Fail(TActive& a, int error);
  void Subscribe(TActive& a);
  void Unsubscribe(TActive& a);
  int RunEditor(const QStringList& args);

  QDBusConnection Bus;
  std::map<TRasHandle, std::unique_ptr<TActive>> Actives;
  TRasHandle NextHandle = 1;
};

}  // namespace quodra::dialup
