#include "dg_stack.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string_view>

#include "dg_exception.h"
#include "host/clock.h"
#include "host/text_util.h"
#include "host/winsock_errors.h"

namespace quodra::tftp {

TDgStack* GStack = nullptr;

namespace {

// Reads a part of an address text as a decimal number; false when it is not one or
// exceeds `max`.
bool ReadPart(std::string_view part, uint64_t max, uint64_t& value) {
  if (part.empty()) return false;
  value = 0;
  for (char c : part) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<uint64_t>(c - '0');
    if (value > max) return false;  // also keeps the sum from overflowing
  }
  return true;
}

bool ParseAddress(const std::string& text, uint8_t out[4]) {
  // At most four parts; the fourth takes the rest of the text (and then fails to parse
  // when it holds another dot).
  // Views into the text: every datagram sent parses its address, so nothing is allocated.
  const std::string_view all(text);
  std::string_view parts[4];
  size_t count = 0, start = 0;
  while (count < 3) {
    size_t dot = all.find('.', start);
    if (dot == std::string_view::npos) break;
    parts[count++] = all.substr(start, dot - start);
    start = dot + 1;
  }
  parts[count++] = all.substr(start);

  uint64_t v[4] = {0, 0, 0, 0};
  uint32_t addr = 0;
  switch (count) {
    case 1:
      if (!ReadPart(parts[0], 0xFFFFFFFFu, v[0])) return false;
      addr = static_cast<uint32_t>(v[0]);
      break;
    case 2:
      if (!ReadPart(parts[0], 255, v[0]) || !ReadPart(parts[1], 0xFFFFFF, v[1])) return false;
      addr = static_cast<uint32_t>(v[0] << 24 | v[1]);
      break;
    case 3:
      if (!ReadPart(parts[0], 255, v[0]) || !ReadPart(parts[1], 255, v[1]) || !ReadPart(parts[2], 0xFFFF, v[2]))
        return false;
      addr = static_cast<uint32_t>(v[0] << 24 | v[1] << 16 | v[2]);
      break;
    default:
      for (int i = 0; i < 4; ++i)
        if (!ReadPart(parts[i], 255, v[i])) return false;
      addr = static_cast<uint32_t>(v[0] << 24 | v[1] << 16 | v[2] << 8 | v[3]);
      break;
  }
  out[0] = static_cast<uint8_t>(addr >> 24);
  out[1] = static_cast<uint8_t>(addr >> 16);
  out[2] = static_cast<uint8_t>(addr >> 8);
  out[3] = static_cast<uint8_t>(addr);
  return true;
}

bool MakeAddress(const std::string& ip, int port, sockaddr_in& sa) {
  std::memset(&sa, 0, sizeof(sa));
  sa.sin_family = AF_INET;
  sa.sin_port = htons(static_cast<uint16_t>(port));
  uint8_t bytes[4];
  TDgStack::TranslateStringToTInAddr(ip, bytes);
  std::memcpy(&sa.sin_addr.s_addr, bytes, 4);
  // A port that does not fit 16 bits would silently address another service.
  return port >= 0 && port <= 0xFFFF;
}

}  // namespace

uint16_t TDgStack::WSHToNs(uint16_t v) { return htons(v); }
uint16_t TDgStack::WSNToHs(uint16_t v) { return ntohs(v); }

bool TDgStack::IsIP(const std::string& text) {
  uint8_t bytes[4];
  return ParseAddress(text, bytes);
}

void TDgStack::TranslateStringToTInAddr(const std::string& text, uint8_t out[4]) {
  if (!ParseAddress(text, out)) throw EDgInvalidIPAddress(text);
}

std::string TDgStack::TranslateTInAddrToString(const uint8_t addr[4]) {
  // Every datagram received names its sender: built in place, without temporaries.
  char text[16];
  char* p = text;
  for (int i = 0; i < 4; ++i) {
    if (i > 0) *p++ = '.';
    const unsigned v = addr[i];
    if (v >= 100) *p++ = static_cast<char>('0' + v / 100);
    if (v >= 10) *p++ = static_cast<char>('0' + v / 10 % 10);
    *p++ = static_cast<char>('0' + v % 10);
  }
  return std::string(text, static_cast<size_t>(p - text));
}

