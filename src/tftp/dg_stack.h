#pragma once
// The socket stack: the process-wide object that puts the operating system's socket calls
// behind virtual operations, turns failed calls into exceptions with fixed texts and
// resolves host names. One instance, GStack, lives while any component of this library does.
#include <cstdint>
#include <csignal>
#include <string>
#include <unordered_map>
#include <vector>

namespace quodra::tftp {

using TDgStackSocketHandle = int;
constexpr TDgStackSocketHandle kDgInvalidSocket = -1;
constexpr int kDgSocketError = -1;
// A wait list holds at most this many sockets.
constexpr size_t kDgMaxSelectSockets = 64;

// Time-outs in milliseconds; these two values are special.
constexpr int DgTimeoutDefault = -1;   // use the component's ReceiveTimeout
constexpr int DgTimeoutInfinite = -2;  // wait without limit

class TDgStack {
 public:
  virtual ~TDgStack() = default;

  // Last error number (socket numbering) stored by CheckForSocketError.
  int LastError = 0;

  // --- socket calls; failures give -1 (or an empty text) and set WSGetLastError ---
  virtual TDgStackSocketHandle WSSocket(int family, int type, int protocol) = 0;
  virtual int WSSetSockOpt(TDgStackSocketHandle s, int level, int option, const void* value, int length) = 0;
  virtual int WSSendTo(TDgStackSocketHandle s, const void* buffer, int length, int flags, const std::string& ip, int port) = 0;
  // Receives one datagram; a datagram longer than `length` fails with 10040 (it is consumed).
  virtual int WSRecvFrom(TDgStackSocketHandle s, void* buffer, int length, int flags, std::string& ip, int& port) = 0;
  // Each list keeps only its ready sockets. Time-out DgTimeoutInfinite (or any negative
  // value) waits without limit. Returns the number of ready sockets, 0 on time-out, -1 on error.
  virtual int WSSelect(std::vector<TDgStackSocketHandle>* readList, std::vector<TDgStackSocketHandle>* writeList,
                       std::vector<TDgStackSocketHandle>* errorList, int timeoutMs) = 0;
  // Until `s` has a datagram, `wakeFd` (unless -1) turns readable or the time-out passes.
  // Returns 1 for the datagram, 2 for the wake (it wins when both are there), 0 on time-out,
  // -1 on error.
  virtual int WSWaitReadable(TDgStackSocketHandle s, int wakeFd, int timeoutMs) = 0;
  // The receive of a transfer: waits in the receive itself, up to `timeoutMs` (> 0), for one
  // datagram, unless `wakeFd` (unless -1) turns readable first (seen within a second at
  // worst); `wakeFlag` (unless null) is looked at in its place before each receive. A
  // time-out fails with 10060, the wake with 10004, a datagram longer than `length` with
  // 10040 (it is consumed).
  virtual int WSRecvFromWithin(TDgStackSocketHandle s, void* buffer, int length, std::string& ip, int& port,
                               int timeoutMs, int wakeFd, const volatile sig_atomic_t* wakeFlag) = 0;
  virtual int WSShutdown(TDgStackSocketHandle s, int how) = 0;
  virtual int WSCloseSocket(TDgStackSocketHandle s) = 0;
  // First IPv4 address of the name as dotted text; empty on failure.
  virtual std::string WSGetHostByName(const std::string& name) = 0;
  virtual int WSGetLastError() = 0;
  static uint16_t WSHToNs(uint16_t v);
  static uint16_t WSNToHs(uint16_t v);

  // --- address texts ---
  // True for the forms a.b.c.d, a.b.c, a.b and a (see TranslateStringToTInAddr).
  static bool IsIP(const std::string& text);
  // Four address bytes, most significant first; EDgInvalidIPAddress when the text does not parse.
  static void TranslateStringToTInAddr(const std::string& text, uint8_t out[4]);
  static std::string TranslateTInAddrToString(const uint8_t addr[4]);
  // "LOCALHOST" (any case) -> 127.0.0.1, an address text unchanged, anything else looked up.
  std::string ResolveHost(const std::string& host);

  // --- errors ---
  // A result of -1 stores WSGetLastError in LastError and raises EDgSocketError.
  int CheckForSocketError(int result);
  [[noreturn]] void RaiseSocketError(int errorNumber);
  static std::string TranslateSocketErrorMsg(int errorNumber);
};

// The stack on POSIX sockets and poll().
class TDgStackPosix : public TDgStack {
 public:
  TDgStackSocketHandle WSSocket(int family, int type, int protocol) override;
  int WSSetSockOpt(TDgStackSocketHandle s, int level, int option, const void* value, int length) override;
  int WSSendTo(TDgStackSocketHandle s, const void* buffer, int length, int flags, const std::string& ip, int port) override;
  int WSRecvFrom(TDgStackSocketHandle s, void* buffer, int length, int flags, std::string& ip, int& port) override;
  int WSSelect(std::vector<TDgStackSocketHandle>* readList, std::vector<TDgStackSocketHandle>* writeList,
               std::vector<TDgStackSocketHandle>* errorList, int timeoutMs) override;
  int WSWaitReadable(TDgStackSocketHandle s, int wakeFd, int timeoutMs) override;
  int WSRecvFromWithin(TDgStackSocketHandle s, void* buffer, int length, std::string& ip, int& port, int timeoutMs,
                       int wakeFd, const volatile sig_atomic_t* wakeFlag) override;
  int WSShutdown(TDgStackSocketHandle s, int how) override;
  int WSCloseSocket(TDgStackSocketHandle s) override;
  std::string WSGetHostByName(const std::string& name) override;
  int WSGetLastError() override { return CallError; }

 private:
  int Fail(int wsaError);
  int Receive(TDgStackSocketHandle s, void* buffer, int length, int flags, std::string& ip, int& port,
              bool interruptible);
  int CallError = 0;
  // The receive time-out each socket has (SO_RCVTIMEO), so that it is set only when it changes.
  std::unordered_map<TDgStackSocketHandle, int> ReceiveTimeouts;
};
// The rest of the library knows the concrete stack by this name.
using TDgStackWindows = TDgStackPosix;

// The one stack of the process; exists while at least one TDgComponent does.
extern TDgStack* GStack;

}  // namespace quodra::tftp
