#pragma once
// TQpSocket: checked wrappers of the socket calls and asynchronous notification of socket
// events. Sockets are non-blocking; their readiness is watched on the event loop and turned
// into posted notifications (read 1, write 2, accept 8, connect 16, close 32, with an error in
// the high 16 bits) that are handled in posting order on the user-interface thread:
//   read     data arrived; re-armed by the next Recv
//   write    connected, or room again after a send that would have blocked
//   accept   a connection waits on a listening socket; re-armed by the next Accept
//   connect  a connect finished (error = the reason it failed)
//   close    the peer closed (a read of 0 bytes) or reset the connection (error set)
// Errors are socket error numbers (host/winsock_errors.h).
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "host/message_target.h"

class QSocketNotifier;

namespace quodra::port {

using TSocket = int;
inline constexpr TSocket kInvalidSocket = -1;
inline constexpr int kSocketError = -1;

// Notification message and event bits.
inline constexpr uint32_t kSocketMessage = 2833;  // 0x0B11
enum : uint32_t {
  fdRead = 1, fdWrite = 2, fdOob = 4, fdAccept = 8, fdConnect = 16, fdClose = 32,
  fdAllEvents = fdRead | fdWrite | fdAccept | fdConnect | fdClose,  // 59
};

class TQpSocket {
 public:
  using TSocketEvent = std::function<void(TQpSocket* sender, TSocket socket)>;
  using TSocketErrorEvent = std::function<void(TQpSocket* sender, TSocket socket, int errCode)>;

  TQpSocket();
  virtual ~TQpSocket();
  TQpSocket(const TQpSocket&) = delete;
  TQpSocket& operator=(const TQpSocket&) = delete;

  TSocketEvent OnAccept;
  TSocketEvent OnConnect;
  TSocketEvent OnDisconnect;
  TSocketErrorEvent OnError;
  TSocketEvent OnRead;
  TSocketEvent OnWrite;

  // Every wrapper first raises EQpSocketException 9004 when the socket layer is unusable.
  // Failures answer kSocketError (or kInvalidSocket) and are reported through DoError, except
  // "would block" (10035) from Connect, Listen, Recv, Send and Shutdown, which is quiet.
  TSocket CreateSocket(int family = AF_INET);  // stream socket, non-blocking; raises EQpSocketException on failure
  int Bind(TSocket s, const sockaddr_in& addr);
  int Bind(TSocket s, const sockaddr_storage& addr);  // IPv4 or IPv6
  int Connect(TSocket s, const sockaddr_in& addr);  // in progress counts as would block (10035)
  int Connect(TSocket s, const sockaddr_storage& addr);
  int Listen(TSocket s, int backlog);
  TSocket Accept(TSocket s, sockaddr_in* remote = nullptr);
  int CloseSocket(TSocket s);
  int Shutdown(TSocket s, int how);  // SHUT_RD, SHUT_WR, SHUT_RDWR
  int SetSockOpt(TSocket s, int level, int option, const void* value, socklen_t length);
  int GetSockName(TSocket s, sockaddr_in* addr);
  int GetPeerName(TSocket s, sockaddr_in* addr);
  int GetSockName(TSocket s, sockaddr_storage* addr);
  int GetPeerName(TSocket s, sockaddr_storage* addr);
  // Sends notifications of the events in `mask` for `s`; 0 cancels them.
  int AsyncSelect(TSocket s, uint32_t mask);
  int Recv(TSocket s, void* buffer, int length);  // byte count, 0 at end of stream
  int Send(TSocket s, const void* data, int length);

  static uint16_t HtoNs(uint16_t v) { return htons(v); }
  static uint16_t NtoHs(uint16_t v) { return ntohs(v); }
  // Dotted text (at most its first 15 characters) -> address in network order, or INADDR_NONE.
  uint32_t InetAddr(const std::string& text);
  // Address in network order -> dotted text.
  std::string InetNtoA(uint32_t address);
  // First IPv4 address of a host, network order; 0 when it cannot be resolved.
  uint32_t ResolveHost(const std::string& name);
  // Every IPv6 and IPv4 address of a host, in the resolver's order (port 0); a literal
  // address, IPv6 ones also in brackets ("[::1]"), gives itself. Empty when unresolvable.
  std::vector<sockaddr_storage> ResolveAddresses(const std::string& name);
  // The numeric text of an address ("127.0.0.1", "::1"), without port.
  static std::string AddressText(const sockaddr_storage& addr);
  // The same host address (family and address; ports aside).
  static bool SameHost(const sockaddr_storage& a, const sockaddr_storage& b);
  static uint16_t PortOf(const sockaddr_storage& addr);  // host order
  static void SetPort(sockaddr_storage& addr, uint16_t port);  // host order
  static socklen_t LengthOf(const sockaddr_storage& addr);
  // Port of a TCP service name, host order; 0 when unknown.
  uint16_t ResolveService(const std::string& name);
  std::string HostName();
  // The last socket error of this thread.
  int LastError() const;
  static int LastSocketError();

  // What the socket support reported when this object was made.
  bool LibraryLoaded() const { return Loaded; }
  int StartupError() const { return StartupErrorCode; }
  const std::string& Description() const { return StartupDescription; }
  // Makes every later call fail with 9004 naming `code` (the platform's socket support is
  // unusable); 0 makes the layer usable again.
  void SetStartupError(int code) { StartupErrorCode = code; }

  // Handles one notification message (2833: w = socket, l = event | error << 16). The
  // notification window calls it; it is public so that owners may deliver one themselves.
  void HandleMessage(const host::TMessage& m);

  // Where an exception escaping a notification handler goes (it must not unwind through the
  // event loop). By default its text is written to standard error.
  static std::function<void(const std::exception&)> UnhandledException;

 protected:
  virtual void DoAccept(TSocket socket);
  virtual void DoConnect(TSocket socket);
  virtual void DoDisconnect(TSocket socket);
  // Raises OnError, or EQpSocketException(errCode) when no handler is assigned.
  virtual void DoError(TSocket socket, int errCode);
  virtual void DoRead(TSocket socket);
  virtual void DoWrite(TSocket socket);

  void SetLastError(int code) const;
  void CheckStarted() const;  // raises 9004 when unusable
  // Reports a failed call: stores the error and calls DoError unless it is quiet.
  int Failed(TSocket s, int err, bool quietWouldBlock);

 private:
  struct TWatch;
  TWatch* FindWatch(TSocket s);
  TWatch& Track(TSocket s);
  void Arm(TSocket s);  // enables the notifiers the socket's state and mask call for
  void Forget(TSocket s);
  void OnReadable(TSocket s);
  void OnWritable(TSocket s);
  void PostEvent(TSocket s, uint32_t event, int error);

  bool Loaded = true;
  int StartupErrorCode = 0;
  std::string StartupDescription;
  std::unique_ptr<host::TMessageTarget> Window;
  std::map<TSocket, std::unique_ptr<TWatch>> Watches;
  // Notifications still queued for a socket that was closed or cancelled since: dropped when
  // they arrive, so that a reused descriptor never sees them.
  std::map<TSocket, int> Stale;
};

}  // namespace quodra::port