std::string TDgStack::ResolveHost(const std::string& host) {
  if (host::EqualsNoCase(host, "LOCALHOST")) return "127.0.0.1";
  if (IsIP(host)) return host;
  std::string ip = WSGetHostByName(host);
  if (ip.empty()) {
    LastError = WSGetLastError();
    RaiseSocketError(LastError);
  }
  return ip;
}

int TDgStack::CheckForSocketError(int result) {
  if (result == kDgSocketError) {
    LastError = WSGetLastError();
    RaiseSocketError(LastError);
  }
  return result;
}

void TDgStack::RaiseSocketError(int errorNumber) {
  throw EDgSocketError(errorNumber,
                       "Socket Error # " + std::to_string(errorNumber) + "\r\n" + TranslateSocketErrorMsg(errorNumber));
}

std::string TDgStack::TranslateSocketErrorMsg(int errorNumber) {
  switch (errorNumber) {
    case 10004: return "Interrupted system call.";
    case 10009: return "Bad file number.";
    case 10013: return "Access denied.";
    case 10014: return "Bad address.";
    case 10022: return "Invalid argument.";
    case 10024: return "Too many open files.";
    case 10035: return "Operation would block. ";
    case 10036: return "Operation now in progress.";
    case 10037: return "Operation already in progress.";
    case 10038: return "Socket operation on non-socket.";
    case 10039: return "Destination address required.";
    case 10040: return "Message too long.";
    case 10041: return "Protocol wrong type for socket.";
    case 10042: return "Bad protocol option.";
    case 10043: return "Protocol not supported.";
    case 10044: return "Socket type not supported.";
    case 10045: return "Operation not supported on socket.";
    case 10046: return "Protocol family not supported.";
    case 10047: return "Address family not supported by protocol family.";
    case 10048: return "Address already in use.";
    case 10049: return "Cannot assign requested address.";
    case 10050: return "Network is down.";
    case 10051: return "Network is unreachable.";
    case 10052: return "Net dropped connection or reset.";
    case 10053: return "Software caused connection abort.";
    case 10054: return "Connection reset by peer.";
    case 10055: return "No buffer space available.";
    case 10056: return "Socket is already connected.";
    case 10057: return "Socket is not connected.";
    case 10058: return "Cannot send or receive after socket is closed.";
    case 10059: return "Too many references, cannot splice.";
    case 10060: return "Connection timed out.";
    case 10061: return "Connection refused.";
    case 10062: return "Too many levels of symbolic links.";
    case 10063: return "File name too long.";
    case 10064: return "Host is down.";
    case 10065: return "No route to host.";
    case 10066: return "Directory not empty";
    case 11001: return "Host not found.";
    default: return "";
  }
}

// --- POSIX stack ---

int TDgStackPosix::Fail(int wsaError) {
  CallError = wsaError;
  return kDgSocketError;
}

TDgStackSocketHandle TDgStackPosix::WSSocket(int family, int type, int protocol) {
  int s = ::socket(family, type | SOCK_CLOEXEC, protocol);
  if (s < 0) return Fail(host::WinsockErrorFromErrno(errno));
  ReceiveTimeouts.erase(s);  // a new socket has none
  return s;
}

int TDgStackPosix::WSSetSockOpt(TDgStackSocketHandle s, int level, int option, const void* value, int length) {
  if (::setsockopt(s, level, option, value, static_cast<socklen_t>(length)) < 0)
    return Fail(host::WinsockErrorFromErrno(errno));
  return 0;
}

int TDgStackPosix::WSSendTo(TDgStackSocketHandle s, const void* buffer, int length, int flags, const std::string& ip,
                            int port) {
  sockaddr_in sa;
  if (!MakeAddress(ip, port, sa)) return Fail(host::kWsaEINVAL);
  for (;;) {
    ssize_t n = ::sendto(s, buffer, static_cast<size_t>(length), flags | MSG_NOSIGNAL,
                         reinterpret_cast<const sockaddr*>(&sa), sizeof(sa));
    if (n >= 0) return static_cast<int>(n);
    if (errno != EINTR) return Fail(host::WinsockErrorFromErrno(errno));
  }
}

