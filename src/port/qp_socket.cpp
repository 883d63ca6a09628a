#include "port/qp_socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <unistd.h>

#include <QSocketNotifier>

#include <cerrno>
#include <cstdio>
#include <algorithm>
#include <cstring>

#include "host/winsock_errors.h"
#include "port/qp_except.h"

namespace quodra::port {
namespace {

thread_local int tLastError = 0;

void DefaultUnhandled(const std::exception& e) { std::fprintf(stderr, "quodra: socket event failed: %s\n", e.what()); }

}  // namespace

std::function<void(const std::exception&)> TQpSocket::UnhandledException = DefaultUnhandled;

// What the notification machinery knows of one socket.
struct TQpSocket::TWatch {
  enum TState { stIdle, stConnecting, stConnected, stListening };
  TState State = stIdle;
  uint32_t Mask = 0;
  bool ReadArmed = false;   // a read (or accept) notification may be sent
  bool WriteArmed = false;  // a write notification may be sent
  bool CloseReported = false;
  int Pending = 0;  // notifications posted and not yet handled
  std::unique_ptr<QSocketNotifier> ReadNotifier;
  std::unique_ptr<QSocketNotifier> WriteNotifier;
};

TQpSocket::TQpSocket() : StartupDescription("POSIX sockets") {
  Window = std::make_unique<host::TMessageTarget>([this](const host::TMessage& m) { HandleMessage(m); });
}

TQpSocket::~TQpSocket() {
  // The sockets belong to whoever made them; only stop watching them.
  Watches.clear();
}

void TQpSocket::SetLastError(int code) const { tLastError = code; }
int TQpSocket::LastError() const { return tLastError; }
int TQpSocket::LastSocketError() { return tLastError; }

void TQpSocket::CheckStarted() const {
  if (StartupErrorCode != 0) throw EQpSocketException::NotInitialised(StartupErrorCode);
}

int TQpSocket::Failed(TSocket s, int err, bool quietWouldBlock) {
  SetLastError(err);
  if (!(quietWouldBlock && err == host::kWsaEWOULDBLOCK)) DoError(s, err);
  return kSocketError;
}

TQpSocket::TWatch* TQpSocket::FindWatch(TSocket s) {
  auto it = Watches.find(s);
  return it == Watches.end() ? nullptr : it->second.get();
}

TQpSocket::TWatch& TQpSocket::Track(TSocket s) {
  auto& w = Watches[s];
  if (!w) w = std::make_unique<TWatch>();
  return *w;
}

void TQpSocket::Forget(TSocket s) {
  auto it = Watches.find(s);
  if (it == Watches.end()) return;
  if (it->second->Pending > 0) Stale[s] += it->second->Pending;
  Watches.erase(it);  // the notifiers go before the descriptor is closed
}

void TQpSocket::Arm(TSocket s) {
  TWatch* w = FindWatch(s);
  if (!w) return;
  bool wantRead = false, wantWrite = false;
  if (w->Mask != 0) {
    switch (w->State) {
      case TWatch::stConnecting: wantWrite = true; break;
      case TWatch::stConnected:
        wantRead = (w->Mask & (fdRead | fdClose)) && w->ReadArmed && !w->CloseReported;
        wantWrite = (w->Mask & fdWrite) && w->WriteArmed;
        break;
      case TWatch::stListening: wantRead = (w->Mask & fdAccept) && w->ReadArmed; break;
      case TWatch::stIdle: break;
    }
  }
  if (wantRead && !w->ReadNotifier) {
    w->ReadNotifier = std::make_unique<QSocketNotifier>(s, QSocketNotifier::Read);
    QObject::connect(w->ReadNotifier.get(), &QSocketNotifier::activated, [this, s] { OnReadable(s); });
  }
  if (wantWrite && !w->WriteNotifier) {
    w->WriteNotifier = std::make_unique<QSocketNotifier>(s, QSocketNotifier::Write);
    QObject::connect(w->WriteNotifier.get(), &QSocketNotifier::activated, [this, s] { OnWritable(s); });
  }
  if (w->ReadNotifier) w->ReadNotifier->setEnabled(wantRead);
  if (w->WriteNotifier) w->WriteNotifier->setEnabled(wantWrite);
}

void TQpSocket::PostEvent(TSocket s, uint32_t event, int error) {
  TWatch* w = FindWatch(s);
  if (!w) return;
  ++w->Pending;
  Window->Post(kSocketMessage, static_cast<uintptr_t>(s),
               static_cast<intptr_t>(event | (static_cast<uint32_t>(error & 0xFFFF) << 16)));
}

void TQpSocket::OnReadable(TSocket s) {
  TWatch* w = FindWatch(s);
  if (!w) return;
  if (w->State == TWatch::stListening) {
    w->ReadArmed = false;  // until the next Accept
    PostEvent(s, fdAccept, 0);
  } else if (w->State == TWatch::stConnected) {
    // Peek to tell data from the end of the stream: a read of 0 bytes is the peer's close.
    char c;
    ssize_t n = ::recv(s, &c, 1, MSG_PEEK | MSG_DONTWAIT);
    if (n > 0) {
      w->ReadArmed = false;  // until the next Recv
      if (w->Mask & fdRead) PostEvent(s, fdRead, 0);
    } else if (n == 0) {
      w->CloseReported = true;
      if (w->Mask & fdClose) PostEvent(s, fdClose, 0);
    } else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
      w->CloseReported = true;
      if (w->Mask & fdClose) PostEvent(s, fdClose, host::WinsockErrorFromErrno(errno));
    }
  }
  Arm(s);
}

