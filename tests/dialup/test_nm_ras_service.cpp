// The NetworkManager backend against a stand-in NetworkManager on a private message bus:
// which profiles are entries, what their parameters are, and how activation and device
// states become the dialer's events. The stand-in answers from its own thread, as the real
// service answers from its own process, and moves states only when the test says so.
#include <gtest/gtest.h>

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QDBusVirtualObject>
#include <QMutex>
#include <QThread>
#include <map>

#include "dialer_fixture.h"
#include "dialup/nm_ras_service.h"
#include "support/server_process.h"

using namespace quodra::test;
using quodra::dialup::TNmRasService;

namespace {

using TSettingsMap = QMap<QString, QVariantMap>;
using TStringMap = QMap<QString, QString>;

const QString kNm = "org.freedesktop.NetworkManager";
const QString kRoot = "/org/freedesktop/NetworkManager";
const QString kActiveIface = "org.freedesktop.NetworkManager.Connection.Active";
const QString kDeviceIface = "org.freedesktop.NetworkManager.Device";
const QString kControlIface = "org.quodra.TestControl";
const QString kModem = "/org/freedesktop/NetworkManager/Devices/7";

TSettingsMap Profile(const QString& id, const QString& type, const QVariantMap& group) {
  TSettingsMap s;
  s["connection"] = QVariantMap{{"id", id}, {"type", type}, {"uuid", id + "-uuid"}};
  if (!group.isEmpty()) s[type] = group;
  return s;
}

class TFakeNm : public QDBusVirtualObject {
 public:
  QString introspect(const QString&) const override { return {}; }

  bool handleMessage(const QDBusMessage& m, const QDBusConnection& c) override {
    QMutexLocker lock(&Mutex);
    const QString path = m.path(), member = m.member();
    const QVariantList a = m.arguments();
    auto reply = [&](const QVariantList& out = {}) {
      c.send(m.createReply(out));
      return true;
    };
    if (m.interface() == "org.freedesktop.DBus.Properties" && member == "Get") {
      const QString name = a.value(1).toString();
      QVariant v;
      if (path == kRoot && name == "ActiveConnections") {
        QList<QDBusObjectPath> list;
        for (const auto& [p, st] : ActiveState) list << QDBusObjectPath(p);
        v = QVariant::fromValue(list);
      } else if (ActiveState.count(path)) {
        if (name == "State") v = ActiveState[path];
        else if (name == "Devices") v = QVariant::fromValue(QList<QDBusObjectPath>{QDBusObjectPath(kModem)});
        else if (name == "Type") v = Settings[ActiveOf[path]]["connection"]["type"];
        else if (name == "Vpn") v = false;
        else if (name == "Id") v = Settings[ActiveOf[path]]["connection"]["id"];
      }
      if (!v.isValid()) {
        c.send(m.createErrorReply("org.freedesktop.DBus.Error.UnknownObject", "no such object"));
        return true;
      }
      return reply({QVariant::fromValue(QDBusVariant(v))});
    }
    if (member == "ListConnections") {
      QList<QDBusObjectPath> list;
      for (const QString& p : Order) list << QDBusObjectPath(p);
      return reply({QVariant::fromValue(list)});
    }
    if (member == "GetSettings") {
      TSettingsMap s = Settings[path];
      for (auto& g : s) g.remove("password");  // secrets come separately
      return reply({QVariant::fromValue(s)});
    }
    if (member == "GetSecrets") {
      const QString group = a.value(0).toString();
      TSettingsMap out;
      if (Settings[path].value(group).contains("password"))
        out[group]["password"] = Settings[path][group]["password"];
      return reply({QVariant::fromValue(out)});
    }
    if (member == "Update") {
      Settings[path] = qdbus_cast<TSettingsMap>(a.value(0).value<QDBusArgument>());
      ++Updates;
      return reply();
    }
    if (member == "ActivateConnection") {
      const QString conn = a.value(0).value<QDBusObjectPath>().path();
      if (!Settings.count(conn)) {
        c.send(m.createErrorReply("org.freedesktop.NetworkManager.UnknownConnection", "unknown"));
        return true;
      }
      const QString active = kRoot + "/ActiveConnection/" + QString::number(++Activations);
      ActiveState[active] = 1;
      ActiveOf[active] = conn;
      Activated = conn;
      return reply({QVariant::fromValue(QDBusObjectPath(active))});
    }
    if (member == "DeactivateConnection") {
      const QString active = a.value(0).value<QDBusObjectPath>().path();
      ++Deactivations;
      ActiveState.erase(active);  // gone at once
      return reply();
    }
    if (m.interface() == kControlIface) {
      const QString target = a.value(0).value<QDBusObjectPath>().path();
      if (member == "ActiveState") {
        ActiveState[target] = a.value(1).toUInt();
        QDBusMessage s = QDBusMessage::createSignal(target, kActiveIface, "StateChanged");
        s << a.value(1).toUInt() << a.value(2).toUInt();
        c.send(s);
      } else if (member == "DeviceState") {
        QDBusMessage s = QDBusMessage::createSignal(kModem, kDeviceIface, "StateChanged");
        s << a.value(1).toUInt() << uint(30) << a.value(2).toUInt();
        c.send(s);
      }
      return reply();
    }
    c.send(m.createErrorReply("org.freedesktop.DBus.Error.UnknownMethod", member));
    return true;
  }

