#include "sftp/sftp_connection.h"

#include <fcntl.h>
#include <libssh/libssh.h>
#include <libssh/sftp.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <deque>

#include "host/clock.h"
#include "host/local_output_file.h"
#include "sftp/sftp_host_key.h"

namespace quodra::sftp {

namespace {

ssh_session S(void* p) { return static_cast<ssh_session>(p); }
sftp_session F(void* p) { return static_cast<sftp_session>(p); }

std::string HomeSshDir() {
  const char* home = std::getenv("HOME");
  return std::string(home && *home ? home : "/") + "/.ssh";
}

std::string SftpErrorText(int code) {
  switch (code) {
    case SSH_FX_EOF: return "end of file";
    case SSH_FX_NO_SUCH_FILE: return "no such file";
    case SSH_FX_PERMISSION_DENIED: return "permission denied";
    case SSH_FX_FAILURE: return "failure";
    case SSH_FX_BAD_MESSAGE: return "bad message";
    case SSH_FX_OP_UNSUPPORTED: return "operation not supported";
    case SSH_FX_NO_SUCH_PATH: return "no such path";
    case SSH_FX_FILE_ALREADY_EXISTS: return "file already exists";
    default: return "error " + std::to_string(code);
  }
}

TEntryKind KindOf(sftp_attributes a) {
  uint8_t type = a->type;
  if (a->flags & SSH_FILEXFER_ATTR_PERMISSIONS) {
    switch (a->permissions & 0170000) {
      case 0100000: return TEntryKind::File;
      case 0040000: return TEntryKind::Folder;
      case 0120000: type = SSH_FILEXFER_TYPE_SYMLINK; break;
      default: return TEntryKind::Other;
    }
  }
  switch (type) {
    case SSH_FILEXFER_TYPE_REGULAR: return TEntryKind::File;
    case SSH_FILEXFER_TYPE_DIRECTORY: return TEntryKind::Folder;
    default: return TEntryKind::Other;
  }
}

bool IsLink(sftp_attributes a) {
  if (a->flags & SSH_FILEXFER_ATTR_PERMISSIONS) return (a->permissions & 0170000) == 0120000;
  return a->type == SSH_FILEXFER_TYPE_SYMLINK;
}

void CopyFacts(sftp_attributes a, TSftpEntry& e) {
  e.Kind = KindOf(a);
  e.Size = (a->flags & SSH_FILEXFER_ATTR_SIZE) ? static_cast<int64_t>(a->size) : -1;
  e.MTime = (a->flags & SSH_FILEXFER_ATTR_ACMODTIME) ? static_cast<int64_t>(a->mtime) : -1;
}

std::string Join(const std::string& folder, const std::string& name) {
  if (folder.empty() || folder == ".") return name;
  return folder.back() == '/' ? folder + name : folder + "/" + name;
}

}  // namespace

TSftpConnection::~TSftpConnection() { Close(); }

void TSftpConnection::Touch() { LastActivity = quodra::host::NowMs(); }

void TSftpConnection::Interrupt(TSftpStatus why) {
  std::lock_guard<std::mutex> lock(FdLock);
  int none = -1;
  Interrupted.compare_exchange_strong(none, static_cast<int>(why));
  if (Fd >= 0) ::shutdown(Fd, SHUT_RDWR);
}

void TSftpConnection::Close(bool awaitServer) {
  if (Sftp) {
    sftp_free(F(Sftp));
    Sftp = nullptr;
  }
  int socket = -1;
  {
    std::lock_guard<std::mutex> lock(FdLock);
    socket = Fd;
    // Interrupt must not touch a number that libssh closes below and that is reused meanwhile.
    if (Session) Fd = -1;
  }
  if (Session) {
    if (ssh_is_connected(S(Session))) ssh_disconnect(S(Session));
    ssh_free(S(Session));
    Session = nullptr;
    // libssh closes the socket it was handed on some paths and leaves it open on others (a
    // session that got past the key exchange): ours is still to close when the number still
    // names it.
    struct stat st {};
    if (socket < 0 || ::fstat(socket, &st) != 0 || static_cast<uint64_t>(st.st_ino) != FdInode) return;
    std::lock_guard<std::mutex> lock(FdLock);
    Fd = socket;
  }
  if (socket < 0) return;
  if (awaitServer) AwaitServerClose(socket);
  std::lock_guard<std::mutex> lock(FdLock);
  ::close(socket);
  Fd = -1;
}

void TSftpConnection::AwaitServerClose(int socket) {
  ::shutdown(socket, SHUT_WR);
  const int64_t deadline = quodra::host::NowMs() + kServerCloseWaitMs;
  char sink[512];
  while (Interrupted.load() < 0) {
    const int64_t left = deadline - quodra::host::NowMs();
    if (left <= 0) return;
    pollfd p{socket, POLLIN, 0};
    const int ready = ::poll(&p, 1, static_cast<int>(left));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return;
    const ssize_t n = ::recv(socket, sink, sizeof sink, MSG_DONTWAIT);
    if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) return;  // the server's end
  }
}

