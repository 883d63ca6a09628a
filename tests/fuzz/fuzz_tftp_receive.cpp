// A download whose server answers with the datagrams the input holds: DATA, OACK, ERROR and
// anything else, each through the client's real receive path over loopback UDP. The input
// is a sequence of [2-byte length][datagram]; a length with its top bit set sends the
// datagram from a second socket (a stranger to the transfer). After the input both sockets
// end the transfer with an ERROR, so every run ends without waiting for a time-out.
// Besides memory safety: the client ends with an exception of its own family or with a
// file no longer than the DATA it was sent, and never hangs.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCoreApplication>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "tftp/dg_exception.h"
#include "tftp/dg_stream.h"
#include "tftp/dg_trivial_ftp.h"

using namespace quodra::tftp;

namespace {
void Check(bool ok) {
  if (!ok) std::abort();
}

int LoopbackSocket(sockaddr_in& addr) {
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  Check(fd >= 0);
  addr = {};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  Check(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0);
  socklen_t len = sizeof addr;
  Check(getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0);
  return fd;
}

struct TDatagram {
  bool FromStranger;
  std::string Bytes;
};
}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  static QCoreApplication app(*argc, *argv);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<TDatagram> datagrams;
  size_t dataBytes = 0;
  for (size_t at = 0; at + 2 <= size && datagrams.size() < 64;) {
    const uint16_t word = static_cast<uint16_t>(data[at] << 8 | data[at + 1]);
    at += 2;
    const size_t n = std::min<size_t>(word & 0x7FFF, size - at);
    datagrams.push_back({(word & 0x8000) != 0, std::string(reinterpret_cast<const char*>(data + at), n)});
    if (n >= 4 && data[at] == 0 && data[at + 1] == 3) dataBytes += n - 4;
    at += n;
  }

  sockaddr_in serverAddr{}, strangerAddr{};
  const int server = LoopbackSocket(serverAddr);
  const int stranger = LoopbackSocket(strangerAddr);
  std::thread peer([&] {
    pollfd p{server, POLLIN, 0};
    if (poll(&p, 1, 5000) != 1) return;  // the client sent no request
    char request[2048];
    sockaddr_in client{};
    socklen_t len = sizeof client;
    if (recvfrom(server, request, sizeof request, 0, reinterpret_cast<sockaddr*>(&client), &len) < 0) return;
    for (const auto& d : datagrams)
      sendto(d.FromStranger ? stranger : server, d.Bytes.data(), d.Bytes.size(), 0,
             reinterpret_cast<sockaddr*>(&client), len);
    static const char kEnd[] = "\0\5\0\0end";
    // Both ports end it: a stranger that spoke first became the transfer's peer.
    for (int fd : {server, stranger}) sendto(fd, kEnd, sizeof kEnd, 0, reinterpret_cast<sockaddr*>(&client), len);
  });

  TDgMemoryStream file;
  {
    TDgTrivialFTP tftp;
    tftp.Host = "127.0.0.1";
    tftp.Port = ntohs(serverAddr.sin_port);
    tftp.ReceiveTimeout = 5000;
    try {
      tftp.Get("file", file);
    } catch (const EDgException&) {
    } catch (const EStreamError&) {
    } catch (const EConvertError&) {  // an option value that is not a number
    }
  }
  peer.join();
  close(server);
  close(stranger);
  Check(file.Bytes.size() <= dataBytes);
  return 0;
}