int TDgStackPosix::WSRecvFrom(TDgStackSocketHandle s, void* buffer, int length, int flags, std::string& ip, int& port) {
  return Receive(s, buffer, length, flags, ip, port, false);
}

int TDgStackPosix::Receive(TDgStackSocketHandle s, void* buffer, int length, int flags, std::string& ip, int& port,
                           bool interruptible) {
  sockaddr_in sa;
  for (;;) {
    socklen_t len = sizeof(sa);
    std::memset(&sa, 0, sizeof(sa));
    // MSG_TRUNC returns the datagram's real length, so that a cut datagram is reported
    // instead of being taken as a shorter one.
    ssize_t n = ::recvfrom(s, buffer, static_cast<size_t>(length), flags | MSG_TRUNC,
                           reinterpret_cast<sockaddr*>(&sa), &len);
    if (n < 0) {
      if (errno == EINTR && !interruptible) continue;
      return Fail(host::WinsockErrorFromErrno(errno));
    }
    if (sa.sin_family == AF_INET) {
      uint8_t bytes[4];
      std::memcpy(bytes, &sa.sin_addr.s_addr, 4);
      ip = TranslateTInAddrToString(bytes);
      port = ntohs(sa.sin_port);
    } else {
      ip.clear();
      port = 0;
    }
    if (n > length) return Fail(host::kWsaEMSGSIZE);
    return static_cast<int>(n);
  }
}

int TDgStackPosix::WSRecvFromWithin(TDgStackSocketHandle s, void* buffer, int length, std::string& ip, int& port,
                                    int timeoutMs, int wakeFd, const volatile sig_atomic_t* wakeFlag) {
  // One wait per datagram, in the receive itself, bounded by the socket's receive time-out:
  // a poll of the socket and the wake descriptor before each receive would add calls on the
  // path of every block. A stop signal ends the receive (one with a time-out is never
  // restarted); one that comes between the look at the wake (its flag, or its descriptor)
  // and the receive is seen at the end of the slice at the latest, so a long time-out is
  // waited in slices.
  constexpr int kSliceMs = 1000;
  const int64_t deadline = host::NowMs() + timeoutMs;
  auto woken = [wakeFd, wakeFlag] {
    if (wakeFlag) return *wakeFlag != 0;
    pollfd wake{wakeFd, POLLIN, 0};
    return wakeFd >= 0 && ::poll(&wake, 1, 0) > 0;
  };
  for (int left = timeoutMs;;) {
    if (woken()) return Fail(host::kWsaEINTR);
    const int wait = std::min(left, kSliceMs);
    int& inForce = ReceiveTimeouts[s];
    if (inForce != wait) {
      const timeval tv{wait / 1000, (wait % 1000) * 1000};
      if (::setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv)) != 0) return Fail(host::WinsockErrorFromErrno(errno));
      inForce = wait;
    }
    const int n = Receive(s, buffer, length, 0, ip, port, true);
    if (n != kDgSocketError) return n;
    // The slice passed, or a signal came: the wake is looked at again, with the time left.
    if (CallError != host::kWsaEWOULDBLOCK && CallError != host::kWsaEINTR) return kDgSocketError;
    left = static_cast<int>(std::max<int64_t>(0, deadline - host::NowMs()));
    if (left == 0) return Fail(woken() ? host::kWsaEINTR : host::kWsaETIMEDOUT);
  }
}