void TQpSocket::OnWritable(TSocket s) {
  TWatch* w = FindWatch(s);
  if (!w) return;
  if (w->State == TWatch::stConnecting) {
    int err = 0;
    socklen_t len = sizeof err;
    if (::getsockopt(s, SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
    if (err == 0) {
      w->State = TWatch::stConnected;
      w->ReadArmed = true;
      w->WriteArmed = true;  // the first write notification follows the connect
      if (w->Mask & fdConnect) PostEvent(s, fdConnect, 0);
    } else {
      w->State = TWatch::stIdle;
      if (w->Mask & fdConnect) PostEvent(s, fdConnect, host::WinsockErrorFromErrno(err));
    }
  } else if (w->State == TWatch::stConnected) {
    w->WriteArmed = false;  // until a send would block again
    if (w->Mask & fdWrite) PostEvent(s, fdWrite, 0);
  }
  Arm(s);
}

void TQpSocket::HandleMessage(const host::TMessage& m) {
  if (m.Msg != kSocketMessage) return;
  TSocket s = static_cast<TSocket>(m.WParam);
  auto stale = Stale.find(s);
  if (stale != Stale.end()) {
    if (--stale->second <= 0) Stale.erase(stale);
    return;
  }
  TWatch* w = FindWatch(s);
  if (!w) return;
  if (w->Pending > 0) --w->Pending;
  uint32_t event = static_cast<uint32_t>(m.LParam) & 0xFFFF;
  int error = static_cast<int>((static_cast<uint32_t>(m.LParam) >> 16) & 0xFFFF);
  if (!(w->Mask & event)) return;  // no longer asked for
  // Handlers run from the event loop: an exception must not unwind through it.
  try {
    if (error != 0) {
      DoError(s, error);
      return;
    }
    switch (event) {
      case fdRead: DoRead(s); break;
      case fdWrite: DoWrite(s); break;
      case fdAccept: DoAccept(s); break;
      case fdConnect: DoConnect(s); break;
      case fdClose: DoDisconnect(s); break;
      default: break;
    }
  } catch (const std::exception& e) {
    if (UnhandledException) UnhandledException(e);
  }
}

void TQpSocket::DoAccept(TSocket socket) {
  if (OnAccept) OnAccept(this, socket);
}
void TQpSocket::DoConnect(TSocket socket) {
  if (OnConnect) OnConnect(this, socket);
}
void TQpSocket::DoDisconnect(TSocket socket) {
  if (OnDisconnect) OnDisconnect(this, socket);
}
void TQpSocket::DoError(TSocket socket, int errCode) {
  if (OnError)
    OnError(this, socket, errCode);
  else
    throw EQpSocketException(errCode);
}
void TQpSocket::DoRead(TSocket socket) {
  if (OnRead) OnRead(this, socket);
}
void TQpSocket::DoWrite(TSocket socket) {
  if (OnWrite) OnWrite(this, socket);
}

TSocket TQpSocket::CreateSocket(int family) {
  CheckStarted();
  TSocket s = ::socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (s < 0) {
    int err = host::WinsockErrorFromErrno(errno);
    SetLastError(err);
    throw EQpSocketException(err);
  }
  // A descriptor number can come back after a close: start it with a clean record.
  Forget(s);
  return s;
}

int TQpSocket::Bind(TSocket s, const sockaddr_in& addr) {
  CheckStarted();
  if (::bind(s, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0)
    return Failed(s, host::WinsockErrorFromErrno(errno), false);
  return 0;
}

int TQpSocket::Bind(TSocket s, const sockaddr_storage& addr) {
  CheckStarted();
  if (::bind(s, reinterpret_cast<const sockaddr*>(&addr), LengthOf(addr)) != 0)
    return Failed(s, host::WinsockErrorFromErrno(errno), false);
  return 0;
}

int TQpSocket::Connect(TSocket s, const sockaddr_in& addr) {
  sockaddr_storage a{};
  std::memcpy(&a, &addr, sizeof addr);
  return Connect(s, a);
}

int TQpSocket::Connect(TSocket s, const sockaddr_storage& addr) {
  CheckStarted();
  int rc = ::connect(s, reinterpret_cast<const sockaddr*>(&addr), LengthOf(addr));
  int err = rc == 0 ? 0 : errno;
  if (rc == 0 || err == EINPROGRESS || err == EINTR) {
    // Completion (or failure) shows as writability; it becomes the connect notification.
    TWatch& w = Track(s);
    w.State = TWatch::stConnecting;
    Arm(s);
    if (rc == 0) return 0;
    return Failed(s, host::kWsaEWOULDBLOCK, true);
  }
  return Failed(s, host::WinsockErrorFromErrno(err), true);
}

int TQpSocket::Listen(TSocket s, int backlog) {
  CheckStarted();
  if (::listen(s, backlog) != 0) return Failed(s, host::WinsockErrorFromErrno(errno), true);
  TWatch& w = Track(s);
  w.State = TWatch::stListening;
  w.ReadArmed = true;
  Arm(s);
  return 0;
}

TSocket TQpSocket::Accept(TSocket s, sockaddr_in* remote) {
  CheckStarted();
  sockaddr_storage caller{};
  socklen_t len = sizeof caller;
  TSocket r = ::accept4(s, reinterpret_cast<sockaddr*>(&caller), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
  // An IPv4 caller as the old interface shows it; an IPv6 one leaves it blank.
  sockaddr_in addr{};
  if (caller.ss_family == AF_INET) std::memcpy(&addr, &caller, sizeof addr);
  int err = r < 0 ? errno : 0;
  uint32_t mask = 0;
  if (TWatch* w = FindWatch(s)) {
    w->ReadArmed = true;
    mask = w->Mask;
    Arm(s);
  }
  if (r < 0) {
    if (remote) *remote = sockaddr_in{};
    Failed(s, host::WinsockErrorFromErrno(err), false);
    return kInvalidSocket;
  }
  if (remote) *remote = addr;
  // The accepted socket reports the same events as the listening one.
  Forget(r);
  TWatch& w = Track(r);
  w.State = TWatch::stConnected;
  w.Mask = mask;
  w.ReadArmed = true;
  w.WriteArmed = true;
  Arm(r);
  return r;
}

int TQpSocket::CloseSocket(TSocket s) {
  CheckStarted();
  Forget(s);
  if (::close(s) != 0) return Failed(s, host::WinsockErrorFromErrno(errno), false);
  return 0;
}

int TQpSocket::Shutdown(TSocket s, int how) {
  CheckStarted();
  if (::shutdown(s, how) != 0) return Failed(s, host::WinsockErrorFromErrno(errno), true);
  return 0;
}

int TQpSocket::SetSockOpt(TSocket s, int level, int option, const void* value, socklen_t length) {
  CheckStarted();
  if (::setsockopt(s, level, option, value, length) != 0) return Failed(s, host::WinsockErrorFromErrno(errno), false);
  return 0;
}

int TQpSocket::GetSockName(TSocket s, sockaddr_in* addr) {
  CheckStarted();
  sockaddr_in a{};
  socklen_t len = sizeof a;
  if (::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) != 0)
    return Failed(s, host::WinsockErrorFromErrno(errno), false);
  if (addr) *addr = a;
  return 0;
}

int TQpSocket::GetPeerName(TSocket s, sockaddr_in* addr) {
  CheckStarted();
  sockaddr_in a{};
  socklen_t len = sizeof a;
  if (::getpeername(s, reinterpret_cast<sockaddr*>(&a), &len) != 0)
    return Failed(s, host::WinsockErrorFromErrno(errno), false);
  if (addr) *addr = a;
  return 0;
}

int TQpSocket::GetSockName(TSocket s, sockaddr_storage* addr) {
  CheckStarted();
  sockaddr_storage a{};
  socklen_t len = sizeof a;
  if (::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) != 0)
    return Failed(s, host::WinsockErrorFromErrno(errno), false);
  if (addr) *addr = a;
  return 0;
}

int TQpSocket::GetPeerName(TSocket s, sockaddr_storage* addr) {
  CheckStarted();
  sockaddr_storage a{};
  socklen_t len = sizeof a;
  if (::getpeername(s, reinterpret_cast<sockaddr*>(&a), &len) != 0)
    return Failed(s, host::WinsockErrorFromErrno(errno), false);
  if (addr) *addr = a;
  return 0;
}

int TQpSocket::AsyncSelect(TSocket s, uint32_t mask) {
  CheckStarted();
  int flags = ::fcntl(s, F_GETFL);
  if (flags < 0 || ::fcntl(s, F_SETFL, flags | O_NONBLOCK) != 0)
    return Failed(s, host::WinsockErrorFromErrno(errno), false);
  TWatch& w = Track(s);
  // Notifications already queued for the old selection are not delivered.
  if (w.Pending > 0) {
    Stale[s] += w.Pending;
    w.Pending = 0;
  }
  w.Mask = mask;
  if (w.State == TWatch::stIdle) {
    int listening = 0;
    socklen_t len = sizeof listening;
    sockaddr_storage peer{};
    socklen_t plen = sizeof peer;
    if (::getsockopt(s, SOL_SOCKET, SO_ACCEPTCONN, &listening, &len) == 0 && listening)
      w.State = TWatch::stListening;
    else if (::getpeername(s, reinterpret_cast<sockaddr*>(&peer), &plen) == 0)
      w.State = TWatch::stConnected;
  }
  // Events that have already happened are reported as if they had just happened.
  w.ReadArmed = true;
  w.WriteArmed = true;
  Arm(s);
  return 0;
}

int TQpSocket::Recv(TSocket s, void* buffer, int length) {
  CheckStarted();
  if (length <= 0) return 0;
  ssize_t n = ::recv(s, buffer, static_cast<size_t>(length), 0);
  int err = n < 0 ? errno : 0;
  if (TWatch* w = FindWatch(s)) {
    w->ReadArmed = true;
    Arm(s);
  }
  if (n < 0) return Failed(s, host::WinsockErrorFromErrno(err), true);
  return static_cast<int>(n);
}

int TQpSocket::Send(TSocket s, const void* data, int length) {
  CheckStarted();
  if (length <= 0) return 0;
  ssize_t n = ::send(s, data, static_cast<size_t>(length), MSG_NOSIGNAL);
  if (n < 0) {
    int err = errno;
    if (err == EAGAIN || err == EWOULDBLOCK) {
      if (TWatch* w = FindWatch(s)) {
        w->WriteArmed = true;
        Arm(s);
      }
    }
    return Failed(s, host::WinsockErrorFromErrno(err), true);
  }
  return static_cast<int>(n);
}

uint32_t TQpSocket::InetAddr(const std::string& text) {
  CheckStarted();
  std::string t = text.substr(0, 15);
  in_addr a{};
  if (t.empty() || ::inet_aton(t.c_str(), &a) == 0) return INADDR_NONE;
  return a.s_addr;
}

std::string TQpSocket::InetNtoA(uint32_t address) {
  CheckStarted();
  char buf[INET_ADDRSTRLEN] = "";
  in_addr a{};
  a.s_addr = address;
  ::inet_ntop(AF_INET, &a, buf, sizeof buf);
  return buf;
}

uint32_t TQpSocket::ResolveHost(const std::string& name) {
  CheckStarted();
  if (name.empty()) return 0;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* res = nullptr;
  int rc = ::getaddrinfo(name.c_str(), nullptr, &hints, &res);
  if (rc != 0) {
    SetLastError(host::WinsockErrorFromResolver(rc, errno));
    return 0;
  }
  uint32_t address = 0;
  for (addrinfo* p = res; p; p = p->ai_next) {
    if (p->ai_family == AF_INET && p->ai_addr) {
      address = reinterpret_cast<const sockaddr_in*>(p->ai_addr)->sin_addr.s_addr;
      break;
    }
  }
  ::freeaddrinfo(res);
  return address;
}

std::vector<sockaddr_storage> TQpSocket::ResolveAddresses(const std::string& name) {
  CheckStarted();
  std::vector<sockaddr_storage> found;
  std::string host = name;
  if (host.size() > 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
  if (host.empty()) return found;
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* res = nullptr;
  int rc = ::getaddrinfo(host.c_str(), nullptr, &hints, &res);
  if (rc != 0) {
    SetLastError(host::WinsockErrorFromResolver(rc, errno));
    return found;
  }
  for (addrinfo* p = res; p; p = p->ai_next) {
    if (!p->ai_addr || (p->ai_family != AF_INET && p->ai_family != AF_INET6)) continue;
    sockaddr_storage a{};
    std::memcpy(&a, p->ai_addr, std::min<size_t>(p->ai_addrlen, sizeof a));
    bool seen = false;
    for (const auto& f : found) seen = seen || SameHost(f, a);
    if (!seen) found.push_back(a);
  }
  ::freeaddrinfo(res);
  return found;
}

std::string TQpSocket::AddressText(const sockaddr_storage& addr) {
  char text[INET6_ADDRSTRLEN] = "";
  if (addr.ss_family == AF_INET)
    ::inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in&>(addr).sin_addr, text, sizeof text);
  else if (addr.ss_family == AF_INET6)
    ::inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6&>(addr).sin6_addr, text, sizeof text);
  return text;
}

bool TQpSocket::SameHost(const sockaddr_storage& a, const sockaddr_storage& b) {
  if (a.ss_family != b.ss_family) return false;
  if (a.ss_family == AF_INET)
    return reinterpret_cast<const sockaddr_in&>(a).sin_addr.s_addr == reinterpret_cast<const sockaddr_in&>(b).sin_addr.s_addr;
  if (a.ss_family == AF_INET6)
    return std::memcmp(&reinterpret_cast<const sockaddr_in6&>(a).sin6_addr, &reinterpret_cast<const sockaddr_in6&>(b).sin6_addr,
                       sizeof(in6_addr)) == 0;
  return false;
}

uint16_t TQpSocket::PortOf(const sockaddr_storage& addr) {
  if (addr.ss_family == AF_INET6) return ntohs(reinterpret_cast<const sockaddr_in6&>(addr).sin6_port);
  return ntohs(reinterpret_cast<const sockaddr_in&>(addr).sin_port);
}

void TQpSocket::SetPort(sockaddr_storage& addr, uint16_t port) {
  if (addr.ss_family == AF_INET6)
    reinterpret_cast<sockaddr_in6&>(addr).sin6_port = htons(port);
  else
    reinterpret_cast<sockaddr_in&>(addr).sin_port = htons(port);
}

socklen_t TQpSocket::LengthOf(const sockaddr_storage& addr) {
  return addr.ss_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
}

uint16_t TQpSocket::ResolveService(const std::string& name) {
  CheckStarted();
  if (name.empty()) return 0;
  const servent* se = ::getservbyname(name.c_str(), "tcp");
  return se ? ntohs(static_cast<uint16_t>(se->s_port)) : 0;
}

std::string TQpSocket::HostName() {
  CheckStarted();
  char buf[256] = "";
  if (::gethostname(buf, sizeof buf - 1) != 0) return {};
  return buf;
}

}  // namespace quodra::port
