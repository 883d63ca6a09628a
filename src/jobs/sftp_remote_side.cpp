#include "jobs/sftp_remote_side.h"

#include <QTimer>
#include <cstring>

#include "host/clock.h"
#include "host/pending_durability.h"
#include "host/text_util.h"

namespace quodra::jobs {

using quodra::host::TLocalOutputFile;
using namespace quodra::sftp;

TSftpSettings SftpSettingsFor(const TJobProfile& profile, const std::string& privateKeyFile,
                              const std::string& hostKeyFingerprint) {
  TSftpSettings s;
  s.Host = quodra::host::Trim(profile.ServerName);
  s.Port = quodra::host::Trim(profile.Port);
  s.User = profile.Login;
  s.Password = profile.Password;
  s.PrivateKeyFile = quodra::host::Trim(privateKeyFile);
  s.HostKeyFingerprint = quodra::host::Trim(hostKeyFingerprint);
  s.ConnectTimeoutMs = profile.ConnectTimeOut > 0 ? profile.ConnectTimeOut * quodra::host::kMsPerTick : 0;
  s.TransferTimeoutMs = profile.TransferTimeOut > 0 ? profile.TransferTimeOut * quodra::host::kMsPerTick : 0;
  return s;
}

TFailureKind SftpFailureKind(TSftpStatus status) {
  switch (status) {
    case TSftpStatus::Ok: return TFailureKind::None;
    case TSftpStatus::TimedOut:
    case TSftpStatus::Lost: return TFailureKind::Transient;
    case TSftpStatus::Aborted: return TFailureKind::Aborted;
    case TSftpStatus::Failed:
    case TSftpStatus::HostKey:
    case TSftpStatus::Refused: break;
  }
  return TFailureKind::Permanent;
}

namespace {

TRemoteResult ResultOf(const TSftpReply& r) { return {SftpFailureKind(r.Status), 0, r.Text}; }

TEntryKind KindOf(quodra::sftp::TEntryKind k) {
  switch (k) {
    case quodra::sftp::TEntryKind::File: return TEntryKind::File;
    case quodra::sftp::TEntryKind::Folder: return TEntryKind::Folder;
    case quodra::sftp::TEntryKind::Other: return TEntryKind::Other;
    case quodra::sftp::TEntryKind::Missing: break;
  }
  return TEntryKind::Unknown;
}

std::vector<TRemoteEntry> EntriesOf(const std::vector<TSftpEntry>& entries) {
  std::vector<TRemoteEntry> listed;
  listed.reserve(entries.size());
  for (const auto& e : entries) {
    TRemoteEntry entry{e.Name, KindOf(e.Kind), std::nullopt};
    // A link's size and time are those of what it leads to, as Facts gives them.
    if (e.Kind == quodra::sftp::TEntryKind::File && e.Size >= 0 && e.MTime >= 0)
      entry.Facts = TRemoteFacts{e.Size, std::to_string(e.MTime), TEntryKind::File, e.MTime};
    listed.push_back(std::move(entry));
  }
  return listed;
}

// The login folder: "/" and "\" mean it as they do for FTP.
bool StaysInLoginFolder(const std::string& folder) {
  std::string f = quodra::host::Trim(folder);
  return f.empty() || f == "/" || f == "\\" || f == ".";
}

const TRemoteResult kBusy{TFailureKind::Permanent, 0, "Another SFTP request is still running"};

}  // namespace

TSftpRemoteSide::TSftpRemoteSide(const TSftpSettings& settings, const std::string& remoteFolder, QObject* parent)
    : QObject(parent), Settings(settings), RemoteFolder(StaysInLoginFolder(remoteFolder) ? "" : quodra::host::Trim(remoteFolder)) {
  Client.OnLog = [this](const std::string& line) { Log(line); };
}

TSftpRemoteSide::~TSftpRemoteSide() { Close(); }

void TSftpRemoteSide::Later(std::function<void()> report) {
  QTimer::singleShot(0, this, [this, report = std::move(report), gen = Generation] {
    if (gen == Generation) report();
  });
}

std::string TSftpRemoteSide::PathOf(const std::string& name) const {
  if (RemoteFolder.empty() || (!name.empty() && name.front() == '/')) return name;
  return RemoteFolder.back() == '/' ? RemoteFolder + name : RemoteFolder + "/" + name;
}

void TSftpRemoteSide::Open(TDone done) {
  bool started = Client.Open(Settings, [this, done, gen = Generation](const TSftpReply& r) {
    if (gen != Generation) return;
    if (!r.Ok() || RemoteFolder.empty()) return done(ResultOf(r));
    // The remote folder must be there (and be a folder) before the walk lists it.
    bool asked = Client.Stat(RemoteFolder, [this, done, gen](const TSftpReply& s, const TSftpEntry& e) {
      if (gen != Generation) return;
      TRemoteResult result = ResultOf(s);
      if (s.Ok() && e.Kind != quodra::sftp::TEntryKind::Folder)
        result = {TFailureKind::Permanent, 0, "Remote folder " + RemoteFolder + " is not a folder"};
      if (!result.Ok()) Client.Close();  // an Open that failed leaves no session behind
      done(result);
    });
    if (!asked) done(kBusy);
  });
  if (!started) Later([done] { done(kBusy); });
}

void TSftpRemoteSide::List(TListed done) {
  bool started = Client.List(RemoteFolder.empty() ? "." : RemoteFolder,
                             [this, done, gen = Generation](const TSftpReply& r, const std::vector<TSftpEntry>& entries) {
                               if (gen != Generation) return;
                               Listing = EntriesOf(entries);
                               done(ResultOf(r), Listing);
                             });
  if (!started) Later([done] { done(kBusy, {}); });
}

void TSftpRemoteSide::ChangeFolder(const std::string& name, TListed done) {
  bool started = Client.ChangeFolder(
      RemoteFolder, name,
      [this, done, gen = Generation](const TSftpReply& r, const std::string& resolved, const std::vector<TSftpEntry>& entries) {
        if (gen != Generation) return;
        if (!r.Ok()) return done(ResultOf(r), {});
        RemoteFolder = resolved;
        Listing = EntriesOf(entries);
        done(ResultOf(r), Listing);
      });
  if (!started) Later([done] { done(kBusy, {}); });
}

void TSftpRemoteSide::Facts(const std::string& name, TFactsDone done) {
  bool started = Client.Stat(PathOf(name), [this, name, done, gen = Generation](const TSftpReply& r, const TSftpEntry& e) {
    if (gen != Generation) return;
    TRemoteFacts facts;
    facts.Size = e.Size;
    facts.ModTime = e.MTime >= 0 ? std::to_string(e.MTime) : "";
    facts.ModSeconds = e.MTime >= 0 ? e.MTime : -1;
    facts.Kind = KindOf(e.Kind);
    if (r.Ok() && e.Kind != quodra::sftp::TEntryKind::File)
      return done({TFailureKind::Permanent, 0, name + ": not a regular file"}, facts);
    done(ResultOf(r), facts);
  });
  if (!started) Later([done] { done(kBusy, {}); });
}

void TSftpRemoteSide::Fetch(const TFetchRequest& request, TProgress progress, TFetched done) {
  Out.Rollback();  // a fetch never committed is given up
  // The file's size and time name the partial an earlier attempt kept: the same file goes
  // on after its bytes, a changed one starts over. The walk's facts serve where it has them
  // (asked just now, or the listing's when no bytes are kept); otherwise they are asked here.
  if (request.Facts.Size >= 0 && request.Facts.ModSeconds >= 0) {
    Later([this, request, progress, done, gen = Generation] {
      if (gen == Generation) StartFetch(request, progress, done, request.Facts.Size, request.Facts.ModSeconds);
    });
    return;
  }
  bool asked = Client.Stat(PathOf(request.RemoteName), [this, request, progress, done, gen = Generation](
                                                           const TSftpReply& r, const TSftpEntry& e) {
    if (gen != Generation) return;
    if (!r.Ok()) {
      TFetchResult failed;
      static_cast<TRemoteResult&>(failed) = ResultOf(r);
      return done(failed);
    }
    StartFetch(request, progress, done, e.Size, e.MTime);
  });
  if (!asked) {
    TFetchResult busy;
    static_cast<TRemoteResult&>(busy) = kBusy;
    Later([done, busy] { done(busy); });
  }
}

void TSftpRemoteSide::StartFetch(const TFetchRequest& request, const TProgress& progress, const TFetched& done,
                                 int64_t size, int64_t mtime) {
  const std::string path = PathOf(request.RemoteName);
  quodra::host::TRemoteFileIdentity identity;
  identity.Server = Settings.Host + ":" + (Settings.Port.empty() || Settings.Port == "ftp" ? "22" : Settings.Port);
  identity.Path = path;
  identity.Size = size;
  identity.ModTime = mtime >= 0 ? std::to_string(mtime) : "";
  const auto mode = request.Append ? TLocalOutputFile::TMode::Append : TLocalOutputFile::TMode::Replace;
  if (int err = Out.OpenResumable(request.LocalPath, mode, identity); err != 0) {
    TFetchResult failed;
    failed.Kind = TFailureKind::Permanent;
    failed.Code = err;
    failed.Reason = "Cannot write " + request.LocalPath + ": " + std::strerror(err);
    return done(failed);
  }
  Out.NoteDeliveryOf(request.DeliveryKey);
  DurableCommit = request.DeleteAfter;
  const int64_t offset = static_cast<int64_t>(Out.ResumeOffset());
  if (offset > 0)
    Log("Resuming " + request.RemoteName + " at " + std::to_string(offset) + " bytes kept from an earlier attempt");
  Client.OnProgress = [progress, offset](int64_t bytes) {
    if (progress) progress(offset + bytes);
  };
  const uint64_t gen = Generation;
  bool started = Client.Fetch(path, static_cast<uint64_t>(offset), Out, [this, done, offset, request, gen](const TSftpReply& f, int64_t bytes) {
    Client.OnProgress = nullptr;
    if (gen != Generation) return;
    TFetchResult result;
    static_cast<TRemoteResult&>(result) = ResultOf(f);
    result.Bytes = offset + bytes;
    result.Resumed = offset > 0;
    if (result.Ok() && request.ExpectedSize >= 0 && result.Bytes != request.ExpectedSize) {
      result.Kind = TFailureKind::Transient;
      result.Changed = result.Bytes > request.ExpectedSize;  // written to since its size was asked
      result.Short = !result.Changed;
      result.Reason = request.RemoteName + ": " + std::to_string(result.Bytes) + " bytes received, " +
                      std::to_string(request.ExpectedSize) + " expected";
      Out.Rollback();  // the file is not what was asked for: nothing of it is kept
    } else if (!result.Ok()) {
      KeepPartial();
    } else if (request.DeleteAfter) {
      Out.SyncAhead();  // the walk asks the server again before it commits
    }
    done(result);
  }, size);
  if (!started) {
    KeepPartial();
    TFetchResult busy;
    static_cast<TRemoteResult&>(busy) = kBusy;
    done(busy);
  }
}

TRemoteResult TSftpRemoteSide::Commit(bool keep) {
  if (!Out.IsOpen()) return {};
  if (!keep) {
    Out.Rollback();
    return {};
  }
  using TDurability = quodra::host::TLocalOutputFile::TDurability;
  if (int err = Out.Commit(DurableCommit ? TDurability::Now : TDurability::Later); err != 0)
    return {TFailureKind::Permanent, err, "Dest File:" + Out.Path() + " could not be written: " + std::strerror(err)};
  return {};
}

void TSftpRemoteSide::Delete(const std::string& name, TDone done) {
  // The remote copy goes only once every local file written so far is safe on disk.
  std::string why;
  if (int err = quodra::host::TPendingDurability::FlushBeforeDeleting(name, why); err != 0) {
    Later([done, err, why] { done({TFailureKind::Permanent, err, why}); });
    return;
  }
  bool started = Client.Delete(PathOf(name), [this, done, gen = Generation](const TSftpReply& r) {
    if (gen == Generation) done(ResultOf(r));
  });
  if (!started) Later([done] { done(kBusy); });
}

void TSftpRemoteSide::Close() {
  ++Generation;
  Client.OnProgress = nullptr;
  Client.Close();
  KeepPartial();  // a fetch given up keeps what arrived, as a failed one does
}

void TSftpRemoteSide::KeepPartial() {
  if (!Out.IsOpen()) return;
  const bool resumable = Out.Resumable();
  const uint64_t kept = Out.ResumeOffset() + Out.Written();
  if (int err = Out.Suspend(); err != 0)
    Log("Partial download of " + Out.Path() + " could not be kept: " + std::strerror(err));
  else if (resumable && kept > 0)
    Log("Partial download of " + Out.Path() + " kept: " + std::to_string(kept) + " bytes, resumable");
}

}  // namespace quodra::jobs