int TDgStackPosix::WSSelect(std::vector<TDgStackSocketHandle>* readList, std::vector<TDgStackSocketHandle>* writeList,
                            std::vector<TDgStackSocketHandle>* errorList, int timeoutMs) {
  std::vector<TDgStackSocketHandle>* lists[3] = {readList, writeList, errorList};
  const short wanted[3] = {POLLIN, POLLOUT, POLLPRI};
  std::vector<pollfd> fds;
  std::vector<int> which;  // list index of each pollfd
  for (int l = 0; l < 3; ++l) {
    if (!lists[l]) continue;
    if (lists[l]->size() > kDgMaxSelectSockets) throw EDgStackSetSizeExceeded();
    for (auto s : *lists[l]) {
      fds.push_back(pollfd{s, wanted[l], 0});
      which.push_back(l);
    }
  }
  // An interrupted wait resumes with the time that is left.
  const int64_t deadline = timeoutMs < 0 ? -1 : host::NowMs() + timeoutMs;
  int n;
  for (;;) {
    int wait = deadline < 0 ? -1 : static_cast<int>(std::max<int64_t>(0, deadline - host::NowMs()));
    n = ::poll(fds.data(), fds.size(), wait);
    if (n >= 0) break;
    if (errno != EINTR) return Fail(host::WinsockErrorFromErrno(errno));
  }
  int ready = 0;
  for (int l = 0; l < 3; ++l)
    if (lists[l]) lists[l]->clear();
  for (size_t i = 0; i < fds.size(); ++i) {
    short got = fds[i].revents;
    bool isReady = which[i] == 0   ? (got & (POLLIN | POLLERR | POLLHUP)) != 0
                   : which[i] == 1 ? (got & (POLLOUT | POLLERR | POLLHUP)) != 0
                                   : (got & (POLLPRI | POLLERR)) != 0;
    if (got & POLLNVAL) isReady = false;
    if (isReady) {
      lists[which[i]]->push_back(fds[i].fd);
      ++ready;
    }
  }
  if (n > 0 && ready == 0) {
    // Only invalid handles answered: the wait failed.
    return Fail(host::kWsaENOTSOCK);
  }
  return ready;
}

int TDgStackPosix::WSWaitReadable(TDgStackSocketHandle s, int wakeFd, int timeoutMs) {
  // Two descriptors at most: no allocation, one clock reading unless interrupted.
  pollfd fds[2] = {{s, POLLIN, 0}, {wakeFd, POLLIN, 0}};
  const nfds_t count = wakeFd >= 0 ? 2 : 1;
  int wait = timeoutMs < 0 ? -1 : timeoutMs;
  const int64_t deadline = timeoutMs < 0 ? -1 : host::NowMs() + timeoutMs;
  for (;;) {
    const int n = ::poll(fds, count, wait);
    if (n > 0) break;
    if (n == 0) return 0;
    if (errno != EINTR) return Fail(host::WinsockErrorFromErrno(errno));
    if (deadline >= 0) wait = static_cast<int>(std::max<int64_t>(0, deadline - host::NowMs()));
  }
  if (count == 2 && (fds[1].revents & (POLLIN | POLLERR | POLLHUP))) return 2;
  if (fds[0].revents & POLLNVAL) return Fail(host::kWsaENOTSOCK);
  return (fds[0].revents & (POLLIN | POLLERR | POLLHUP)) ? 1 : 0;
}

int TDgStackPosix::WSShutdown(TDgStackSocketHandle s, int how) {
  if (::shutdown(s, how) < 0) return Fail(host::WinsockErrorFromErrno(errno));
  return 0;
}

int TDgStackPosix::WSCloseSocket(TDgStackSocketHandle s) {
  ReceiveTimeouts.erase(s);
  if (::close(s) < 0) return Fail(host::WinsockErrorFromErrno(errno));
  return 0;
}

std::string TDgStackPosix::WSGetHostByName(const std::string& name) {
  if (name.empty() || name.find('\0') != std::string::npos) {
    Fail(host::kWsaHOST_NOT_FOUND);
    return {};
  }
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo* result = nullptr;
  int rc = ::getaddrinfo(name.c_str(), nullptr, &hints, &result);
  if (rc != 0) {
    Fail(host::WinsockErrorFromResolver(rc, errno));
    return {};
  }
  std::string ip;
  for (addrinfo* a = result; a && ip.empty(); a = a->ai_next) {
    if (a->ai_family != AF_INET || !a->ai_addr) continue;
    uint8_t bytes[4];
    std::memcpy(bytes, &reinterpret_cast<const sockaddr_in*>(a->ai_addr)->sin_addr.s_addr, 4);
    ip = TranslateTInAddrToString(bytes);
  }
  ::freeaddrinfo(result);
  if (ip.empty()) Fail(host::kWsaNO_DATA);
  return ip;
}

}  // namespace quodra::tftp
