#pragma once
// The socket port: a port whose device is one TCP connection of the socket layer. It
// resolves the address and service, opens the connection through its socket dispatcher and
// reports connect, disconnect, accept and socket errors as events.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "port/qp_port.h"

struct sockaddr_storage;

namespace quodra::port {

class TQpWinsockDispatcher;

// Socket events the socket layer reports to the port (first message parameter).
constexpr uint32_t kQpMsgSocket = 2833;       // a socket event for this port
constexpr uint32_t kQpMsgSocketClose = 2834;  // close the port (posted)
constexpr uint32_t kQpSockEventAccept = 8;
constexpr uint32_t kQpSockEventConnect = 16;
constexpr uint32_t kQpSockEventClose = 32;
constexpr uint32_t kQpSockEventPeerClose = 48;

enum TWsMode { wsClient, wsServer };
enum TQpSocksVersion { svNone, svSocks4, svSocks4a, svSocks5 };

// Proxy settings. Stored only; no path of this program connects through a proxy.
class TQpSocksServerInfo {
 public:
  const std::string& Address() const { return AddressProp; }
  void SetAddress(const std::string& v) { if (v != AddressProp) AddressProp = v; }
  const std::string& Password() const { return PasswordProp; }
  void SetPassword(const std::string& v) { if (v != PasswordProp) PasswordProp = v; }
  uint16_t Port() const { return PortProp; }
  void SetPort(uint16_t v) { if (v != PortProp) PortProp = v; }
  TQpSocksVersion SocksVersion() const { return VersionProp; }
  void SetSocksVersion(TQpSocksVersion v) { if (v != VersionProp) VersionProp = v; }
  const std::string& UserCode() const { return UserCodeProp; }
  void SetUserCode(const std::string& v) { if (v != UserCodeProp) UserCodeProp = v; }

 private:
  std::string AddressProp;
  std::string PasswordProp;
  uint16_t PortProp = 0;
  TQpSocksVersion VersionProp = svNone;
  std::string UserCodeProp;
};

using TWsErrorEvent = std::function<void(TQpBaseComponent* sender, int32_t errCode)>;
using TWsAcceptEvent = std::function<void(TQpBaseComponent* sender, uint32_t remoteAddress, bool& accept)>;

class TQpCustomWinsockPort : public TQpCustomComPort {
 public:
  explicit TQpCustomWinsockPort(TQpBaseComponent* owner = nullptr);
  ~TQpCustomWinsockPort() override;

  // Client: which of the host's addresses (IPv6 and IPv4, in the resolver's order) the next
  // open connects to, and how many the last open found (a dotted address is the only one).
  size_t WsAddressTry() const { return AddressTry; }
  void SetWsAddressTry(size_t index) { AddressTry = index; }
  size_t WsAddressCount() const { return AddressCount; }

  // Remote host: dotted IPv4 address, IPv6 address (also in brackets) or host name. Stored trimmed; changing it while the
  // port is open raises EQpSocketException 9006.
  const std::string& WsAddress() const { return Address; }
  void SetWsAddress(const std::string& address);
  // Remote port: decimal number or TCP service name ("ftp" is 21). Same rules.
  const std::string& WsPort() const { return PortText; }
  void SetWsPort(const std::string& port);
  TWsMode WsMode() const { return Mode; }
  void SetWsMode(TWsMode mode) { Mode = mode; }
  bool WsTelnet() const { return Telnet; }
  void SetWsTelnet(bool on) { Telnet = on; }
  // This host's IPv4 addresses, dotted.
  const std::vector<std::string>& WsLocalAddresses() const { return LocalAddresses; }
  TQpSocksServerInfo& WsSocksServerInfo() { return Socks; }

  // The socket dispatcher while the port is open, else nullptr (no auto-open).
  TQpWinsockDispatcher* SocketDispatcher() const;

  // The port number `text` stands for (host order): a decimal number as it is, else the
  // TCP service table's entry; 0 when neither.
  static uint16_t ResolvePort(const std::string& text);

  TWsAcceptEvent OnWsAccept;
  TNotifyEvent OnWsConnect;
  TNotifyEvent OnWsDisconnect;
  TWsErrorEvent OnWsError;

  void PortWindowMessage(const host::TMessage& m) override;
  intptr_t SocketEvent(uint32_t event, intptr_t param) override;

 protected:
  std::unique_ptr<TQpBaseDispatcher> CreateDispatcher() override;
  int OpenDevice() override;
  void PortClosed() override;

  // Every address of a server name, in the order to try them (the resolver's).
  virtual std::vector<sockaddr_storage> ResolveServerAddresses(const std::string& name);
  virtual void DoWsAccept(uint32_t remoteAddress, bool& accept);
  virtual void DoWsConnect();
  virtual void DoWsDisconnect();
  virtual void DoWsError(int32_t errCode);

 private:
  void FillLocalAddresses();

  std::string Address;
  std::string PortText = "telnet";
  TWsMode Mode = wsClient;
  bool Telnet = true;
  std::vector<std::string> LocalAddresses;
  TQpSocksServerInfo Socks;
  size_t AddressTry = 0;
  size_t AddressCount = 0;
};

}  // namespace quodra::port