  QMutex Mutex;
  std::map<QString, TSettingsMap> Settings;
  QStringList Order;
  std::map<QString, uint> ActiveState;
  std::map<QString, QString> ActiveOf;
  QString Activated;
  int Activations = 0, Deactivations = 0, Updates = 0;
};

class TNmTest : public TDialerTest {
 protected:
  void SetUp() override {
    qDBusRegisterMetaType<TSettingsMap>();
    qDBusRegisterMetaType<TStringMap>();
    const std::string address = "unix:path=" + Dir.File("bus");
    ASSERT_TRUE(Daemon.Start({"dbus-daemon", "--session", "--nofork", "--nopidfile", "--address=" + address},
                             Dir.File("dbus.log")));
    // The daemon needs a moment to open its socket; look again every few milliseconds.
    const int64_t deadline = quodra::host::NowMs() + 10000;
    for (;;) {
      Service = QDBusConnection::connectToBus(QString::fromStdString(address), "fake-nm");
      if (Service.isConnected()) break;
      QDBusConnection::disconnectFromBus("fake-nm");
      ASSERT_LT(quodra::host::NowMs(), deadline) << "no message bus";
      quodra::host::WaitMs(20);
    }
    Fake.Settings[kRoot + "/Settings/1"] = Profile("Mobile", "gsm", {{"number", "*99#"}, {"username", "web"}, {"password", "gprs"}});
    Fake.Settings[kRoot + "/Settings/2"] = Profile("Wired", "802-3-ethernet", {});
    Fake.Settings[kRoot + "/Settings/3"] = Profile("DSL", "pppoe", {{"username", "dsl"}, {"service", "isp"}});
    TSettingsMap vpn = Profile("Work VPN", "vpn", {{"user-name", "eve"}});
    vpn["vpn"]["data"] = QVariant::fromValue(TStringMap{{"gateway", "vpn.example"}, {"domain", "CORP"}});
    Fake.Settings[kRoot + "/Settings/4"] = vpn;
    Fake.Order = {kRoot + "/Settings/1", kRoot + "/Settings/2", kRoot + "/Settings/3", kRoot + "/Settings/4"};
    // Registered while it is still ours (the bus gives it a helper child), then handed over.
    ASSERT_TRUE(Service.registerVirtualObject(kRoot, &Fake, QDBusConnection::SubPath));
    Fake.moveToThread(&Worker);
    Worker.start();
    ASSERT_TRUE(Service.registerService(kNm));

    Client = QDBusConnection::connectToBus(QString::fromStdString(address), "nm-client");
    ASSERT_TRUE(TNmRasService::Available(Client));
    UsePhonebook("");
    quodra::dialup::SetRasService(std::make_unique<TNmRasService>(Client));
  }
  void TearDown() override {
    TDialerTest::TearDown();
    Service.unregisterObject(kRoot);
    Worker.quit();
    Worker.wait();
    QDBusConnection::disconnectFromBus("nm-client");
    QDBusConnection::disconnectFromBus("fake-nm");
    Daemon.Stop();
  }

  // Moves the stand-in on, through the client's own connection so that it comes after
  // everything the backend has already asked the bus for.
  void Control(const QString& what, const QString& target, uint a, uint b) {
    QDBusMessage m = QDBusMessage::createMethodCall(kNm, kRoot, kControlIface, what);
    m << QVariant::fromValue(QDBusObjectPath(target)) << a << b;
    ASSERT_EQ(Client.call(m).type(), QDBusMessage::ReplyMessage);
  }
  QString ActivePath() {
    QMutexLocker lock(&Fake.Mutex);
    return Fake.ActiveState.empty() ? QString() : Fake.ActiveState.begin()->first;
  }

