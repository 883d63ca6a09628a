#include "port/qp_device_socket.h"

#include <QCoreApplication>

#include <algorithm>

namespace quodra::port {
namespace {

TQpDeviceSocket* gInstance = nullptr;

void FreeInstance() {
  delete gInstance;
  gInstance = nullptr;
}

}  // namespace

TQpDeviceSocket& TQpDeviceSocket::Instance() {
  if (!gInstance) {
    gInstance = new TQpDeviceSocket();
    // Freed with the application object, while the event loop's objects still exist.
    if (QCoreApplication::instance()) qAddPostRoutine(FreeInstance);
  }
  return *gInstance;
}

TQpDeviceSocket::TQpDeviceSocket() = default;

TQpDeviceSocket::~TQpDeviceSocket() {
  CacheSocket = kInvalidSocket;
  CacheConnection = nullptr;
  Connections.clear();  // each connection closes its sockets
}

TWsConnection* TQpDeviceSocket::CreateConnection(TWsDispatcherLink* dispatcher, bool client, bool telnet,
                                                 uint32_t inSize, uint32_t outSize, int family) {
  auto c = std::make_unique<TWsConnection>(*this, dispatcher, client, telnet, inSize, outSize, family);
  c->TelnetState().TerminalType = TerminalType;
  Connections.push_back(std::move(c));
  return Connections.back().get();
}

void TQpDeviceSocket::CloseConnection(TWsConnection* connection) {
  if (!connection) return;
  CacheSocket = kInvalidSocket;
  CacheConnection = nullptr;
  auto it = std::find_if(Connections.begin(), Connections.end(),
                         [connection](const auto& c) { return c.get() == connection; });
  if (it == Connections.end()) return;
  std::unique_ptr<TWsConnection> doomed = std::move(*it);
  Connections.erase(it);
  doomed->Close();
}

TWsConnection* TQpDeviceSocket::FindConnection(TSocket s) {
  if (s == kInvalidSocket) return nullptr;
  if (CacheConnection && s == CacheSocket) return CacheConnection;
  for (const auto& c : Connections) {
    if (c->OwnSocket() == s || c->PeerSocket() == s) {
      CacheSocket = s;
      CacheConnection = c.get();
      return c.get();
    }
  }
  return nullptr;
}

intptr_t TQpDeviceSocket::TellPort(TWsConnection* c, uint32_t event, intptr_t param) {
  TWsDispatcherLink* link = c ? c->Dispatcher() : nullptr;
  return link ? link->WsTellPort(event, param) : 0;
}

void TQpDeviceSocket::DoAccept(TSocket socket) {
  TWsConnection* c = FindConnection(socket);
  if (!c) {
    TQpSocket::DoAccept(socket);
    return;
  }
  sockaddr_in remote{};
  if (c->PeerSocket() != kInvalidSocket) {
    // One connection per listening port: a second caller is let in and shown out at once.
    TSocket extra = Accept(socket, &remote);
    if (extra != kInvalidSocket) CloseSocket(extra);
    return;
  }
  TSocket peer = Accept(socket, &remote);
  if (peer == kInvalidSocket) {
    if (c->Dispatcher()) c->Dispatcher()->WsClearRemoteAddress();
    return;
  }
  c->SetPeerSocket(peer);
  CacheSocket = kInvalidSocket;
  CacheConnection = nullptr;
  intptr_t accepted = TellPort(c, weAccept, static_cast<intptr_t>(remote.sin_addr.s_addr));
  // The port's handler may have closed the connection meanwhile.
  c = FindConnection(peer);
  if (!c) return;
  if (!accepted) {
    c->SetPeerSocket(kInvalidSocket);
    CacheSocket = kInvalidSocket;
    CacheConnection = nullptr;
    CloseSocket(peer);
  } else {
    c->SetConnected(true);
  }
}

void TQpDeviceSocket::DoConnect(TSocket socket) {
  if (TWsConnection* c = FindConnection(socket)) {
    c->SetConnected(true);
    if (c->Client()) c->SetPeerSocket(c->OwnSocket());
    TellPort(c, weConnect, 0);
  }
  TQpSocket::DoConnect(socket);
}

void TQpDeviceSocket::DoDisconnect(TSocket socket) {
  if (TWsConnection* c = FindConnection(socket)) {
    if (c->Dispatcher()) c->Dispatcher()->WsClearRemoteAddress();
    c->SetPeerSocket(kInvalidSocket);
    c->SetConnected(false);
    CacheSocket = kInvalidSocket;
    CacheConnection = nullptr;
    if (socket != c->OwnSocket()) {
      // An accepted peer went away; the listening socket stays.
      TellPort(c, weAcceptedClose, 0);
      CloseSocket(socket);
    } else {
      TellPort(c, weClose, 0);
    }
  }
  TQpSocket::DoDisconnect(socket);
}

void TQpDeviceSocket::DoError(TSocket socket, int errCode) {
  if (TWsConnection* c = FindConnection(socket)) TellPort(c, static_cast<uint32_t>(errCode), 0);
  if (OnError) OnError(this, socket, errCode);
}

void TQpDeviceSocket::DoRead(TSocket socket) {
  TWsConnection* c = FindConnection(socket);
  if (c && c->Dispatcher()) c->Dispatcher()->WsReadable();
}

void TQpDeviceSocket::DoWrite(TSocket socket) { TQpSocket::DoWrite(socket); }

}  // namespace quodra::port
