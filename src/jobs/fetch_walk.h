#pragma once
// The fetch walk over any remote side: logs in, lists the remote folder, and goes through the
// profile's source list (plain names in their order, masks over the listing, "!" exclusions),
// fetching each file into its destination, verified: the byte count must be the file's size,
// and with Delete remote file the file is deleted only when it did not change while it was
// fetched. Transient failures log in again after a pause that doubles (Retries, RetryDelay)
// and go on where the failed session stopped; the side resumes the file that broke off.
//
// The walk is a loop of steps, one item of the source list each. Run() drives the whole job;
// a job that drives its session itself (the window's FTP job) calls Step() over its own
// work list instead. Every wait is an event-loop wait bounded by the side's time-outs.
#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "jobs/job_profile.h"
#include "jobs/remote_side.h"
#include "jobs/walk_list.h"

namespace quodra::jobs {

// What the walk reports to the window (or to a test); every member may be empty.
struct TWalkSink {
  std::function<void(const std::string&)> Log;                  // one log line
  std::function<void(int64_t bytes, bool done)> Progress;       // the byte counter
  std::function<void(const std::vector<std::string>&)> Listed;  // the directory list
  // A fetch is about to start (after its "Retrieve and ..." line) and has started.
  std::function<void(const std::string& name, bool fromMask)> Fetching;
  std::function<void(const std::string& name)> Started;
};

class TFetchWalk {
 public:
  // The source list's position once it is through (Step's `number`).
  static constexpr int32_t kNoMoreItems = 2147483647;

  TFetchWalk(TRemoteSide& side, const TJobProfile& profile, TWalkSink sink);

  // Runs the whole job and returns its status: true only when every named file and every
  // file a mask matched was fetched. Handles events while it runs.
  bool Run();
  // Ends the run soon (from an event handler: the Abort button, the window closing).
  void Abort();
  bool Aborted() const { return AbortRequested; }
  // False: Run leaves the last session to its caller (to browse on with it), open or not.
  bool CloseAtEnd = true;

  // One item of the source list: item `number` (1-based), a mask's next match in `list`, or
  // the end (number becomes kNoMoreItems). A failure result ends the session (and may be
  // retried); a name that is skipped (missing, unsafe, changed while fetched) is no failure
  // of the session but of the run (RunFailed).
  TRemoteResult Step(int32_t& number, TWalkList& list);
  // The listing the steps take their names from, for the facts it gives (TRemoteEntry): a
  // file's own facts are then not asked before its fetch while the listing is younger than
  // kListedFactsMaxAgeMs. A file whose fetch or check finds it changed since the listing is
  // fetched once more with facts asked anew, and the rest of the session asks every file's.
  // Facts asked now, never the listing's, decide that kept bytes are continued or that a file
  // appended by an earlier run is deleted unfetched.
  void NoteListing(const std::vector<TRemoteEntry>& entries);
  static constexpr int64_t kListedFactsMaxAgeMs = 60000;
  // The next session continues a failed one: what the run fetched already is not again.
  void ContinueRun() { RetrySession = true; }
  bool RunFailed() const { return Failed; }
  // Also ends every wait as an abort while it holds (the window's own abort flags).
  std::function<bool()> StopWhen;
  // The wait for one operation ends after 4 transfer time-outs and this margin without any
  // progress: only a side that breaks its own time-outs ever meets it.
  int64_t AwaitMarginMs = 30000;
  // A file to be deleted whose time is less than this before the clock's (or later) may still
  // be written to in bursts: it is deleted only once its facts have held this long.
  int64_t SettleMs = 3000;
  // How far ahead of ours a server clock may be for its times to count for that wait.
  static constexpr int64_t kClockAheadSeconds = 60;

 private:
  template <class T>
  struct TSlot {
    bool Done = false;
    T Value{};
  };
  // One session: open, list, the source list from where the last one stopped.
  TRemoteResult Session();
  // Fetches one name; a failure result ends the session (and may be retried).
  TRemoteResult FetchOne(const std::string& name, const std::string& dest, bool fromMask, TWalkList& list);
  // FetchOne with the listing's facts of the file, or with facts asked now (`listed` null);
  // nothing when the listing's facts proved out of date and nothing was kept.
  std::optional<TRemoteResult> FetchWith(const TRemoteFacts* listed, const std::string& name, const std::string& dest,
                                         bool fromMask, TWalkList& list);
  const TRemoteFacts* ListedFactsOf(const std::string& name) const;
  // The delivery note's key of an append of `name` that is deleted afterwards; "" for none.
  std::string DeliveryKeyOf(const std::string& name, const TRemoteFacts& facts) const;
  // Deletes a fetched file; awaiting it ends the file's delivery note and drops it from `list`.
  std::shared_ptr<TSlot<TRemoteResult>> StartDelete(const std::string& name);
  TRemoteResult AwaitDelete(const std::shared_ptr<TSlot<TRemoteResult>>& deleted, const std::string& name,
                            const std::string& dest, const std::string& deliveryKey, TWalkList& list);
  // Waits until a file written to just now has kept its first facts (`was`, asked at
  // `factsMs`) for SettleMs; an aborted result when the run stops meanwhile.
  TRemoteResult Settle(const std::string& name, const TRemoteFacts& was, int64_t factsMs);
  // Waits until `done` holds; an abort or a wait without progress beyond the bound aborts
  // the side's operation and gives its failure. Ok when `done` held.
  TRemoteResult Await(const std::function<bool()>& done);
  bool Stopping() const { return AbortRequested || (StopWhen && StopWhen()); }
  void Log(const std::string& line) const;
  bool Before(const std::string& name) const;

  TRemoteSide& Side;
  TJobProfile Profile;
  std::vector<std::string> SourceItems;  // Profile.SourceFile's items
  TWalkSink Sink;
  TWalkList Names;  // the last listing of Run()'s sessions
  bool AbortRequested = false;
  bool Failed = false;
  bool RetrySession = false;
  int64_t LastProgressMs = 0;
  std::set<std::string> Fetched;         // upper-cased names fetched in this run
  std::set<std::string> LeftForNextRun;  // changed while fetched
  std::unordered_map<std::string, TRemoteFacts> ListedFacts;  // by name as listed
  int64_t ListedMs = 0;                  // when ListedFacts were listed
  bool ListedFactsTrusted = false;       // no file was found changed since the listing
};

}  // namespace quodra::jobs