  TServerProcess Daemon;
  QThread Worker;
  TFakeNm Fake;
  QDBusConnection Service{QString()};
  QDBusConnection Client{QString()};
};

}  // namespace

TEST_F(TNmTest, DialupProfilesAreTheEntriesWithTheirParameters) {
  std::vector<std::string> list;
  ASSERT_EQ(Dialer->ListEntries(&list), 0);
  EXPECT_EQ(list, (std::vector<std::string>{"Mobile", "DSL", "Work VPN"}));

  Dialer->SetEntryName("Mobile");
  EXPECT_EQ(Dialer->PhoneNumber(), "*99#");
  EXPECT_EQ(Dialer->UserName(), "web");
  EXPECT_EQ(Dialer->Password(), "gprs");

  Dialer->SetEntryName("Work VPN");
  EXPECT_EQ(Dialer->PhoneNumber(), "vpn.example");
  EXPECT_EQ(Dialer->UserName(), "eve");
  EXPECT_EQ(Dialer->Domain(), "CORP");
  EXPECT_EQ(Dialer->Password(), "");  // none stored

  Dialer->SetEntryName("Wired");  // not a dial-up kind: as good as missing
  EXPECT_EQ(Dialer->GetDialParameters(), 623);
}

TEST_F(TNmTest, StoringParametersUpdatesTheProfileOnlyWhenTheyChange) {
  Dialer->SetEntryName("DSL");
  ASSERT_EQ(Dialer->SetDialParameters(), 0);
  EXPECT_EQ(Fake.Updates, 0);
  Dialer->SetPassword("new");
  ASSERT_EQ(Dialer->SetDialParameters(), 0);
  EXPECT_EQ(Fake.Updates, 1);
  Dialer->SetPassword("");
  Dialer->SetEntryName("DSL");
  EXPECT_EQ(Dialer->UserName(), "dsl");
  EXPECT_EQ(Dialer->Password(), "new");
}

TEST_F(TNmTest, ActivationStepsBecomeDialStatesThenConnected) {
  Dialer->SetEntryName("Mobile");
  ASSERT_EQ(Dialer->Dial(), 0);
  EXPECT_EQ(Fake.Activated, kRoot + "/Settings/1");
  const QString active = ActivePath();
  ASSERT_FALSE(active.isEmpty());
  Control("DeviceState", kModem, 50, 0);
  Control("DeviceState", kModem, 60, 0);
  Control("ActiveState", active, 2, 0);
  ASSERT_TRUE(WaitFor("connected"));
  EXPECT_EQ(Events, (std::vector<std::string>{"disconnected", "status 0", "status 2", "status 5", "connected"}));
  EXPECT_EQ(Shown.at(1), "Dialing *99#");
  EXPECT_EQ(Dialer->GetConnectState(), quodra::dialup::kRasConnected);

  Events.clear();
  EXPECT_EQ(Dialer->Hangup(), 0);
  EXPECT_EQ(Events, std::vector<std::string>{"disconnected"});
  EXPECT_EQ(Fake.Deactivations, 1);
}

TEST_F(TNmTest, DeviceFailureBecomesADialErrorAndAHangup) {
  Dialer->SetEntryName("Mobile");
  ASSERT_EQ(Dialer->Dial(), 0);
  Control("DeviceState", kModem, 50, 0);
  Control("DeviceState", kModem, 120, 23);  // failed: modem busy
  ASSERT_TRUE(WaitFor("error 676"));
  ASSERT_TRUE(quodra::host::WaitUntil([&] { return Events.back() == "disconnected"; }, quodra::host::NowMs() + 10000));
  EXPECT_FALSE(Saw("connected"));
  EXPECT_EQ(Fake.Deactivations, 1);
}

TEST_F(TNmTest, ALinkThatGoesDownIsSeenByTheWatch) {
  Dialer->SetEntryName("DSL");
  ASSERT_EQ(Dialer->Dial(), 0);
  const QString active = ActivePath();
  Control("ActiveState", active, 2, 0);
  ASSERT_TRUE(WaitFor("connected"));
  Events.clear();
  Control("ActiveState", active, 4, 3);  // deactivated: device disconnected
  ASSERT_TRUE(WaitFor("disconnected"));
  EXPECT_FALSE(Saw("error 628"));  // a drop after connecting is not a dial error
}

TEST_F(TNmTest, UnknownProfileIsRefusedAtOnce) {
  Dialer->SetEntryName("Nowhere");
  EXPECT_EQ(Dialer->Dial(), 623);
  EXPECT_EQ(Fake.Activations, 0);
}