void TSftpConnection::ServeIdle() {
  // A lost connection is noticed here too; the next request then fails at once.
  if (Sftp && Interrupted.load() < 0) ssh_channel_poll_timeout(F(Sftp)->channel, 0, 0);
}

size_t TSftpConnection::UnclaimedReplies() const {
  size_t count = 0;
  if (Sftp)
    for (sftp_request_queue q = F(Sftp)->queue; q; q = q->next) ++count;
  return count;
}

TSftpReply TSftpConnection::Failure(const std::string& what) {
  int why = Interrupted.load();
  if (why == static_cast<int>(TSftpStatus::Aborted)) return {TSftpStatus::Aborted, what + ": aborted"};
  if (why == static_cast<int>(TSftpStatus::TimedOut)) return {TSftpStatus::TimedOut, what + ": time-out"};
  // A session whose SFTP channel the server closed (its subsystem ended) takes no request.
  // A close that came in while answers were still unread leaves the channel neither closed
  // nor at its end to libssh's eyes; the next request then fails as written to a closed channel.
  const bool channelGone = Sftp && (F(Sftp)->channel == nullptr || ssh_channel_is_closed(F(Sftp)->channel) ||
                                    ssh_channel_is_eof(F(Sftp)->channel) ||
                                    std::strncmp(ssh_get_error(Session), "Remote channel is closed", 24) == 0);
  if (channelGone && Session && ssh_is_connected(S(Session)))
    return {TSftpStatus::Lost, what + ": connection lost (the server closed the SFTP channel)"};
  if (!Session || !ssh_is_connected(S(Session)))
    return {TSftpStatus::Lost, what + ": connection lost" + (Session ? std::string(" (") + ssh_get_error(Session) + ")" : "")};
  if (Sftp) return {TSftpStatus::Failed, what + ": " + SftpErrorText(sftp_get_error(F(Sftp)))};
  return {TSftpStatus::Failed, what + ": " + ssh_get_error(Session)};
}

