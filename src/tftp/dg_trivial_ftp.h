#pragma once
// Download-only TFTP client (read requests with the "blksize" option, optionally
// "windowsize" and "tsize"). Get blocks the calling thread until the file has arrived or the
// transfer failed; progress is reported through the work events between datagrams.
#include <netinet/in.h>

#include <cstdint>
#include <string>
#include <vector>

#include "dg_stream.h"
#include "dg_udp_client.h"

namespace quodra::tftp {

enum TDgTFTPMode { tfNetAscii, tfOctet };

class TDgTrivialFTP : public TDgUDPClient {
 public:
  explicit TDgTrivialFTP(QObject* owner = nullptr);

  TDgTFTPMode TransferMode = tfOctet;
  int RequestedBlockSize = 1500;
  // Blocks the server may send before it waits for an acknowledgement; above 1 the request
  // offers "windowsize".
  int RequestedWindowSize = 1;
  // Offer "tsize 0" so that the server announces the file's size.
  bool RequestTransferSize = false;
  // After the last ACK a repeat of the last block (the ACK was lost) is answered for a short
  // while. Set, a keeper process does that and the download returns at once; clear, the
  // download waits for it itself.
  bool LingerApart = false;
  // The size the server announced for the running (or last) transfer; -1 when unknown.
  int64_t TransferSize = -1;

  // The transfer's peer: the server's address and the port its transfer runs on.
  std::string PeerIP;
  int PeerPort = 0;

  // Creates (or empties) `localFile` before anything is sent and downloads into it; the
  // file keeps what arrived when the download fails.
  void Get(const std::string& serverFile, const std::string& localFile);
  // Downloads into a stream owned by the caller, at its current position.
  void Get(const std::string& serverFile, TDgStream& destination);

  static const char* ModeWord(TDgTFTPMode mode);

 private:
  struct TTransfer;
  void Download(const std::string& serverFile, TDgStream& destination, TTransfer& t);
  // A datagram of the peer (its length); -1 when the time is up, kWokenWait (-2) when
  // WakeFd ended the wait.
  int ReceiveFromPeer(int waitMs, TTransfer& t);
  // Both are static: after an event handler they must not touch a component it may have freed.
  static void CheckAlive(const TTransfer& t);
  static void CheckTransferAlive(const TTransfer& t);
  void SendToPeer(const std::string& packet, const TTransfer& t);
  void RejectForeign(const std::string& ip, int port);
  void AcceptOptionAck(int size, TTransfer& t);
  [[noreturn]] void RefuseOption(const std::string& message, TTransfer& t);
  // Writes one block (netascii converted; synced after the last) or sends ERROR and raises.
  void WriteBlock(TDgStream& destination, const char* data, size_t count, bool last, TTransfer& t);
  // The block's line ends made local, into t.Converted.
  static void ConvertNetAscii(const char* data, size_t count, bool last, TTransfer& t);
  void FailTransfer(const std::exception& e, const TTransfer& t);
  [[noreturn]] void RaiseUnexpected();
  int LingerTime() const;
  sockaddr_in PeerAddress() const;

  std::vector<char> Buffer;
};

}  // namespace quodra::tftp
