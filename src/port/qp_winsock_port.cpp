#include "port/qp_winsock_port.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netdb.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "host/message_target.h"
#include "host/text_util.h"
#include "host/winsock_errors.h"
#include "port/qp_device_socket.h"
#include "port/qp_except.h"
#include "port/qp_sock_dispatcher.h"

namespace quodra::port {

namespace {
constexpr size_t kMaxLocalAddresses = 256;

bool IsResetCode(int code) {
  return code == host::kWsaENETRESET || code == host::kWsaECONNABORTED || code == host::kWsaECONNRESET;
}
}  // namespace

TQpCustomWinsockPort::TQpCustomWinsockPort(TQpBaseComponent* owner) : TQpCustomComPort(owner) {
  FillLocalAddresses();
}

TQpCustomWinsockPort::~TQpCustomWinsockPort() {
  // Close while the socket operations of this class can still run.
  CloseForDestroy();
}

void TQpCustomWinsockPort::SetWsAddress(const std::string& address) {
  std::string value = host::Trim(address);
  if (value == Address) return;
  if (Open()) throw EQpSocketException(ecCantChangeWhileOpen);
  Address = value;
}

void TQpCustomWinsockPort::SetWsPort(const std::string& port) {
  std::string value = host::Trim(port);
  if (value == PortText) return;
  if (Open()) throw EQpSocketException(ecCantChangeWhileOpen);
  PortText = value;
}

TQpWinsockDispatcher* TQpCustomWinsockPort::SocketDispatcher() const {
  return dynamic_cast<TQpWinsockDispatcher*>(CurrentDispatcher());
}

uint16_t TQpCustomWinsockPort::ResolvePort(const std::string& text) {
  if (text.empty()) return 0;
  bool digits = true;
  for (char c : text) digits = digits && c >= '0' && c <= '9';
  if (digits) {
    // A number beyond the 16-bit range names no port (it must not wrap onto another one).
    if (text.size() > 5) return 0;
    unsigned long n = std::strtoul(text.c_str(), nullptr, 10);
    return n <= 65535 ? static_cast<uint16_t>(n) : 0;
  }
  servent entry{};
  servent* found = nullptr;
  char buffer[1024];
  if (::getservbyname_r(text.c_str(), "tcp", &entry, buffer, sizeof buffer, &found) != 0 || !found) return 0;
  return ntohs(static_cast<uint16_t>(found->s_port));
}

void TQpCustomWinsockPort::FillLocalAddresses() {
  // The interfaces' own addresses: asking a resolver for this host's name could send a
  // query over the network just to build this list.
  LocalAddresses.clear();
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) return;
  for (ifaddrs* a = list; a && LocalAddresses.size() < kMaxLocalAddresses; a = a->ifa_next) {
    if (!a->ifa_addr || a->ifa_addr->sa_family != AF_INET) continue;
    const auto* in = reinterpret_cast<const sockaddr_in*>(a->ifa_addr);
    const auto* b = reinterpret_cast<const uint8_t*>(&in->sin_addr.s_addr);
    char text[16];
    std::snprintf(text, sizeof text, "%d.%d.%d.%d", b[0], b[1], b[2], b[3]);
    LocalAddresses.emplace_back(text);
  }
  ::freeifaddrs(list);
}

std::unique_ptr<TQpBaseDispatcher> TQpCustomWinsockPort::CreateDispatcher() {
  auto d = std::make_unique<TQpWinsockDispatcher>(this);
  d->SetDeviceName("Winsock");
  return d;
}

int TQpCustomWinsockPort::OpenDevice() {
  // Only the socket device exists on this platform.
  if (DeviceLayer() != dlWinsock) return ecBadId;
  auto* d = SocketDispatcher();
  if (!d) return ecInternal;

  auto cannotResolve = [this]() -> int {
    if (OnWsError) {
      DoWsError(ecCantResolveAddress);
      return -ecCantResolveAddress;
    }
    throw EQpSocketException(ecCantResolveAddress);
  };
  uint32_t address = 0;
  sockaddr_storage remote{};
  bool named = false;
  if (Mode == wsClient) {
    if (Address.empty()) throw EQpSocketException(host::kWsaEDESTADDRREQ);
    // The proxy protocols are not carried here: connecting straight to the server instead
    // would quietly bypass the proxy the settings ask for.
    if (Socks.SocksVersion() != svNone) throw EQpSocketException(host::kWsaEOPNOTSUPP);
    TQpDeviceSocket& sockets = TQpDeviceSocket::Instance();
    address = sockets.InetAddr(Address.substr(0, 15));
    AddressCount = 1;
    if (address == INADDR_NONE) {
      // A name (or an IPv6 address): every address it has, IPv6 and IPv4 alike.
      std::vector<sockaddr_storage> all = ResolveServerAddresses(Address);
      AddressCount = all.size();
      if (all.empty() || AddressTry >= all.size()) return cannotResolve();
      remote = all[AddressTry];
      named = true;
    }
    if (!named && address == 0) return cannotResolve();
  }
  uint16_t port = ResolvePort(PortText);
  if (port == 0) throw EQpSocketException(ecInvalidPort);

  if (named) {
    TQpSocket::SetPort(remote, port);
    d->SetSocketAddress(remote, true, Telnet);
  } else {
    d->SetSocketData(address, htons(port), Mode == wsClient, Telnet);
  }
  int result = d->OpenSocket(InSize(), OutSize());
  if (result < 0) throw EQpSocketException(-result);
  return 0;
}

void TQpCustomWinsockPort::PortWindowMessage(const host::TMessage& m) {
  switch (m.Msg) {
    case kQpMsgSocket:
      SocketEvent(static_cast<uint32_t>(m.WParam), m.LParam);
      break;
    case kQpMsgSocketClose:
      SetOpen(false);
      break;
    default:
      TQpCustomComPort::PortWindowMessage(m);
      break;
  }
}

intptr_t TQpCustomWinsockPort::SocketEvent(uint32_t event, intptr_t param) {
  switch (event) {
    case kQpSockEventAccept: {
      bool accept = true;
      DoWsAccept(static_cast<uint32_t>(param), accept);
      return accept ? 1 : 0;
    }
    case kQpSockEventConnect:
      DoWsConnect();
      return 0;
    case kQpSockEventClose:
      if (PortWindow()) PortWindow()->Post(kQpMsgSocketClose);
      return 0;
    case kQpSockEventPeerClose:
      DoWsDisconnect();
      return 0;
    default:
      DoWsError(static_cast<int32_t>(event));
      return 0;
  }
}

void TQpCustomWinsockPort::PortClosed() { DoWsDisconnect(); }

std::vector<sockaddr_storage> TQpCustomWinsockPort::ResolveServerAddresses(const std::string& name) {
  return TQpDeviceSocket::Instance().ResolveAddresses(name);
}

void TQpCustomWinsockPort::DoWsAccept(uint32_t remoteAddress, bool& accept) {
  if (OnWsAccept) OnWsAccept(this, remoteAddress, accept);
}

void TQpCustomWinsockPort::DoWsConnect() {
  if (OnWsConnect) OnWsConnect(this);
}

void TQpCustomWinsockPort::DoWsDisconnect() {
  if (OnWsDisconnect) OnWsDisconnect(this);
}

void TQpCustomWinsockPort::DoWsError(int32_t errCode) {
  if (IsResetCode(errCode)) {
    if (Mode == wsServer)
      DoWsDisconnect();
    else if (PortWindow())
      PortWindow()->Post(kQpMsgSocketClose);
  }
  if (OnWsError) OnWsError(this, errCode);
}

}  // namespace quodra::port