TSftpReply TSftpConnection::ConnectSocket(const TSftpSettings& settings, int& fd) {
  std::string host = settings.Host;
  if (host.size() > 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
  std::string port = settings.Port;
  if (port.empty() || port == "ftp") port = "22";
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  int rc = ::getaddrinfo(host.c_str(), port.c_str(), &hints, &found);
  if (rc != 0) return {TSftpStatus::Lost, "Cannot resolve " + host + " port " + port + ": " + gai_strerror(rc)};
  const int limitMs = settings.ConnectTimeoutMs > 0 ? settings.ConnectTimeoutMs : kDefaultTimeoutMs;
  const int64_t deadline = quodra::host::NowMs() + limitMs;
  std::string lastError = "no address";
  TSftpStatus lastStatus = TSftpStatus::Lost;
  for (addrinfo* ai = found; ai; ai = ai->ai_next) {
    int s = ::socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, ai->ai_protocol);
    if (s < 0) continue;
    {
      std::lock_guard<std::mutex> lock(FdLock);
      Fd = s;
    }
    int err = 0;
    if (::connect(s, ai->ai_addr, ai->ai_addrlen) != 0) {
      err = errno;
      if (err == EINPROGRESS) {
        err = ETIMEDOUT;
        // In slices, so that an Abort ends the wait at once.
        while (Interrupted.load() < 0 && quodra::host::NowMs() < deadline) {
          pollfd p{s, POLLOUT, 0};
          int slice = static_cast<int>(std::min<int64_t>(200, deadline - quodra::host::NowMs()));
          if (::poll(&p, 1, std::max(slice, 0)) > 0) {
            socklen_t len = sizeof err;
            ::getsockopt(s, SOL_SOCKET, SO_ERROR, &err, &len);
            break;
          }
        }
      }
    }
    if (err == 0 && Interrupted.load() < 0) {
      int flags = ::fcntl(s, F_GETFL);
      ::fcntl(s, F_SETFL, flags & ~O_NONBLOCK);
      int one = 1;
      ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      struct stat st {};
      FdInode = ::fstat(s, &st) == 0 ? static_cast<uint64_t>(st.st_ino) : 0;
      ::freeaddrinfo(found);
      fd = s;
      return {};
    }
    {
      std::lock_guard<std::mutex> lock(FdLock);
      Fd = -1;
      ::close(s);
    }
    if (Interrupted.load() >= 0) break;
    lastStatus = err == ETIMEDOUT ? TSftpStatus::TimedOut : TSftpStatus::Lost;
    lastError = std::strerror(err);
    if (quodra::host::NowMs() >= deadline) break;
  }
  ::freeaddrinfo(found);
  if (Interrupted.load() >= 0) return Failure("Connect to " + host);
  return {lastStatus, "Connect to " + host + " port " + port + " failed: " + lastError};
}

TSftpReply TSftpConnection::StartSsh(const TSftpSettings& settings, const char* hostKeyAlgorithms) {
  int fd = -1;
  TSftpReply r = ConnectSocket(settings, fd);
  if (!r.Ok()) return r;
  Session = ssh_new();
  ssh_session s = S(Session);
  bool no = false;
  ssh_options_set(s, SSH_OPTIONS_PROCESS_CONFIG, &no);  // the profile is the whole configuration
  ssh_options_set(s, SSH_OPTIONS_FD, &fd);
  std::string host = settings.Host;
  if (host.size() > 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
  ssh_options_set(s, SSH_OPTIONS_HOST, host.c_str());
  sockaddr_storage peer{};
  socklen_t peerLen = sizeof peer;
  if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peerLen) == 0) {
    unsigned port = ntohs(peer.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&peer)->sin6_port
                                                      : reinterpret_cast<sockaddr_in*>(&peer)->sin_port);
    ssh_options_set(s, SSH_OPTIONS_PORT, &port);  // known_hosts names a server by host and port
  }
  if (!settings.User.empty()) ssh_options_set(s, SSH_OPTIONS_USER, settings.User.c_str());
  const std::string sshDir = HomeSshDir();
  ssh_options_set(s, SSH_OPTIONS_SSH_DIR, sshDir.c_str());
  const std::string knownHosts = settings.KnownHostsFile.empty() ? sshDir + "/known_hosts" : settings.KnownHostsFile;
  ssh_options_set(s, SSH_OPTIONS_KNOWNHOSTS, knownHosts.c_str());
  if (!settings.AgentSocket.empty()) ssh_options_set(s, SSH_OPTIONS_IDENTITY_AGENT, settings.AgentSocket.c_str());
  if (!settings.Ciphers.empty()) {
    ssh_options_set(s, SSH_OPTIONS_CIPHERS_C_S, settings.Ciphers.c_str());
    ssh_options_set(s, SSH_OPTIONS_CIPHERS_S_C, settings.Ciphers.c_str());
  }
  if (hostKeyAlgorithms) ssh_options_set(s, SSH_OPTIONS_HOSTKEYS, hostKeyAlgorithms);
  long connectSeconds = ((settings.ConnectTimeoutMs > 0 ? settings.ConnectTimeoutMs : kDefaultTimeoutMs) + 999) / 1000;
  ssh_options_set(s, SSH_OPTIONS_TIMEOUT, &connectSeconds);
  if (ssh_connect(s) != SSH_OK) {
    // No algorithm in common is no lost connection: trying again cannot help.
    const std::string error = ssh_get_error(s);
    const size_t noMatch = error.find("no match for method");
    if (noMatch != std::string::npos && Interrupted.load() < 0)
      return {TSftpStatus::Failed, "SSH connection to " + host + " failed: no algorithm in common with the server (" +
                                       error.substr(noMatch + 20) + ")"};
    return Failure("SSH connection to " + host);
  }
  Touch();
  return {};
}

