#include "port/tls_channel.h"

#include <arpa/inet.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

#include <cctype>

#include "port/qp_socket.h"

namespace quodra::port {
namespace {

std::string LastOpenSslError() {
  unsigned long e = ERR_peek_last_error();
  ERR_clear_error();
  if (e == 0) return {};
  char text[256] = "";
  ERR_error_string_n(e, text, sizeof text);
  return text;
}

bool IsIpAddress(const std::string& name) {
  in6_addr a6{};
  in_addr a4{};
  return ::inet_pton(AF_INET, name.c_str(), &a4) == 1 || ::inet_pton(AF_INET6, name.c_str(), &a6) == 1;
}

std::shared_ptr<ssl_ctx_st> NewContext(bool useCaStore) {
  SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
  if (!ctx) return {};
  SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
  // The owner's buffers may move between calls, and a write may be taken in part.
  SSL_CTX_set_mode(ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  // Sessions are handed from the control to the data connections by hand.
  SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
  if (useCaStore) SSL_CTX_set_default_verify_paths(ctx);
  return std::shared_ptr<ssl_ctx_st>(ctx, SSL_CTX_free);
}

}  // namespace

TTlsChannel::TSessionSlot::~TSessionSlot() {
  if (Session) SSL_SESSION_free(Session);
}

void TTlsChannel::TSessionSlot::Keep(ssl_st* ssl) {
  SSL_SESSION* session = ssl ? SSL_get1_session(ssl) : nullptr;
  if (!session) return;
  if (!SSL_SESSION_is_resumable(session)) {
    SSL_SESSION_free(session);
    return;
  }
  if (Session) SSL_SESSION_free(Session);
  Session = session;
}

TTlsChannel::TTlsChannel(const TTlsSettings& settings)
    : Settings(settings), Pin(NormalizeFingerprint(settings.Fingerprint)) {
  Context = NewContext(Pin.empty());
  Slot = std::make_shared<TSessionSlot>();
  Start();
}

TTlsChannel::TTlsChannel(const TTlsSettings& settings, std::shared_ptr<ssl_ctx_st> context,
                         std::shared_ptr<TSessionSlot> slot)
    : Settings(settings), Pin(NormalizeFingerprint(settings.Fingerprint)), Context(std::move(context)),
      Slot(std::move(slot)) {
  Start();
}

TTlsChannel::~TTlsChannel() {
  if (Ssl && HandshakeDone && Slot) Slot->Keep(Ssl);
  if (Ssl) SSL_free(Ssl);
}

std::unique_ptr<TTlsChannel> TTlsChannel::ForData() const {
  // The control connection's tickets may have arrived since it was last looked at.
  if (Slot && !Slot->Session && HandshakeDone) Slot->Keep(Ssl);
  return std::unique_ptr<TTlsChannel>(new TTlsChannel(Settings, Context, Slot));
}

void TTlsChannel::Start() {
  if (!Settings.Fingerprint.empty() && Pin.empty()) {
    Fail("TLS: the certificate fingerprint \"" + Settings.Fingerprint + "\" is not a SHA-256 fingerprint");
    return;
  }
  if (!Context || !(Ssl = SSL_new(Context.get()))) {
    Fail("TLS handshake failed: " + LastOpenSslError());
    return;
  }
  In = BIO_new(BIO_s_mem());
  Wire = BIO_new(BIO_s_mem());
  BIO_set_mem_eof_return(In, -1);  // an empty input means "more to come", not the end
  SSL_set_bio(Ssl, In, Wire);
  SSL_set_app_data(Ssl, this);
  SSL_set_connect_state(Ssl);
  // Every certificate is looked at; the first fault found is kept and judged after the
  // handshake, so that the log can say what was wrong and show the fingerprint.
  SSL_set_verify(Ssl, SSL_VERIFY_PEER, [](int ok, X509_STORE_CTX* store) { return VerifyCallback(ok, store); });
  std::string name = Settings.ServerName;
  if (name.size() > 2 && name.front() == '[' && name.back() == ']') name = name.substr(1, name.size() - 2);
  if (Pin.empty() && !name.empty()) {
    X509_VERIFY_PARAM* param = SSL_get0_param(Ssl);
    if (IsIpAddress(name)) {
      X509_VERIFY_PARAM_set1_ip_asc(param, name.c_str());
    } else {
      X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
      SSL_set1_host(Ssl, name.c_str());
    }
  }
  if (!name.empty() && !IsIpAddress(name)) SSL_set_tlsext_host_name(Ssl, name.c_str());
  if (Slot && Slot->Session) SSL_set_session(Ssl, Slot->Session);
  Advance();
}

int TTlsChannel::VerifyCallback(int ok, void* storeContext) {
  auto* store = static_cast<X509_STORE_CTX*>(storeContext);
  auto* ssl = static_cast<SSL*>(X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
  auto* self = ssl ? static_cast<TTlsChannel*>(SSL_get_app_data(ssl)) : nullptr;
  if (!ok && self && self->FirstVerifyError == 0) {
    self->FirstVerifyError = X509_STORE_CTX_get_error(store);
    self->FirstVerifyDepth = X509_STORE_CTX_get_error_depth(store);
  }
  return 1;  // judged in CheckPeer
}

void TTlsChannel::Fail(const std::string& text) {
  if (StateValue == TState::Failed) return;
  StateValue = TState::Failed;
  Failure = text;
}

void TTlsChannel::Drain() {
  if (!Wire) return;
  if (OutStart > 0 && OutStart == Out.size()) {
    Out.clear();
    OutStart = 0;
  }
  char buffer[16384];
  for (;;) {
    int n = BIO_read(Wire, buffer, sizeof buffer);
    if (n <= 0) break;
    Out.append(buffer, static_cast<size_t>(n));
  }
}

void TTlsChannel::Advance() {
  if (StateValue != TState::Handshaking || !Ssl) return;
  ERR_clear_error();
  int rc = SSL_do_handshake(Ssl);
  Drain();
  if (rc == 1) {
    HandshakeDone = true;
    CheckPeer();
    return;
  }
  int err = SSL_get_error(Ssl, rc);
  if (err == SSL_ERROR_WANT_READ || err == SSL_ERROR_WANT_WRITE) {
    if (RawEnded) Fail("TLS handshake failed: the server closed the connection");
    return;
  }
  std::string why = LastOpenSslError();
  Fail("TLS handshake failed" + (why.empty() ? std::string() : ": " + why));
}

void TTlsChannel::CheckPeer() {
  X509* cert = SSL_get1_peer_certificate(Ssl);
  if (!cert) {
    Fail("TLS handshake failed: the server sent no certificate");
    return;
  }
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  X509_digest(cert, EVP_sha256(), digest, &length);
  X509_free(cert);
  static const char kHex[] = "0123456789abcdef";
  Fingerprint.clear();
  for (unsigned int i = 0; i < length; ++i) {
    Fingerprint += kHex[digest[i] >> 4];
    Fingerprint += kHex[digest[i] & 15];
  }
  const std::string shown = ShowFingerprint(Fingerprint);
  if (!Pin.empty()) {
    if (Pin != Fingerprint)
      Fail("TLS: certificate not trusted: its SHA-256 fingerprint " + shown + " is not the pinned one");
    else
      StateValue = TState::Open;
    return;
  }
  int err = FirstVerifyError;
  if (err == 0) err = static_cast<int>(SSL_get_verify_result(Ssl));
  if (err == X509_V_OK) {
    StateValue = TState::Open;
  } else if (err == X509_V_ERR_HOSTNAME_MISMATCH || err == X509_V_ERR_IP_ADDRESS_MISMATCH) {
    Fail("TLS: certificate name mismatch: the certificate is not for " + Settings.ServerName +
         " (SHA-256 fingerprint " + shown + ")");
  } else {
    Fail(std::string("TLS: certificate not trusted (") + X509_verify_cert_error_string(err) +
         "); SHA-256 fingerprint " + shown);
  }
}

void TTlsChannel::Feed(const uint8_t* bytes, size_t count) {
  if (!In || count == 0 || StateValue == TState::Failed) return;
  BIO_write(In, bytes, static_cast<int>(count));
  Advance();
}

void TTlsChannel::FeedEnd() {
  RawEnded = true;
  Advance();
}

int TTlsChannel::Read(uint8_t* buffer, size_t count) {
  Advance();
  if (StateValue != TState::Open && StateValue != TState::Closed) return 0;
  if (PeerCloseSeen || count == 0) return 0;
  ERR_clear_error();
  int n = SSL_read(Ssl, buffer, static_cast<int>(count > 1u << 30 ? 1u << 30 : count));
  if (n > 0) {
    Drain();  // a key update asks for an answer
    return n;
  }
  int err = SSL_get_error(Ssl, n);
  Drain();
  if (err == SSL_ERROR_ZERO_RETURN) {
    PeerCloseSeen = true;
    StateValue = TState::Closed;
  } else if (err != SSL_ERROR_WANT_READ && err != SSL_ERROR_WANT_WRITE) {
    std::string why = LastOpenSslError();
    Fail("TLS failed" + (why.empty() ? std::string() : ": " + why));
  }
  return 0;
}

int TTlsChannel::Write(const uint8_t* data, size_t count) {
  Advance();
  if (StateValue != TState::Open || CloseSent || count == 0) return 0;
  ERR_clear_error();
  int n = SSL_write(Ssl, data, static_cast<int>(count > 1u << 30 ? 1u << 30 : count));
  Drain();
  if (n > 0) return n;
  int err = SSL_get_error(Ssl, n);
  if (err != SSL_ERROR_WANT_READ && err != SSL_ERROR_WANT_WRITE) {
    std::string why = LastOpenSslError();
    Fail("TLS failed" + (why.empty() ? std::string() : ": " + why));
  }
  return 0;
}

void TTlsChannel::Close() {
  if (CloseSent || !Ssl || (StateValue != TState::Open && StateValue != TState::Closed)) return;
  CloseSent = true;
  ERR_clear_error();
  SSL_shutdown(Ssl);
  ERR_clear_error();
  Drain();
}

const uint8_t* TTlsChannel::PendingOutput(size_t& count) const {
  count = Out.size() - OutStart;
  return reinterpret_cast<const uint8_t*>(Out.data() + OutStart);
}

void TTlsChannel::Sent(size_t count) {
  OutStart += std::min(count, Out.size() - OutStart);
  if (OutStart == Out.size()) {
    Out.clear();
    OutStart = 0;
  }
}

void TTlsChannel::SendPending(TQpSocket& sockets, int s) {
  while (HasOutput() && s != kInvalidSocket) {
    size_t count = 0;
    const uint8_t* bytes = PendingOutput(count);
    int n = sockets.Send(s, bytes, static_cast<int>(count));
    if (n <= 0) break;
    Sent(static_cast<size_t>(n));
  }
}

bool TTlsChannel::Resumed() const { return Ssl && SSL_session_reused(Ssl) == 1; }

std::string TTlsChannel::Protocol() const { return Ssl ? SSL_get_version(Ssl) : ""; }

std::string TTlsChannel::NormalizeFingerprint(const std::string& text) {
  std::string hex;
  for (char c : text) {
    if (c == ':' || c == ' ' || c == '\t' || c == '-') continue;
    if (!std::isxdigit(static_cast<unsigned char>(c))) return {};
    hex += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  return hex.size() == 64 ? hex : std::string();
}

std::string TTlsChannel::ShowFingerprint(const std::string& normalized) {
  std::string shown;
  for (size_t i = 0; i + 1 < normalized.size(); i += 2) {
    if (!shown.empty()) shown += ':';
    shown += static_cast<char>(std::toupper(static_cast<unsigned char>(normalized[i])));
    shown += static_cast<char>(std::toupper(static_cast<unsigned char>(normalized[i + 1])));
  }
  return shown;
}

}  // namespace quodra::port
