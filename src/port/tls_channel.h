#pragma once
// TTlsChannel: the client side of one TLS connection, as a byte pump that knows no socket.
// The owner feeds it what the socket received (Feed, FeedEnd), sends what it has ready to
// go out (PendingOutput, Sent), and reads and writes the plain bytes (Read, Write). The
// handshake runs by itself as bytes come and go; until it has finished and the server's
// certificate passed the check, nothing written goes out and nothing is handed out.
//
// The certificate check: with a fingerprint set, the certificate's SHA-256 fingerprint must
// be exactly that one; otherwise it must verify against the system's CA store (OpenSSL's
// default paths, which SSL_CERT_FILE and SSL_CERT_DIR override) and name the server (its
// host name, or its IP address when the server is given as one).
//
// A data connection is made with ForData: same settings, same context, and the session of
// this connection offered for resumption.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

struct ssl_st;
struct ssl_ctx_st;
struct bio_st;
struct ssl_session_st;

namespace quodra::port {

class TQpSocket;

struct TTlsSettings {
  std::string ServerName;   // host name or IP address the certificate must name
  std::string Fingerprint;  // as the user wrote it (hex, colons allowed); blank: CA check
};

class TTlsChannel {
 public:
  enum class TState { Handshaking, Open, Closed, Failed };

  // A client channel; the handshake starts at once (its first bytes wait in PendingOutput).
  explicit TTlsChannel(const TTlsSettings& settings);
  ~TTlsChannel();
  TTlsChannel(const TTlsChannel&) = delete;
  TTlsChannel& operator=(const TTlsChannel&) = delete;

  // A channel for a data connection of the same server, resuming this one's session.
  std::unique_ptr<TTlsChannel> ForData() const;

  void Feed(const uint8_t* bytes, size_t count);
  // The raw stream has ended: without the peer's close_notify before it, the stream counts
  // as cut off (Truncated).
  void FeedEnd();
  // Decrypted bytes into `buffer`; 0 when none are ready now (see State).
  int Read(uint8_t* buffer, size_t count);
  // Plain bytes taken for sending (0 until the channel is Open).
  int Write(const uint8_t* data, size_t count);
  // Queues a close_notify (once); nothing can be written afterwards.
  void Close();

  // Encrypted bytes waiting to be sent, and how many of them went out.
  const uint8_t* PendingOutput(size_t& count) const;
  void Sent(size_t count);
  bool HasOutput() const { return OutStart < Out.size(); }
  // Sends what is waiting through `sockets` on `s`, as much as the socket takes now.
  void SendPending(TQpSocket& sockets, int s);

  TState State() const { return StateValue; }
  bool Open() const { return StateValue == TState::Open; }
  bool Failed() const { return StateValue == TState::Failed; }
  // The peer's close_notify arrived.
  bool PeerClosed() const { return PeerCloseSeen; }
  // The raw stream ended without a close_notify.
  bool Truncated() const { return RawEnded && !PeerCloseSeen; }
  // Why the channel failed, as a log line.
  const std::string& FailureText() const { return Failure; }
  // After the handshake: whether the session was resumed, the protocol, the fingerprint.
  bool Resumed() const;
  std::string Protocol() const;
  const std::string& PeerFingerprint() const { return Fingerprint; }

  // 64 lower-case hex digits of a fingerprint as written (colons, blanks and case free);
  // empty when the text is not one.
  static std::string NormalizeFingerprint(const std::string& text);
  // A fingerprint as log lines show it: upper-case pairs joined by colons.
  static std::string ShowFingerprint(const std::string& normalized);

 private:
  // The newest resumable session of a control connection and its data connections: a data
  // connection gets fresh tickets, and servers may take each ticket only once.
  struct TSessionSlot {
    ssl_session_st* Session = nullptr;
    ~TSessionSlot();
    void Keep(ssl_st* ssl);
  };
  TTlsChannel(const TTlsSettings& settings, std::shared_ptr<ssl_ctx_st> context, std::shared_ptr<TSessionSlot> slot);
  void Start();
  void Advance();      // drives the handshake, then checks the certificate
  void CheckPeer();    // Open or Failed
  void Fail(const std::string& text);
  void Drain();        // moves what OpenSSL wrote into Out
  static int VerifyCallback(int ok, void* storeContext);

  TTlsSettings Settings;
  std::string Pin;  // normalized
  std::shared_ptr<ssl_ctx_st> Context;
  std::shared_ptr<TSessionSlot> Slot;
  bool HandshakeDone = false;
  ssl_st* Ssl = nullptr;
  bio_st* In = nullptr;   // raw bytes from the peer (owned by Ssl)
  bio_st* Wire = nullptr; // raw bytes to the peer (owned by Ssl)
  std::string Out;
  size_t OutStart = 0;
  TState StateValue = TState::Handshaking;
  bool PeerCloseSeen = false;
  bool RawEnded = false;
  bool CloseSent = false;
  int FirstVerifyError = 0;
  int FirstVerifyDepth = 0;
  std::string Failure;
  std::string Fingerprint;
};

}  // namespace quodra::port