TSftpReply TSftpConnection::Open(const TSftpSettings& settings, const std::function<void(const std::string&)>& log) {
  Close();
  Touch();
  HostName = settings.Host;
  ReadChunk = kReadSize;
  TSftpReply r = StartSsh(settings, nullptr);
  if (!r.Ok()) return r;
  std::string offered;
  r = CheckHostKey(settings, offered);
  if (r.Status == TSftpStatus::HostKey && !settings.HostKeyFingerprint.empty()) r = FindPinnedHostKey(settings, offered);
  if (!r.Ok()) return r;
  r = Authenticate(settings, log);
  if (!r.Ok()) return r;
  ssh_session s = S(Session);
  long transferSeconds = ((settings.TransferTimeoutMs > 0 ? settings.TransferTimeoutMs : kDefaultTimeoutMs) + 999) / 1000;
  ssh_options_set(s, SSH_OPTIONS_TIMEOUT, &transferSeconds);
  Sftp = sftp_new(s);
  if (!Sftp) {
    TSftpReply failed = Failure("SFTP channel");
    const std::string why = ssh_get_error(s);
    if (failed.Status == TSftpStatus::Failed)
      failed.Text = why.find("subsystem") != std::string::npos ? "The server offers no SFTP (" + why + ")"
                                                               : "The server refused a channel for SFTP (" + why + ")";
    return failed;
  }
  if (sftp_init(F(Sftp)) != SSH_OK) {
    TSftpReply failed = Failure("SFTP subsystem");
    if (failed.Status == TSftpStatus::Failed)
      failed.Text = "The server's SFTP did not start (" + failed.Text +
                    "): a forced command, or text a login script prints, may stand in its way";
    sftp_free(F(Sftp));
    Sftp = nullptr;
    return failed;
  }
  Touch();
  return {};
}

TSftpReply TSftpConnection::FindPinnedHostKey(const TSftpSettings& settings, const std::string& firstOffered) {
  // A server with keys of several kinds shows the one it prefers; the pinned key may be
  // another of its keys (an RSA key handed out by its administrator). Each other kind is
  // asked for on a connection of its own, bounded like the first by the connection time-out.
  static const char* const kKinds[][2] = {{"ssh-ed25519", "ssh-ed25519"},
                                          {"ecdsa-sha2-nistp", "ecdsa-sha2-nistp256,ecdsa-sha2-nistp384,ecdsa-sha2-nistp521"},
                                          {"rsa", "rsa-sha2-512,rsa-sha2-256"}};
  std::string seen = firstOffered;
  const std::string firstType = firstOffered.substr(firstOffered.find('(') + 1);
  for (const auto& kind : kKinds) {
    if (firstType.find(kind[0]) != std::string::npos) continue;
    Close(true);
    TSftpReply r = StartSsh(settings, kind[1]);
    // Even after the server closed the previous connection, a server that counts connections
    // not yet logged in (MaxStartups) may count it a moment longer and drop this one: asked
    // again after a short pause, a few times.
    for (int pauseMs = 100; r.Status == TSftpStatus::Lost && pauseMs <= 900 && Interrupted.load() < 0; pauseMs *= 3) {
      Close();
      const int64_t until = quodra::host::NowMs() + pauseMs;
      while (Interrupted.load() < 0 && quodra::host::NowMs() < until) ::poll(nullptr, 0, 20);
      if (Interrupted.load() < 0) r = StartSsh(settings, kind[1]);
    }
    if (Interrupted.load() >= 0) return r.Ok() ? Failure("Host key") : r;
    // A server without a key of this kind has no host key algorithm in common with this
    // connection; a connection that failed otherwise (dropped, timed out) leaves the
    // question open, and the run may ask again.
    if (r.Status == TSftpStatus::Failed) continue;
    if (!r.Ok()) {
      Close();
      return {r.Status, "Host key of " + HostName + ": its " + kind[0] + " key could not be asked for (" + r.Text + ")"};
    }
    std::string offered;
    r = CheckHostKey(settings, offered);
    if (r.Ok() || r.Status != TSftpStatus::HostKey) return r;
    seen += ", " + offered;
  }
  Close();
  THostKeyState none = THostKeyState::Error;
  return {TSftpStatus::HostKey, HostKeyVerdict(HostName, seen, settings.HostKeyFingerprint, none, "")};
}

