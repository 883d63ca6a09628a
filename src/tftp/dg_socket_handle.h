#pragma once
// One datagram socket with its local and peer address, and the blocking operations on it.
#include <string>

#include "dg_stack.h"

namespace quodra::tftp {

class TDgSocketHandle {
 public:
  TDgSocketHandle() = default;
  ~TDgSocketHandle();
  TDgSocketHandle(const TDgSocketHandle&) = delete;
  TDgSocketHandle& operator=(const TDgSocketHandle&) = delete;

  TDgStackSocketHandle Handle = kDgInvalidSocket;
  bool HandleAllocated = false;
  std::string IP;      // local address
  std::string PeerIP;  // peer address
  int Port = 0;        // local port
  int PeerPort = 0;
  int ClientPortMin = 0;
  int ClientPortMax = 0;

  // Closes any socket held, then opens an IPv4 socket; EDgInvalidSocket when that fails.
  void AllocateSocket(int type, int protocol);
  // Shuts down the sending side and closes the socket; nothing when none is open.
  // `shutdownFirst` false: another process holds a copy that must stay usable.
  void CloseSocket(bool shutdownFirst = true);
  void Reset(bool resetLocal);

  void SendTo(const std::string& ip, int port, const void* buffer, int length);
  // True when a datagram can be read within `timeoutMs` (negative: no limit). A failed
  // wait reads as not readable. EDgConnClosedGracefully when no socket is open.
  bool Readable(int timeoutMs);
  // Waits up to `timeoutMs` (negative: no limit) for a datagram or for `wakeFd` (unless -1)
  // to turn readable, whichever comes first; the wake wins when both are there.
  enum class TWaitEnd { Nothing, Datagram, Woken };
  TWaitEnd WaitReadable(int timeoutMs, int wakeFd);
  int RecvFrom(void* buffer, int length, int flags, std::string& ip, int& port);
  void SetSockOpt(int level, int option, const void* value, int length);
};

}  // namespace quodra::tftp
