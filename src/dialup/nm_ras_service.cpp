#include "dialup/nm_ras_service.h"

#include <QDBusArgument>
#include <QDBusConnectionInterface>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusReply>
#include <QDBusVariant>
#include <QProcess>
#include <QStandardPaths>

#include "host/clock.h"
#include "host/event_wait.h"
#include "host/text_util.h"

namespace quodra::dialup {
namespace {

const QString kService = QStringLiteral("org.freedesktop.NetworkManager");
const QString kManagerPath = QStringLiteral("/org/freedesktop/NetworkManager");
const QString kManagerIface = QStringLiteral("org.freedesktop.NetworkManager");
const QString kSettingsPath = QStringLiteral("/org/freedesktop/NetworkManager/Settings");
const QString kSettingsIface = QStringLiteral("org.freedesktop.NetworkManager.Settings");
const QString kConnectionIface = QStringLiteral("org.freedesktop.NetworkManager.Settings.Connection");
const QString kActiveIface = QStringLiteral("org.freedesktop.NetworkManager.Connection.Active");
const QString kVpnIface = QStringLiteral("org.freedesktop.NetworkManager.VPN.Connection");
const QString kDeviceIface = QStringLiteral("org.freedesktop.NetworkManager.Device");
const QString kPropsIface = QStringLiteral("org.freedesktop.DBus.Properties");

// A dial that reaches no outcome in this time is failed and hung up.
constexpr int kDialGuardMs = 180000;
// A synchronous dial waits at most this long as well.
constexpr int64_t kSyncDialWaitMs = kDialGuardMs + 5000;

// Active connection states.
constexpr uint kActiveActivated = 2;
constexpr uint kActiveDeactivated = 4;

using TSettingsMap = QMap<QString, QVariantMap>;
using TStringMap = QMap<QString, QString>;

void RegisterTypes() {
  static const bool done = [] {
    qDBusRegisterMetaType<TSettingsMap>();
    qDBusRegisterMetaType<TStringMap>();
    return true;
  }();
  (void)done;
}

// The settings group that holds the user name and password of a profile type.
QString CredentialsSetting(const QString& type) {
  if (type == "gsm" || type == "cdma" || type == "pppoe" || type == "vpn") return type;
  if (type == "adsl") return "adsl";
  return "ppp";
}

TStringMap StringMapOf(const QVariant& v) {
  if (v.canConvert<QDBusArgument>()) return qdbus_cast<TStringMap>(v.value<QDBusArgument>());
  if (v.canConvert<TStringMap>()) return v.value<TStringMap>();
  return {};
}

std::string Str(const QVariant& v) { return v.toString().toStdString(); }

QVariant Property(const QDBusConnection& bus, const QString& path, const QString& iface, const QString& name,
                  bool* ok = nullptr) {
  QDBusMessage m = QDBusMessage::createMethodCall(kService, path, kPropsIface, "Get");
  m << iface << name;
  QDBusMessage r = bus.call(m);
  if (ok) *ok = r.type() == QDBusMessage::ReplyMessage && !r.arguments().isEmpty();
  if (r.type() != QDBusMessage::ReplyMessage || r.arguments().isEmpty()) return {};
  return r.arguments().at(0).value<QDBusVariant>().variant();
}

QList<QDBusObjectPath> PathList(const QVariant& v) {
  if (v.canConvert<QDBusArgument>()) return qdbus_cast<QList<QDBusObjectPath>>(v.value<QDBusArgument>());
  return v.value<QList<QDBusObjectPath>>();
}

int ErrorFromDBus(const QString& name) {
  if (name.endsWith(".UnknownConnection") || name.endsWith(".InvalidConnection")) return kRasErrorCannotFindEntry;
  if (name.endsWith(".UnknownDevice")) return kRasErrorDeviceNotFound;
  if (name.endsWith(".ConnectionActivating") || name.endsWith(".ConnectionAlreadyActive"))
    return kRasErrorDialAlreadyInProgress;
  if (name.endsWith(".NoSecrets")) return kRasErrorInteractiveMode;
  if (name.endsWith(".NoReply") || name.endsWith(".Timeout") || name.endsWith(".TimedOut")) return kRasErrorRequestTimeout;
  return kRasErrorServiceCannotStart;
}

}  // namespace

TNmRasService::TNmRasService(QDBusConnection bus) : Bus(std::move(bus)) { RegisterTypes(); }

TNmRasService::~TNmRasService() {
  for (auto& [h, a] : Actives) Unsubscribe(*a);
}

bool TNmRasService::Available(const QDBusConnection& bus) {
  if (!bus.isConnected() || !bus.interface()) return false;
  QDBusReply<bool> r = bus.interface()->isServiceRegistered(kService);
  return r.isValid() && r.value();
}

// --- mappings ---

int TNmRasService::DeviceStateToDialState(uint s) {
  switch (s) {
    case 40: return kRasOpenPort;          // prepare
    case 50: return kRasConnectDevice;     // config: the modem dials, PPPoE discovers
    case 60: return kRasAuthenticate;      // need auth
    case 70: return kRasAuthenticated;     // ip config
    case 80: return kRasProjected;         // ip check
    case 90: return kRasLogonNetwork;      // secondaries
    default: return -1;                    // not a step of a dial
  }
}

int TNmRasService::VpnStateToDialState(uint s) {
  switch (s) {
    case 1: return kRasOpenPort;        // prepare
    case 2: return kRasAuthenticate;    // need auth
    case 3: return kRasConnectDevice;   // connect
    case 4: return kRasProjected;       // ip config get
    case 5: return kRasConnected;       // activated
    case 7: return kRasDisconnected;    // disconnected
    default: return -1;
  }
}

int TNmRasService::ActiveReasonToError(uint r) {
  switch (r) {
    case 2: return kRasErrorUserDisconnection;      // user disconnected
    case 3: return kRasErrorDisconnection;          // device disconnected
    case 4: return kRasErrorServiceCannotStart;     // service stopped
    case 5: return kRasErrorIpConfiguration;        // ip config invalid
    case 6: return kRasErrorPppTimeout;             // connect timeout
    case 7: return kRasErrorRequestTimeout;         // service start timeout
    case 8: return kRasErrorServiceCannotStart;     // service start failed
    case 9: return kRasErrorInteractiveMode;        // no secrets
    case 10: return kRasErrorAuthenticationFailure; // login failed
    case 11: return kRasErrorCannotFindEntry;       // connection removed
    case 12: return kRasErrorFromDevice;            // dependency failed
    case 13:
    case 14: return kRasErrorDeviceNotFound;        // device realize failed, removed
    default: return kRasErrorDisconnection;
  }
}

int TNmRasService::VpnReasonToError(uint r) {
  int e = ActiveReasonToError(r);
  return e == kRasErrorDisconnection && r != 3 ? kRasErrorVpnFailed : e;
}

int TNmRasService::DeviceReasonToError(uint r) {
  switch (r) {
    case 5: case 6: case 15: case 16: case 17: return kRasErrorIpConfiguration;
    case 7: return kRasErrorInteractiveMode;                // no secrets
    case 12: return kRasErrorServiceCannotStart;            // ppp start failed
    case 13: return kRasErrorPppRemoteTerminated;           // ppp disconnect
    case 14: return kRasErrorAuthenticationFailure;         // ppp failed (mostly authentication)
    case 23: return kRasErrorLineBusy;                      // modem busy
    case 24: return kRasErrorNoDialtone;                    // modem no dial tone
    case 25: return kRasErrorNoCarrier;                     // modem no carrier
    case 26: return kRasErrorNoAnswer;                      // modem dial timeout
    case 27: case 28: return kRasErrorFromDevice;           // modem dial / init failed
    case 29: case 30: case 31: case 32: case 33: return kRasErrorServerNotResponding;  // network registration, APN
    case 34: return kRasErrorAuthenticationFailure;         // PIN check failed
    case 35: case 36: return kRasErrorDeviceNotFound;       // firmware missing, device removed
    case 38: return kRasErrorCannotFindEntry;               // connection removed
    case 39: return kRasErrorUserDisconnection;             // user requested
    case 40: return kRasErrorNoCarrier;                     // carrier lost
    default: return kRasErrorDisconnection;
  }
}

bool TNmRasService::IsDialupType(const QString& type, const QMap<QString, QVariantMap>& settings) {
  static const QStringList kTypes = {"gsm", "cdma", "pppoe", "adsl", "vpn"};
  return kTypes.contains(type) || settings.contains("ppp");
}

// --- phonebook ---

std::vector<TNmRasService::TProfile> TNmRasService::Profiles(int& error) {
  error = 0;
  std::vector<TProfile> out;
  QDBusMessage r = Bus.call(QDBusMessage::createMethodCall(kService, kSettingsPath, kSettingsIface, "ListConnections"));
  if (r.type() != QDBusMessage::ReplyMessage || r.arguments().isEmpty()) {
    error = kRasErrorCannotOpenPhonebook;
    return out;
  }
  const QList<QDBusObjectPath> paths = qdbus_cast<QList<QDBusObjectPath>>(r.arguments().at(0).value<QDBusArgument>());
  for (const QDBusObjectPath& p : paths) {
    QDBusReply<TSettingsMap> s =
        Bus.call(QDBusMessage::createMethodCall(kService, p.path(), kConnectionIface, "GetSettings"));
    if (!s.isValid()) continue;  // vanished meanwhile, or not ours to read
    TProfile prof;
    prof.Path = p.path();
    prof.Settings = s.value();
    prof.Type = prof.Settings.value("connection").value("type").toString();
    prof.Uuid = prof.Settings.value("connection").value("uuid").toString();
    if (IsDialupType(prof.Type, prof.Settings)) out.push_back(std::move(prof));
  }
  return out;
}

bool TNmRasService::FindProfile(const std::string& name, TProfile& out, int& error) {
  std::vector<TProfile> all = Profiles(error);
  if (error) return false;
  // The exact name first; a name typed in another case still finds its entry.
  for (int pass = 0; pass < 2; ++pass)
    for (TProfile& p : all) {
      std::string id = Str(p.Settings.value("connection").value("id"));
      if (pass == 0 ? id == name : quodra::host::EqualsNoCase(id, name)) {
        out = std::move(p);
        return true;
      }
    }
  error = kRasErrorCannotFindEntry;
  return false;
}

TNmRasService::TSettings TNmRasService::Secrets(const TProfile& p, const QString& setting) {
  QDBusMessage m = QDBusMessage::createMethodCall(kService, p.Path, kConnectionIface, "GetSecrets");
  m << setting;
  QDBusReply<TSettingsMap> r = Bus.call(m);
  return r.isValid() ? r.value() : TSettings();
}

int TNmRasService::EnumEntries(const std::string&, std::vector<std::string>& out, size_t max) {
  out.clear();
  int error = 0;
  for (const TProfile& p : Profiles(error)) {
    if (out.size() >= max) break;
    out.push_back(Str(p.Settings.value("connection").value("id")));
  }
  return error;
}

int TNmRasService::GetEntryDialParams(const std::string&, TRasDialParams& params, bool& passwordReturned) {
  TProfile p;
  int error = 0;
  if (!FindProfile(params.EntryName, p, error)) return error;
  passwordReturned = false;
  const QString group = CredentialsSetting(p.Type);
  const QVariantMap s = p.Settings.value(group);
  params.CallBackNumber.clear();
  params.Domain.clear();
  if (p.Type == "vpn") {
    const TStringMap data = StringMapOf(s.value("data"));
    params.PhoneNumber = data.value("gateway", data.value("remote")).toStdString();
    params.UserName = Str(s.value("user-name"));
    if (params.UserName.empty()) params.UserName = data.value("username", data.value("user")).toStdString();
    params.Domain = data.value("domain").toStdString();
    const TStringMap secrets = StringMapOf(Secrets(p, group).value(group).value("secrets"));
    if (secrets.contains("password")) {
      params.Password = secrets.value("password").toStdString();
      passwordReturned = true;
    }
  } else {
    params.PhoneNumber = Str(s.value("number"));
    if (params.PhoneNumber.empty() && p.Type == "pppoe") params.PhoneNumber = Str(s.value("service"));
    params.UserName = Str(s.value("username"));
    const QVariantMap secrets = Secrets(p, group).value(group);
    if (secrets.contains("password")) {
      params.Password = Str(secrets.value("password"));
      passwordReturned = true;
    }
  }
  if (!passwordReturned) params.Password.clear();
  return 0;
}

int TNmRasService::SetEntryDialParams(const std::string&, const TRasDialParams& params, bool removePassword) {
  TRasDialParams stored;
  stored.EntryName = params.EntryName;
  bool hasPassword = false;
  int rc = GetEntryDialParams({}, stored, hasPassword);
  if (rc) return rc;
  const bool passwordChanges = removePassword ? hasPassword : params.Password != stored.Password;
  // Saving a profile stores its parameters every time: leave the system's profile alone
  // unless something really changes.
  if (params.UserName == stored.UserName && params.Domain == stored.Domain && !passwordChanges) return 0;

  TProfile p;
  int error = 0;
  if (!FindProfile(params.EntryName, p, error)) return error;
  const QString group = CredentialsSetting(p.Type);
  TSettings settings = p.Settings;
  // Update replaces secrets as well, so the stored ones go back in unless they change.
  const TSettings secrets = Secrets(p, group);
  for (auto it = secrets.begin(); it != secrets.end(); ++it)
    for (auto k = it.value().begin(); k != it.value().end(); ++k) settings[it.key()][k.key()] = k.value();
  QVariantMap& s = settings[group];
  if (p.Type == "vpn") {
    s["user-name"] = QString::fromStdString(params.UserName);
    TStringMap data = StringMapOf(s.value("data"));
    if (!params.Domain.empty() || data.contains("domain")) data["domain"] = QString::fromStdString(params.Domain);
    s["data"] = QVariant::fromValue(data);
    TStringMap sec = StringMapOf(s.value("secrets"));
    if (removePassword) sec.remove("password");
    else sec["password"] = QString::fromStdString(params.Password);
    s["secrets"] = QVariant::fromValue(sec);
  } else {
    s["username"] = QString::fromStdString(params.UserName);
    if (removePassword) s.remove("password");
    else s["password"] = QString::fromStdString(params.Password);
  }
  for (auto it = settings.begin(); it != settings.end(); ++it)
    if (it.value().contains("data")) it.value()["data"] = QVariant::fromValue(StringMapOf(it.value().value("data")));
  QDBusMessage m = QDBusMessage::createMethodCall(kService, p.Path, kConnectionIface, "Update");
  m << QVariant::fromValue(settings);
  QDBusMessage r = Bus.call(m);
  return r.type() == QDBusMessage::ReplyMessage ? 0 : kRasErrorCannotWritePhonebook;
}

int TNmRasService::RunEditor(const QStringList& args) {
  const QString editor = QStandardPaths::findExecutable("nm-connection-editor");
  if (editor.isEmpty()) return kRasErrorFunctionMissing;
  // The editor is modal for us, as the entry dialogs are: wait (in the event loop) until it
  // is closed, so that the caller reads what the user entered.
  QProcess p;
  p.start(editor, args);
  if (!p.waitForStarted(5000)) return kRasErrorFunctionMissing;
  quodra::host::WaitUntil([&p] { return p.state() == QProcess::NotRunning; });
  return 0;
}

int TNmRasService::EditEntry(const std::string&, const std::string& entryName) {
  TProfile p;
  int error = 0;
  if (!FindProfile(entryName, p, error)) return error;
  return RunEditor({"--edit=" + p.Uuid});
}

int TNmRasService::CreateEntry(const std::string&) { return RunEditor({"--create", "--type=gsm"}); }

// --- connections ---

TNmRasService::TActive* TNmRasService::FindByPath(const QString& activePath) {
  for (auto& [h, a] : Actives)
    if (a->ActivePath == activePath) return a.get();
  return nullptr;
}

void TNmRasService::Subscribe(TActive& a) {
  Bus.connect(kService, a.ActivePath, kActiveIface, "StateChanged", this, SLOT(OnActiveStateChanged(QDBusMessage)));
  Bus.connect(kService, a.ActivePath, kVpnIface, "VpnStateChanged", this, SLOT(OnVpnStateChanged(QDBusMessage)));
  if (!a.DevicePath.isEmpty())
    Bus.connect(kService, a.DevicePath, kDeviceIface, "StateChanged", this, SLOT(OnDeviceStateChanged(QDBusMessage)));
}

void TNmRasService::Unsubscribe(TActive& a) {
  Bus.disconnect(kService, a.ActivePath, kActiveIface, "StateChanged", this, SLOT(OnActiveStateChanged(QDBusMessage)));
  Bus.disconnect(kService, a.ActivePath, kVpnIface, "VpnStateChanged", this, SLOT(OnVpnStateChanged(QDBusMessage)));
  if (!a.DevicePath.isEmpty())
    Bus.disconnect(kService, a.DevicePath, kDeviceIface, "StateChanged", this, SLOT(OnDeviceStateChanged(QDBusMessage)));
}

void TNmRasService::Report(TActive& a, int state, int error) {
  if (a.Finished || a.Released) return;
  if (error == 0 && state >= 0) a.State = state;
  if (error != 0 || state == kRasConnected) {
    a.Finished = true;
    a.Error = error;
    a.Connected = error == 0;
    if (a.Guard) a.Guard->stop();
  }
  if (a.Notifier) a.Notifier->Post(kRasDialEventMessage, static_cast<uintptr_t>(a.State), error);
}

void TNmRasService::Fail(TActive& a, int error) { Report(a, a.State, error); }

int TNmRasService::Dial(const std::string&, const TRasDialParams& params, uint32_t,
                        quodra::host::TMessageTarget* notifier, TRasHandle& handle) {
  TProfile p;
  int error = 0;
  if (!FindProfile(params.EntryName, p, error)) return error;
  // The dial uses the credentials given with it: store them first when they differ.
  int rc = SetEntryDialParams({}, params, false);
  if (rc) return rc;

  QDBusMessage m = QDBusMessage::createMethodCall(kService, kManagerPath, kManagerIface, "ActivateConnection");
  m << QVariant::fromValue(QDBusObjectPath(p.Path)) << QVariant::fromValue(QDBusObjectPath("/"))
    << QVariant::fromValue(QDBusObjectPath("/"));
  QDBusMessage r = Bus.call(m);
  if (r.type() != QDBusMessage::ReplyMessage || r.arguments().isEmpty()) return ErrorFromDBus(r.errorName());

  auto a = std::make_unique<TActive>();
  a->Handle = NextHandle++;
  if (NextHandle == 0) NextHandle = 1;
  a->ActivePath = r.arguments().at(0).value<QDBusObjectPath>().path();
  a->EntryName = Str(p.Settings.value("connection").value("id"));
  a->Notifier = notifier;
  const QList<QDBusObjectPath> devices = PathList(Property(Bus, a->ActivePath, kActiveIface, "Devices"));
  if (!devices.isEmpty()) a->DevicePath = devices.first().path();
  a->Guard = std::make_unique<QTimer>();
  a->Guard->setSingleShot(true);
  TRasHandle h = a->Handle;
  QObject::connect(a->Guard.get(), &QTimer::timeout, this, [this, h] {
    auto it = Actives.find(h);
    if (it != Actives.end()) Fail(*it->second, kRasErrorPppTimeout);
  });
  a->Guard->start(kDialGuardMs);
  TActive& act = *a;
  Actives.emplace(h, std::move(a));
  Subscribe(act);
  handle = h;
  Report(act, kRasOpenPort, 0);

  // The activation may already be further along than any signal we could still see.
  bool ok = false;
  uint state = Property(Bus, act.ActivePath, kActiveIface, "State", &ok).toUInt();
  if (ok && state == kActiveActivated) Report(act, kRasConnected, 0);

  if (!notifier) {
    quodra::host::WaitUntil([&act] { return act.Finished; }, quodra::host::NowMs() + kSyncDialWaitMs);
    if (!act.Finished) Fail(act, kRasErrorPppTimeout);
    return act.Error;
  }
  return 0;
}

void TNmRasService::OnActiveStateChanged(const QDBusMessage& msg) {
  TActive* a = FindByPath(msg.path());
  if (!a || msg.arguments().size() < 2) return;
  const uint state = msg.arguments().at(0).toUInt();
  const uint reason = msg.arguments().at(1).toUInt();
  if (state == kActiveActivated) {
    Report(*a, kRasConnected, 0);
  } else if (state == kActiveDeactivated) {
    if (!a->Finished) Fail(*a, ActiveReasonToError(reason));
    a->State = kRasDisconnected;  // the disconnect watch sees a dropped line
  }
}

void TNmRasService::OnVpnStateChanged(const QDBusMessage& msg) {
  TActive* a = FindByPath(msg.path());
  if (!a || msg.arguments().size() < 2) return;
  const uint state = msg.arguments().at(0).toUInt();
  const uint reason = msg.arguments().at(1).toUInt();
  if (state == 6 || (state == 7 && !a->Finished)) {
    if (!a->Finished) Fail(*a, VpnReasonToError(reason));
    a->State = kRasDisconnected;
    return;
  }
  const int dial = VpnStateToDialState(state);
  if (dial == kRasDisconnected) a->State = kRasDisconnected;
  else if (dial >= 0) Report(*a, dial, 0);
}

void TNmRasService::OnDeviceStateChanged(const QDBusMessage& msg) {
  if (msg.arguments().size() < 3) return;
  const uint state = msg.arguments().at(0).toUInt();
  const uint reason = msg.arguments().at(2).toUInt();
  for (auto& [h, a] : Actives) {
    if (a->DevicePath != msg.path()) continue;
    if (state == 120) {  // failed: the device's reason says more than the activation's
      if (!a->Finished) Fail(*a, DeviceReasonToError(reason));
      a->State = kRasDisconnected;
    } else if (int dial = DeviceStateToDialState(state); dial >= 0) {
      Report(*a, dial, 0);
    }
  }
}

int TNmRasService::HangUp(TRasHandle handle) {
  auto it = Actives.find(handle);
  if (it == Actives.end()) return kRasErrorInvalidHandle;
  TActive& a = *it->second;
  a.Released = true;
  if (a.Guard) a.Guard->stop();
  QDBusMessage m = QDBusMessage::createMethodCall(kService, kManagerPath, kManagerIface, "DeactivateConnection");
  m << QVariant::fromValue(QDBusObjectPath(a.ActivePath));
  QDBusMessage r = Bus.call(m);
  // An activation that is already gone is as good as dropped.
  if (r.type() != QDBusMessage::ReplyMessage && !r.errorName().endsWith(".ConnectionNotActive") &&
      !r.errorName().endsWith(".UnknownObject") && !r.errorName().endsWith(".UnknownMethod")) {
    bool ok = false;
    Property(Bus, a.ActivePath, kActiveIface, "State", &ok);
    if (ok) return ErrorFromDBus(r.errorName());
  }
  return 0;
}

int TNmRasService::GetConnectStatus(TRasHandle handle, int& state) {
  auto it = Actives.find(handle);
  if (it == Actives.end()) return kRasErrorInvalidHandle;
  TActive& a = *it->second;
  bool ok = false;
  const uint nmState = Property(Bus, a.ActivePath, kActiveIface, "State", &ok).toUInt();
  if (a.Released) {
    // Released once the activation has gone away.
    if (!ok || nmState == kActiveDeactivated) {
      Unsubscribe(a);
      Actives.erase(it);
      return kRasErrorInvalidHandle;
    }
    state = a.State;
    return 0;
  }
  if (!ok || nmState == kActiveDeactivated) {
    if (!a.Finished) Fail(a, kRasErrorDisconnection);
    a.State = kRasDisconnected;
  }
  state = a.State;
  return 0;
}

int TNmRasService::EnumConnections(std::vector<TRasConnection>& out, size_t max) {
  out.clear();
  bool ok = false;
  const QList<QDBusObjectPath> actives = PathList(Property(Bus, kManagerPath, kManagerIface, "ActiveConnections", &ok));
  if (!ok) return kRasErrorServiceCannotStart;
  for (const QDBusObjectPath& p : actives) {
    if (out.size() >= max) break;
    const QString type = Property(Bus, p.path(), kActiveIface, "Type").toString();
    const bool vpn = Property(Bus, p.path(), kActiveIface, "Vpn").toBool();
    if (!vpn && !IsDialupType(type, {})) continue;
    TActive* a = FindByPath(p.path());
    if (!a) {
      // A link someone else brought up: known from now on, so that it can be hung up.
      auto n = std::make_unique<TActive>();
      n->Handle = NextHandle++;
      if (NextHandle == 0) NextHandle = 1;
      n->ActivePath = p.path();
      n->EntryName = Property(Bus, p.path(), kActiveIface, "Id").toString().toStdString();
      n->Finished = n->Connected = true;
      n->State = kRasConnected;
      a = n.get();
      Actives.emplace(a->Handle, std::move(n));
      Subscribe(*a);
    }
    out.push_back({a->Handle, a->EntryName});
  }
  return 0;
}

}  // namespace quodra::dialup