TSftpReply TSftpConnection::CheckHostKey(const TSftpSettings& settings, std::string& offered) {
  ssh_session s = S(Session);
  ssh_key key = nullptr;
  if (ssh_get_server_publickey(s, &key) != SSH_OK) return Failure("Host key");
  unsigned char* hash = nullptr;
  size_t hashLen = 0;
  int rc = ssh_get_publickey_hash(key, SSH_PUBLICKEY_HASH_SHA256, &hash, &hashLen);
  const char* type = ssh_key_type_to_char(ssh_key_type(key));
  const std::string typeName = type ? type : "unknown";
  ssh_key_free(key);
  if (rc != SSH_OK) return Failure("Host key");
  char* fpText = ssh_get_fingerprint_hash(SSH_PUBLICKEY_HASH_SHA256, hash, hashLen);
  ssh_clean_pubkey_hash(&hash);
  std::string fingerprint = fpText ? fpText : "";
  ssh_string_free_char(fpText);
  offered = fingerprint + " (" + typeName + ")";
  THostKeyState state = THostKeyState::Error;
  if (settings.HostKeyFingerprint.empty()) {
    switch (ssh_session_is_known_server(s)) {
      case SSH_KNOWN_HOSTS_OK: state = THostKeyState::Known; break;
      case SSH_KNOWN_HOSTS_CHANGED:
      case SSH_KNOWN_HOSTS_OTHER: state = THostKeyState::Changed; break;
      case SSH_KNOWN_HOSTS_UNKNOWN:
      case SSH_KNOWN_HOSTS_NOT_FOUND: state = THostKeyState::Unknown; break;
      default: state = THostKeyState::Error; break;
    }
  }
  const std::string knownHosts = settings.KnownHostsFile.empty() ? HomeSshDir() + "/known_hosts" : settings.KnownHostsFile;
  std::string verdict = HostKeyVerdict(HostName, fingerprint, settings.HostKeyFingerprint, state, knownHosts);
  if (!verdict.empty()) return {TSftpStatus::HostKey, verdict};
  return {};
}

TSftpReply TSftpConnection::PasswordLogin(const TSftpSettings& settings, int methods,
                                          const std::function<void(const std::string&)>& log) {
  ssh_session s = S(Session);
  int rc = SSH_AUTH_DENIED;
  if (methods & SSH_AUTH_METHOD_PASSWORD) {
    if (log) log("Login with password");
    rc = ssh_userauth_password(s, nullptr, settings.Password.c_str());
    if (rc == SSH_AUTH_SUCCESS) return {};
    if (rc == SSH_AUTH_ERROR) return Failure("Login");
  }
  if (rc != SSH_AUTH_PARTIAL && (methods & SSH_AUTH_METHOD_INTERACTIVE)) {
    if (log) log("Login with keyboard-interactive password");
    rc = ssh_userauth_kbdint(s, nullptr, nullptr);
    // Only a single prompt is answered (with the password); rounds without prompts go on.
    for (int round = 0; rc == SSH_AUTH_INFO && round < 5; ++round) {
      int prompts = ssh_userauth_kbdint_getnprompts(s);
      if (prompts > 1) break;
      if (prompts == 1) ssh_userauth_kbdint_setanswer(s, 0, settings.Password.c_str());
      rc = ssh_userauth_kbdint(s, nullptr, nullptr);
    }
    if (rc == SSH_AUTH_SUCCESS) return {};
    if (rc == SSH_AUTH_ERROR) return Failure("Login");
  }
  const std::string user = settings.User.empty() ? std::string("(current user)") : settings.User;
  if (rc == SSH_AUTH_PARTIAL)
    return {TSftpStatus::Refused, "Login refused: the server accepted the password of " + user +
                                      " but asks for yet another login method"};
  return {TSftpStatus::Refused, "Login refused: password of " + user + " not accepted"};
}

