#pragma once
// The SFTP session as the user-interface thread sees it: every request runs on a worker
// thread of its own (libssh blocks), its result comes back as a queued event, and the
// window never freezes. A watchdog on this thread bounds every request by the profile's
// time-outs (connecting: the connection time-out in all; afterwards: the transfer time-out
// of silence) and makes Abort take effect at once: both shut the connection down. Between
// requests the worker answers what the server asks of an idle session (its keep-alives).
#include <QObject>
#include <QTimer>
#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "sftp/sftp_types.h"

class QThread;

namespace quodra::host {
class TLocalOutputFile;
}

namespace quodra::sftp {

class TSftpConnection;

class TSftpClient : public QObject {
  Q_OBJECT
 public:
  explicit TSftpClient(QObject* parent = nullptr);
  ~TSftpClient() override;  // aborts what runs and waits for the worker

  using TDone = std::function<void(const TSftpReply&)>;

  // One request at a time: a request while another runs is refused (false, nothing called).
  bool Open(const TSftpSettings& settings, TDone done);
  bool List(const std::string& folder, std::function<void(const TSftpReply&, const std::vector<TSftpEntry>&)> done);
  bool Stat(const std::string& path, std::function<void(const TSftpReply&, const TSftpEntry&)> done);
  // `out` must stay open and untouched until `done` was called.
  // `knownSize`: the file's size as the server last gave it (-1 unknown).
  bool Fetch(const std::string& path, uint64_t offset, quodra::host::TLocalOutputFile& out,
             std::function<void(const TSftpReply&, int64_t bytes)> done, int64_t knownSize = -1);
  bool Delete(const std::string& path, TDone done);
  // Into the folder `name` leads to from `from` ("" the login folder): its full path as the
  // server names it, and its listing.
  using TFolderDone = std::function<void(const TSftpReply&, const std::string& resolved, const std::vector<TSftpEntry>&)>;
  bool ChangeFolder(const std::string& from, const std::string& name, TFolderDone done);
  // Ends the running request (its reply says Aborted) and the session. No effect when idle.
  void Abort();
  // Ends the session; quick when idle (the worker says goodbye to the server).
  void Close();

  bool Busy() const { return Running; }
  bool IsOpen() const { return SessionOpen; }
  int64_t BytesTransferred() const { return Bytes.load(); }

  // Lines of the login (which method is tried), on this thread.
  std::function<void(const std::string&)> OnLog;
  // Bytes of the running Fetch so far, at most a few times a second, on this thread.
  std::function<void(int64_t)> OnProgress;

  // The same requests, waiting in the event loop for their reply (bounded by the watchdog).
  TSftpReply OpenAndWait(const TSftpSettings& settings);
  TSftpReply ListAndWait(const std::string& folder, std::vector<TSftpEntry>& entries);
  TSftpReply StatAndWait(const std::string& path, TSftpEntry& entry);
  TSftpReply FetchAndWait(const std::string& path, uint64_t offset, quodra::host::TLocalOutputFile& out, int64_t& bytes,
                          int64_t knownSize = -1);
  TSftpReply DeleteAndWait(const std::string& path);

 private:
  // Runs `work` on the worker; `finish` runs here with its reply. `connecting` picks the bound.
  bool Start(std::function<TSftpReply(TSftpConnection&)> work, std::function<void(const TSftpReply&)> finish,
             bool connecting);
  void Watch();
  void ServeIdle();
  TSftpReply Await(const std::function<bool(TDone)>& start);

  std::unique_ptr<TSftpConnection> Connection;
  QThread* Worker = nullptr;
  QObject* WorkerContext = nullptr;  // lives on the worker thread
  QTimer Watchdog;
  QTimer IdleServe;          // while a session is open and no request runs
  bool IdleQueued = false;   // an idle turn waits on the worker
  bool Running = false;
  bool SessionOpen = false;
  bool Connecting = false;
  int64_t StartedMs = 0;
  int ConnectLimitMs = kDefaultTimeoutMs;
  int TransferLimitMs = kDefaultTimeoutMs;
  std::atomic<int64_t> Bytes{0};
  std::atomic<bool> ProgressQueued{false};
  int64_t LastReportedBytes = 0;
};

}  // namespace quodra::sftp
