#pragma once
// The fetch walk over any remote side: logs in, lists the remote folder, and goes through the
// profile's source list (plain names in their order, masks over the listing, "!" exclusions),
// fetching each file into its destination, verified: the byte count must be the file's size,
// and with Delete remote file the file is deleted only when it did not change while it was
// fetched. Transient failures log in again after a pause that doubles (Retries, RetryDelay)
// and go on where the failed session stopped; the side resumes the file that broke off.
// The walk is a loop; every wait is an event-loop wait bounded by the side's time-outs.
#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "jobs/job_profile.h"
#include "jobs/remote_side.h"

namespace quodra::jobs {

// What the walk reports to the window (or to a test); every member may be empty.
struct TWalkSink {
  std::function<void(const std::string&)> Log;                  // one log line
  std::function<void(int64_t bytes, bool done)> Progress;       // the byte counter
  std::function<void(const std::vector<std::string>&)> Listed;  // the directory list
};

class TFetchWalk {
 public:
  TFetchWalk(TRemoteSide& side, const TJobProfile& profile, TWalkSink sink);

  // Runs the whole job and returns its status: true only when every named file and every
  // file a mask matched was fetched. Handles events while it runs.
  bool Run();
  // Ends the run soon (from an event handler: the Abort button, the window closing).
  void Abort();
  bool Aborted() const { return AbortRequested; }
  // False: Run leaves the last session to its caller (to browse on with it), open or not.
  bool CloseAtEnd = true;

 private:
  // One session: open, list, the source list from where the last one stopped.
  TRemoteResult Session();
  // Fetches one name; a failure result ends the session (and may be retried).
  TRemoteResult FetchOne(const std::string& name, bool fromMask);
  // Waits until `done` holds or the run is aborted, bounded by the profile's time-out.
  bool Await(const std::function<bool()>& done);
  void Log(const std::string& line) const;
  bool Listed(const std::string& name) const;

  TRemoteSide& Side;
  TJobProfile Profile;
  TWalkSink Sink;
  bool AbortRequested = false;
  bool RunFailed = false;
  std::vector<std::string> Names;          // the last listing
  std::set<std::string> Fetched;           // upper-cased names fetched in this run
  std::set<std::string> LeftForNextRun;    // changed while fetched
};

}  // namespace quodra::jobs