TSftpReply TSftpConnection::AfterPartialLogin(const TSftpSettings& settings, const std::string& accepted,
                                              const std::function<void(const std::string&)>& log) {
  // The server took the key and wants a second login (AuthenticationMethods publickey,password):
  // the profile's password is the one it can give.
  const int methods = ssh_userauth_list(S(Session), nullptr);
  const bool asksPassword = (methods & (SSH_AUTH_METHOD_PASSWORD | SSH_AUTH_METHOD_INTERACTIVE)) != 0;
  if (asksPassword && !settings.Password.empty()) {
    if (log) log("The server accepted " + accepted + " and asks for a password too");
    return PasswordLogin(settings, methods, log);
  }
  const std::string user = settings.User.empty() ? std::string("(current user)") : settings.User;
  return {TSftpStatus::Refused, "Login refused: the server accepted " + accepted + " for " + user +
                                    (asksPassword ? " but asks for a password too, and the profile has none"
                                                  : " but asks for another login method as well")};
}

TSftpReply TSftpConnection::Authenticate(const TSftpSettings& settings, const std::function<void(const std::string&)>& log) {
  ssh_session s = S(Session);
  const std::string user = settings.User.empty() ? std::string("(current user)") : settings.User;
  int rc = ssh_userauth_none(s, nullptr);
  if (rc == SSH_AUTH_SUCCESS) return {};
  if (rc == SSH_AUTH_ERROR) return Failure("Login");
  const int methods = ssh_userauth_list(s, nullptr);
  if (!settings.PrivateKeyFile.empty()) {
    ssh_key key = nullptr;
    const char* passphrase = settings.Password.empty() ? nullptr : settings.Password.c_str();
    // No callback: a key that wants a passphrase the profile lacks fails here, it never prompts.
    if (ssh_pki_import_privkey_file(settings.PrivateKeyFile.c_str(), passphrase, nullptr, nullptr, &key) != SSH_OK)
      return {TSftpStatus::Refused, "Private key file " + settings.PrivateKeyFile +
                                        " could not be read (missing file, or a wrong or missing passphrase)"};
    if (log) log("Login with key file " + settings.PrivateKeyFile);
    rc = ssh_userauth_publickey(s, nullptr, key);
    ssh_key_free(key);
    if (rc == SSH_AUTH_SUCCESS) return {};
    if (rc == SSH_AUTH_ERROR) return Failure("Login");
    if (rc == SSH_AUTH_PARTIAL) return AfterPartialLogin(settings, "the key of " + settings.PrivateKeyFile, log);
    return {TSftpStatus::Refused, "Login refused: the server did not accept the key of " + settings.PrivateKeyFile +
                                      " for " + user};
  }
  if (!settings.Password.empty()) {
    if (!(methods & (SSH_AUTH_METHOD_PASSWORD | SSH_AUTH_METHOD_INTERACTIVE)))
      return {TSftpStatus::Refused, "Login refused: the server takes no password for " + user};
    return PasswordLogin(settings, methods, log);
  }
  const char* envAgent = std::getenv("SSH_AUTH_SOCK");
  if (settings.AgentSocket.empty() && !(envAgent && *envAgent))
    return {TSftpStatus::Refused, "Login refused: no key file, no password and no ssh-agent (SSH_AUTH_SOCK) for " + user};
  if (log) log("Login with the keys of ssh-agent");
  rc = ssh_userauth_agent(s, nullptr);
  if (rc == SSH_AUTH_SUCCESS) return {};
  if (rc == SSH_AUTH_ERROR && !ssh_is_connected(s)) return Failure("Login");
  if (rc == SSH_AUTH_PARTIAL) return AfterPartialLogin(settings, "a key of the ssh-agent", log);
  return {TSftpStatus::Refused, "Login refused: no key of the ssh-agent was accepted for " + user};
}

