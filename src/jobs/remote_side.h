#pragma once
// The remote side as the fetch walk sees it: list a folder, ask a file's facts, fetch a file
// (from an offset) into a local file, delete it, abort. FTP and SFTP each implement it; the
// walk (source list, masks, safe names, delete, resume, retries) is written once against it.
//
// Contract of every operation:
// - It starts the work and returns at once. Its result arrives exactly once, through the
//   callback given to it, while the event loop runs (never from inside the call itself), so
//   the caller may wait with host::WaitUntil.
// - Every operation is bounded by the side's own time-outs (from the profile): a silent
//   peer ends in a failed result, never in a callback that does not come.
// - One operation at a time: the walk starts the next one only after the previous result.
// - After Abort, the operation in flight ends soon with a failed result (kind Aborted), and
//   the session is closed or usable again as IsOpen says.
// - The end of the session (the peer closed it, a time-out) fails the operation in flight
//   with a transient failure; later calls fail at once (still through the callback).
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace quodra::jobs {

// Whether a failure may go away by trying again later (a new login after a pause).
enum class TFailureKind : uint8_t {
  None,       // success
  Transient,  // refused or lost connection, time-out, 421, other 4xx, failed data connection
  Permanent,  // 530 login refused, 550 no such file, a certificate that does not verify
  Aborted,    // the user's Abort or the window closing
};

struct TRemoteResult {
  TFailureKind Kind = TFailureKind::None;
  int32_t Code = 0;    // the server's reply code or a socket error number; 0 when none
  std::string Reason;  // for the log: what failed, in the side's words (no line end)
  bool Ok() const { return Kind == TFailureKind::None; }
};

// What a listing knows about an entry; Unknown where the protocol does not say (FTP NLST).
enum class TEntryKind : uint8_t { Unknown, File, Folder, Link, Other };

// A file's facts: Size -1 and ModTime "" where the side cannot tell. ModTime is compared
// only for equality (an opaque text, e.g. "20261209115032").
struct TRemoteFacts {
  int64_t Size = -1;
  std::string ModTime;
  TEntryKind Kind = TEntryKind::Unknown;
  int64_t ModSeconds = -1;  // the same time in seconds since 1970 (UTC); -1 when unknown
};

struct TRemoteEntry {
  std::string Name;  // as listed, no folder part
  TEntryKind Kind = TEntryKind::Unknown;
  // A plain file's size and time where the listing gives them as Facts would (FTP MLSD, SFTP):
  // the walk then asks no facts of its own before the fetch. They are as old as the listing.
  std::optional<TRemoteFacts> Facts;
};

struct TFetchRequest {
  std::string RemoteName;  // relative to the session's current folder
  std::string LocalPath;
  bool Append = false;  // add to the local file; otherwise the whole file is replaced
  // Unused by the FTP and SFTP sides: each keeps the partial of a failed fetch itself and
  // continues it when the same remote file (same size and time) is fetched again.
  int64_t Offset = 0;
  int64_t ExpectedSize = -1;  // when known: a transfer of another length fails
  // What the walk knows of the file (from Facts or the listing): the partial a failed attempt
  // keeps is named by its size and time, so that only the same, unchanged file continues it.
  TRemoteFacts Facts;
  // Facts come from the listing: a transfer of another length than they say is the walk's to
  // handle (the file changed since it was listed), not the session's failure.
  bool FactsListed = false;
  bool Binary = true;
  // An append whose remote file is deleted afterwards: Commit notes this key as delivered
  // before the delete (host::TLocalOutputFile::NoteDeliveryOf). "" for none.
  std::string DeliveryKey;
  // The remote file is deleted once the fetch is committed: the commit makes it durable at
  // once. Otherwise a replacement may be put in place and synced with the run's other files
  // when the job ends (host::TPendingDurability).
  bool DeleteAfter = false;
};

struct TFetchResult : TRemoteResult {
  int64_t Bytes = 0;       // bytes this fetch received (the whole file's count on success)
  bool Resumed = false;    // the fetch continued from Offset
  // Failed because more bytes came than the file's size said: it was written to while it
  // was fetched. Nothing of it is kept; it is for the next run, not for a retry now.
  bool Changed = false;
  // Failed because fewer bytes came than the size the fetch was asked with (ExpectedSize).
  bool Short = false;
  // The file's facts anew, where the side had to learn them during the fetch (a server whose
  // first answer described a link itself, not what it leads to): the transfer was verified
  // against these.
  std::optional<TRemoteFacts> Renewed;
};

class TRemoteSide {
 public:
  virtual ~TRemoteSide() = default;

  using TDone = std::function<void(const TRemoteResult&)>;
  using TListed = std::function<void(const TRemoteResult&, const std::vector<TRemoteEntry>&)>;
  using TFactsDone = std::function<void(const TRemoteResult&, const TRemoteFacts&)>;
  using TFetched = std::function<void(const TFetchResult&)>;
  using TProgress = std::function<void(int64_t bytes)>;

  // Connects, logs in and changes into the profile's remote folder.
  virtual void Open(TDone done) = 0;
  virtual bool IsOpen() const = 0;
  // Names of the current folder, in the server's order; "." and ".." may be among them.
  virtual void List(TListed done) = 0;
  // Size and time of one file (Kind where the side can tell). A failure with Permanent kind
  // means the name is not a file that can be fetched (missing, a folder).
  virtual void Facts(const std::string& name, TFactsDone done) = 0;
  // Fetches into the local file; the local file changes only on success (a failed fetch
  // keeps a partial for a later Offset where the side can resume, never the destination).
  // `progress` (may be empty) is called with the bytes received so far.
  virtual void Fetch(const TFetchRequest& request, TProgress progress, TFetched done) = 0;
  // Puts the fetched bytes in place (true) or throws them away (false) after a successful
  // Fetch; the walk decides after comparing the file's facts before and after. The result
  // says whether the bytes are in place: a local file that could not be written says why.
  virtual TRemoteResult Commit(bool keep) = 0;
  virtual void Delete(const std::string& name, TDone done) = 0;
  // What a name the side refused to send is (a folder, a link, a file), for a side whose
  // listing does not say; false when the side cannot tell (no callback comes then).
  virtual bool Classify(const std::string& name, TFactsDone done) {
    (void)name;
    (void)done;
    return false;
  }
  // Ends the operation in flight (its callback reports Aborted); no effect when idle.
  virtual void Abort() = 0;
  // Logs out and closes; returns once closed (bounded).
  virtual void Close() = 0;
};

}  // namespace quodra::jobs
