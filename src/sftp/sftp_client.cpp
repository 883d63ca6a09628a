#include "sftp/sftp_client.h"

#include <QThread>
#include <openssl/crypto.h>

#include "host/clock.h"
#include "host/event_wait.h"
#include "sftp/sftp_connection.h"

namespace quodra::sftp {

namespace {
constexpr int kWatchIntervalMs = 100;  // also the pace of the progress reports
// Servers ask an idle client every few seconds at the most (ClientAliveInterval) and give up
// after a count of unanswered questions; one turn a second answers well within that.
constexpr int kIdleServeMs = 1000;
}

TSftpClient::TSftpClient(QObject* parent) : QObject(parent), Connection(std::make_unique<TSftpConnection>()) {
  Worker = new QThread(this);
  WorkerContext = new QObject;
  WorkerContext->moveToThread(Worker);
  connect(Worker, &QThread::finished, WorkerContext, &QObject::deleteLater);
  Worker->start();
  Watchdog.setInterval(kWatchIntervalMs);
  connect(&Watchdog, &QTimer::timeout, this, &TSftpClient::Watch);
  IdleServe.setInterval(kIdleServeMs);
  connect(&IdleServe, &QTimer::timeout, this, &TSftpClient::ServeIdle);
}

void TSftpClient::ServeIdle() {
  if (Running || !SessionOpen || IdleQueued) return;
  IdleQueued = true;
  // A request started meanwhile queues behind this short turn on the worker.
  QMetaObject::invokeMethod(WorkerContext, [this, conn = Connection.get()] {
    conn->ServeIdle();
    QMetaObject::invokeMethod(this, [this] { IdleQueued = false; }, Qt::QueuedConnection);
  }, Qt::QueuedConnection);
}

TSftpClient::~TSftpClient() {
  OnLog = nullptr;
  OnProgress = nullptr;
  Abort();
  Close();
  // The crypto library keeps state per thread (random generators) that it frees only when
  // asked to, or late in the thread's exit; freed here, nothing of it outlives the client.
  QMetaObject::invokeMethod(WorkerContext, [] { OPENSSL_thread_stop(); }, Qt::BlockingQueuedConnection);
  Worker->quit();
  Worker->wait();
}

bool TSftpClient::Start(std::function<TSftpReply(TSftpConnection&)> work, std::function<void(const TSftpReply&)> finish,
                        bool connecting) {
  if (Running) return false;
  Running = true;
  IdleServe.stop();
  Connecting = connecting;
  if (connecting) Connection->ClearInterrupt();
  StartedMs = quodra::host::NowMs();
  Watchdog.start();
  TSftpConnection* conn = Connection.get();
  QMetaObject::invokeMethod(WorkerContext, [this, conn, work = std::move(work), finish = std::move(finish)]() mutable {
    TSftpReply reply = work(*conn);
    if (reply.SessionOver()) conn->Close();
    const bool open = conn->IsOpen();
    // Back on the user-interface thread; dropped when the client is gone by then.
    QMetaObject::invokeMethod(this, [this, reply, open, finish = std::move(finish)] {
      Running = false;
      SessionOpen = open;
      Watchdog.stop();
      if (open) IdleServe.start();
      Watch();  // the last progress report before the reply
      finish(reply);
    }, Qt::QueuedConnection);
  }, Qt::QueuedConnection);
  return true;
}

void TSftpClient::Watch() {
  const int64_t now = quodra::host::NowMs();
  if (Running) {
    if (Connecting) {
      if (now - StartedMs > ConnectLimitMs) Connection->Interrupt(TSftpStatus::TimedOut);
    } else if (now - std::max(StartedMs, Connection->LastActivityMs()) > TransferLimitMs) {
      Connection->Interrupt(TSftpStatus::TimedOut);
    }
  }
  const int64_t bytes = Bytes.load();
  if (bytes != LastReportedBytes && OnProgress) {
    LastReportedBytes = bytes;
    OnProgress(bytes);
  }
}

bool TSftpClient::Open(const TSftpSettings& settings, TDone done) {
  if (Running) return false;
  ConnectLimitMs = settings.ConnectTimeoutMs > 0 ? settings.ConnectTimeoutMs : kDefaultTimeoutMs;
  TransferLimitMs = settings.TransferTimeoutMs > 0 ? settings.TransferTimeoutMs : kDefaultTimeoutMs;
  Bytes = 0;
  auto log = [this](const std::string& line) {
    QMetaObject::invokeMethod(this, [this, line] {
      if (OnLog) OnLog(line);
    }, Qt::QueuedConnection);
  };
  return Start([settings, log](TSftpConnection& c) { return c.Open(settings, log); }, std::move(done), true);
}

bool TSftpClient::List(const std::string& folder,
                       std::function<void(const TSftpReply&, const std::vector<TSftpEntry>&)> done) {
  auto entries = std::make_shared<std::vector<TSftpEntry>>();
  return Start([folder, entries](TSftpConnection& c) { return c.List(folder, *entries); },
               [entries, done = std::move(done)](const TSftpReply& r) { done(r, *entries); }, false);
}

bool TSftpClient::Stat(const std::string& path, std::function<void(const TSftpReply&, const TSftpEntry&)> done) {
  auto entry = std::make_shared<TSftpEntry>();
  return Start([path, entry](TSftpConnection& c) { return c.Stat(path, *entry); },
               [entry, done = std::move(done)](const TSftpReply& r) { done(r, *entry); }, false);
}

bool TSftpClient::Fetch(const std::string& path, uint64_t offset, quodra::host::TLocalOutputFile& out,
                        std::function<void(const TSftpReply&, int64_t)> done, int64_t knownSize) {
  if (Running) return false;
  Bytes = 0;
  LastReportedBytes = 0;  // every fetch reports its own count, also one equal to the last
  return Start(
      [this, path, offset, &out, knownSize](TSftpConnection& c) { return c.Fetch(path, offset, out, Bytes, knownSize); },
      [this, done = std::move(done)](const TSftpReply& r) { done(r, Bytes.load()); }, false);
}

bool TSftpClient::Delete(const std::string& path, TDone done) {
  return Start([path](TSftpConnection& c) { return c.Delete(path); }, std::move(done), false);
}

bool TSftpClient::ChangeFolder(const std::string& from, const std::string& name, TFolderDone done) {
  struct TResult {
    std::string Resolved;
    std::vector<TSftpEntry> Entries;
  };
  auto result = std::make_shared<TResult>();
  return Start([from, name, result](TSftpConnection& c) { return c.ChangeFolder(from, name, result->Resolved, result->Entries); },
               [result, done = std::move(done)](const TSftpReply& r) { done(r, result->Resolved, result->Entries); }, false);
}

void TSftpClient::Abort() {
  if (Running) Connection->Interrupt(TSftpStatus::Aborted);
}

void TSftpClient::Close() {
  IdleServe.stop();
  if (Running) Abort();
  // Queued behind a running request, which the abort has just ended.
  QMetaObject::invokeMethod(WorkerContext, [conn = Connection.get()] { conn->Close(); }, Qt::BlockingQueuedConnection);
  SessionOpen = false;
}

TSftpReply TSftpClient::Await(const std::function<bool(TDone)>& start) {
  auto result = std::make_shared<TSftpReply>();
  auto done = std::make_shared<bool>(false);
  if (!start([result, done](const TSftpReply& r) {
        *result = r;
        *done = true;
      }))
    return {TSftpStatus::Failed, "Another SFTP request is still running"};
  // The watchdog ends every request within its time-out (of silence, for a transfer): this
  // wait is bounded by it, not by a total that a long file would exceed.
  quodra::host::WaitUntil([done] { return *done; });
  return *result;
}

TSftpReply TSftpClient::OpenAndWait(const TSftpSettings& settings) {
  return Await([&](TDone d) { return Open(settings, std::move(d)); });
}

TSftpReply TSftpClient::ListAndWait(const std::string& folder, std::vector<TSftpEntry>& entries) {
  return Await([&](TDone d) {
    return List(folder, [&entries, d](const TSftpReply& r, const std::vector<TSftpEntry>& e) {
      entries = e;
      d(r);
    });
  });
}

TSftpReply TSftpClient::StatAndWait(const std::string& path, TSftpEntry& entry) {
  return Await([&](TDone d) {
    return Stat(path, [&entry, d](const TSftpReply& r, const TSftpEntry& e) {
      entry = e;
      d(r);
    });
  });
}

TSftpReply TSftpClient::FetchAndWait(const std::string& path, uint64_t offset, quodra::host::TLocalOutputFile& out,
                                     int64_t& bytes, int64_t knownSize) {
  return Await([&](TDone d) {
    return Fetch(
        path, offset, out,
        [&bytes, d](const TSftpReply& r, int64_t n) {
          bytes = n;
          d(r);
        },
        knownSize);
  });
}

TSftpReply TSftpClient::DeleteAndWait(const std::string& path) {
  return Await([&](TDone d) { return Delete(path, std::move(d)); });
}

}  // namespace quodra::sftp