TSftpReply TSftpConnection::List(const std::string& folder, std::vector<TSftpEntry>& entries) {
  entries.clear();
  if (!Sftp) return {TSftpStatus::Lost, "Not connected"};
  const std::string path = folder.empty() ? "." : folder;
  sftp_dir dir = sftp_opendir(F(Sftp), path.c_str());
  if (!dir) return Failure("Folder " + path);
  Touch();
  while (sftp_attributes a = sftp_readdir(F(Sftp), dir)) {
    Touch();
    TSftpEntry e;
    e.Name = a->name ? a->name : "";
    if (e.Name.empty() || e.Name == "." || e.Name == "..") {
      sftp_attributes_free(a);
      continue;
    }
    CopyFacts(a, e);
    e.Link = IsLink(a);
    sftp_attributes_free(a);
    if (e.Link) {
      // What counts is what the link leads to: a folder, a file, or nothing (dangling).
      sftp_attributes t = sftp_stat(F(Sftp), Join(path, e.Name).c_str());
      if (t) {
        CopyFacts(t, e);
        sftp_attributes_free(t);
      } else if (!ssh_is_connected(S(Session)) || Interrupted.load() >= 0) {
        sftp_closedir(dir);
        return Failure("Folder " + path);
      } else {
        e.Kind = TEntryKind::Other;
      }
    }
    entries.push_back(std::move(e));
  }
  bool complete = sftp_dir_eof(dir) == 1;
  TSftpReply r = complete ? TSftpReply{} : Failure("Folder " + path);
  sftp_closedir(dir);
  return r;
}

TSftpReply TSftpConnection::Stat(const std::string& path, TSftpEntry& entry) {
  entry = TSftpEntry{};
  if (!Sftp) return {TSftpStatus::Lost, "Not connected"};
  auto slash = path.find_last_of('/');
  entry.Name = slash == std::string::npos ? path : path.substr(slash + 1);
  sftp_attributes a = sftp_stat(F(Sftp), path.c_str());
  Touch();
  if (!a) {
    TSftpReply r = Failure("File " + path);
    if (r.Status == TSftpStatus::Failed) entry.Kind = TEntryKind::Missing;
    return r;
  }
  CopyFacts(a, entry);
  sftp_attributes_free(a);
  return {};
}

TSftpReply TSftpConnection::Delete(const std::string& path) {
  if (!Sftp) return {TSftpStatus::Lost, "Not connected"};
  int rc = sftp_unlink(F(Sftp), path.c_str());
  Touch();
  return rc == 0 ? TSftpReply{} : Failure("Delete " + path);
}

TSftpReply TSftpConnection::ChangeFolder(const std::string& from, const std::string& name, std::string& resolved,
                                         std::vector<TSftpEntry>& entries) {
  resolved.clear();
  entries.clear();
  if (!Sftp) return {TSftpStatus::Lost, "Not connected"};
  const std::string wanted = !name.empty() && name.front() == '/' ? name : Join(from.empty() ? "." : from, name);
  char* real = sftp_canonicalize_path(F(Sftp), wanted.c_str());
  if (!real) return Failure("Folder " + wanted);
  Touch();
  resolved = real;
  ssh_string_free_char(real);
  // The server may resolve a name that does not exist (the last part is not looked up).
  sftp_attributes a = sftp_stat(F(Sftp), resolved.c_str());
  if (!a) return Failure("Folder " + resolved);
  Touch();
  TSftpEntry entry;
  CopyFacts(a, entry);
  sftp_attributes_free(a);
  if (entry.Kind != TEntryKind::Folder) return {TSftpStatus::Failed, "Folder " + resolved + ": not a folder"};
  return List(resolved, entries);
}

