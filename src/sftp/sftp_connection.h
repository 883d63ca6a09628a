#pragma once
// One SFTP session over libssh, in blocking calls: connect, check the host key, log in, and
// the file operations. It runs on the client's worker thread; another thread may only call
// Interrupt, which shuts the socket down so that whatever call is blocked returns at once.
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "sftp/sftp_types.h"

namespace quodra::host {
class TLocalOutputFile;
}

namespace quodra::sftp {

class TSftpConnection {
 public:
  // Reads in flight and the size of each: 4 MiB on their way keep a fast link busy. Each
  // answer is copied twice inside libssh; in pieces of 64 KiB those copies stay in the
  // processor's caches (measured against 128 and 255 KiB: a fifth less CPU for the same
  // bytes). A server with a lower cap is met with its own size after its first short answer.
  static constexpr int kReadsInFlight = 64;
  static constexpr int kFirstReadsInFlight = 2;
  static constexpr uint32_t kReadSize = 64 * 1024;

  TSftpConnection() = default;
  ~TSftpConnection();
  TSftpConnection(const TSftpConnection&) = delete;
  TSftpConnection& operator=(const TSftpConnection&) = delete;

  // Connects (bounded by the connection time-out), checks the host key, logs in and starts
  // the SFTP subsystem. `log` receives the progress lines of the login.
  TSftpReply Open(const TSftpSettings& settings, const std::function<void(const std::string&)>& log);
  bool IsOpen() const { return Sftp != nullptr; }
  // Ends the session. With `awaitServer`, waits (briefly) until the server has closed the
  // connection too: one that counts connections not yet logged in (MaxStartups) would
  // otherwise drop the next one as long as it still counts this one.
  void Close(bool awaitServer = false);

  TSftpReply List(const std::string& folder, std::vector<TSftpEntry>& entries);
  TSftpReply Stat(const std::string& path, TSftpEntry& entry);
  // Bytes from `offset` to the end of the file go to `out` (opened by the caller, committed
  // or rolled back by the caller). `bytes` counts what was written. `knownSize`: the file's
  // size as the server last gave it (-1 unknown), which tells a short answer at the file's
  // end from one of a server that caps its reads.
  TSftpReply Fetch(const std::string& path, uint64_t offset, quodra::host::TLocalOutputFile& out,
                   std::atomic<int64_t>& bytes, int64_t knownSize = -1);
  TSftpReply Delete(const std::string& path);
  // The folder `name` leads to from `from` ("" the login folder), as the server resolves it
  // (so ".." of "/" is "/"), and its listing. Fails when it is not a folder.
  TSftpReply ChangeFolder(const std::string& from, const std::string& name, std::string& resolved,
                          std::vector<TSftpEntry>& entries);

  // Between requests: handles what the server sent meanwhile without waiting, so that its
  // keep-alive questions are answered and an idle session is not dropped as dead.
  void ServeIdle();
  // Any thread: ends the blocked call and the session. `why` becomes the reply's status.
  void Interrupt(TSftpStatus why);
  // Before a new Open (on the thread that started it, while no request runs): an earlier
  // interruption ended the earlier session only.
  void ClearInterrupt() { Interrupted = -1; }
  // Answers libssh holds that no request of this session will take (each one makes every
  // later request slower); zero between requests.
  size_t UnclaimedReplies() const;
  // Any thread: the time of the last sign of life from the server (monotonic ms).
  int64_t LastActivityMs() const { return LastActivity.load(); }

 private:
  TSftpReply ConnectSocket(const TSftpSettings& settings, int& fd);
  // Connects the socket and runs the key exchange, offering only `hostKeyAlgorithms` when given.
  TSftpReply StartSsh(const TSftpSettings& settings, const char* hostKeyAlgorithms);
  // `offered`: the key's fingerprint and kind, "SHA256:... (ssh-rsa)".
  TSftpReply CheckHostKey(const TSftpSettings& settings, std::string& offered);
  // After a pinned fingerprint did not match the first key: the server's keys of the other kinds.
  TSftpReply FindPinnedHostKey(const TSftpSettings& settings, const std::string& firstOffered);
  TSftpReply Authenticate(const TSftpSettings& settings, const std::function<void(const std::string&)>& log);
  // The password methods the server offers (`methods`), with the profile's password.
  TSftpReply PasswordLogin(const TSftpSettings& settings, int methods, const std::function<void(const std::string&)>& log);
  // A key was accepted but the server wants a further login (`accepted` names the key).
  TSftpReply AfterPartialLogin(const TSftpSettings& settings, const std::string& accepted,
                               const std::function<void(const std::string&)>& log);
  // The reply for a failed libssh call: an interruption, a lost session or the server's no.
  TSftpReply Failure(const std::string& what);
  void AwaitServerClose(int socket);
  static constexpr int kServerCloseWaitMs = 1000;
  void Touch();

  void* Session = nullptr;  // ssh_session
  void* Sftp = nullptr;     // sftp_session
  std::string HostName;
  std::mutex FdLock;  // guards Fd against Interrupt while the session closes it
  int Fd = -1;
  uint64_t FdInode = 0;  // of the socket Fd was made for, to tell it from a number reused
  std::atomic<int> Interrupted{-1};  // a TSftpStatus once interrupted
  std::atomic<int64_t> LastActivity{0};
  uint32_t ReadChunk = kReadSize;  // what this server answers in one piece
};

}  // namespace quodra::sftp