TSftpReply TSftpConnection::Fetch(const std::string& path, uint64_t offset, quodra::host::TLocalOutputFile& out,
                                  std::atomic<int64_t>& bytes, int64_t knownSize) {
  if (!Sftp) return {TSftpStatus::Lost, "Not connected"};
  sftp_file file = sftp_open(F(Sftp), path.c_str(), O_RDONLY, 0);
  if (!file) return Failure("File " + path);
  Touch();
  struct TRequest {
    int Id;
    uint64_t Offset;
    uint32_t Length;
  };
  std::deque<TRequest> inFlight;
  std::vector<char> buffer(kReadSize);
  uint32_t& chunk = ReadChunk;  // lowered to what the server answers when it caps its reads
  uint64_t next = offset;      // where the next request starts
  // Reads in flight: a few at first, so that a small file costs one data answer and one
  // end of file; doubled with each full answer up to kReadsInFlight for a large one.
  int window = kFirstReadsInFlight;
  bool atEnd = false;
  int writeError = 0;
  TSftpReply failed;
  auto fail = [&](const std::string& what) {
    if (failed.Ok()) failed = Failure(what);
  };
  auto sessionLost = [&] { return Interrupted.load() >= 0 || !ssh_is_connected(S(Session)); };
  // No request starts past the file's known end except the one that finds that end, so that
  // a file's last answers are not followed by a window of ends of file (an answer from past
  // the known end, a file that grew meanwhile, lifts the bound).
  auto issue = [&] {
    while (!atEnd && failed.Ok() && static_cast<int>(inFlight.size()) < window &&
           (knownSize < 0 || next <= static_cast<uint64_t>(knownSize))) {
      int id = sftp_async_read_begin(file, chunk);
      if (id < 0) return fail("Read " + path);
      inFlight.push_back({id, next, chunk});
      next += chunk;
    }
  };
  // The answer to one request. libssh marks the file at its end after the first end-of-file
  // answer and from then on returns 0 without taking the answers still due, which stay in
  // the session's queue for good (and every later request searches that queue): the mark is
  // cleared, so that each answer is taken.
  auto await = [&](const TRequest& r) {
    file->eof = 0;
    return sftp_async_read(file, buffer.data(), r.Length, r.Id);
  };
  enum class TDrained { Nothing, EndFirst, DataFirst };
  // Every request sent is answered and read, so that nothing of this file is left queued.
  // Says what the first answer drained was.
  auto drain = [&]() {
    TDrained first = TDrained::Nothing;
    while (!inFlight.empty()) {
      TRequest r = inFlight.front();
      inFlight.pop_front();
      int n = await(r);
      if (n < 0) {
        fail("Read " + path);
        if (sessionLost()) {
          inFlight.clear();  // no answer comes any more
          break;
        }
      }
      if (first == TDrained::Nothing) first = n == 0 ? TDrained::EndFirst : TDrained::DataFirst;
    }
    return first;
  };
  sftp_seek64(file, next);
  issue();
  while (!inFlight.empty() && failed.Ok()) {
    TRequest r = inFlight.front();
    inFlight.pop_front();
    int n = await(r);
    if (n < 0) {
      fail("Read " + path);
      if (!sessionLost()) drain();
      break;
    }
    Touch();
    if (n == 0) {  // the server's end of file: every byte is in
      atEnd = true;
      drain();
      break;
    }
    if (int err = out.Write(buffer.data(), static_cast<size_t>(n)); err != 0) {
      writeError = err;
      drain();
      break;
    }
    bytes += n;
    if (knownSize >= 0 && r.Offset + static_cast<uint64_t>(n) > static_cast<uint64_t>(knownSize)) knownSize = -1;
    if (static_cast<uint32_t>(n) < r.Length) {
      // A short answer: the requests after it ask for the wrong offsets. They are dropped
      // and the reading goes on from here, in pieces of the size the server gave (a server
      // that caps its reads does so again). The next one's end of file says only that the
      // file ends before that one's offset: this answer ends it where the file's known size
      // says so; where that is unknown, one more request asks.
      const TDrained after = drain();
      const uint64_t reached = r.Offset + static_cast<uint64_t>(n);
      const bool sizeReached = knownSize >= 0 && reached >= static_cast<uint64_t>(knownSize);
      if (after == TDrained::EndFirst && failed.Ok() && sizeReached) {
        atEnd = true;
        break;
      }
      next = reached;
      if (after == TDrained::DataFirst || (after == TDrained::EndFirst && knownSize >= 0)) chunk = static_cast<uint32_t>(n);
      sftp_seek64(file, next);
    } else {
      window = std::min(window * 2, kReadsInFlight);
    }
    issue();
  }
  if (failed.Ok() && !atEnd && writeError == 0) fail("Read " + path);
  sftp_close(file);
  if (!failed.Ok()) return failed;
  if (writeError != 0)
    return {TSftpStatus::Failed, "Write to " + out.Path() + " failed: " + std::strerror(writeError)};
  return {};
}

}  // namespace quodra::sftp
