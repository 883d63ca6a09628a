#include "fetch_walk.h"

#include "host/clock.h"
#include "host/event_wait.h"
#include "host/text_util.h"
#include "jobs/retry_policy.h"
#include "jobs/source_list.h"

namespace quodra::jobs {
namespace {

using quodra::host::Trim;
using quodra::host::UpperCase;

// An operation's result, filled by its callback while the walk waits for it.
template <class T>
struct TSlot {
  bool Done = false;
  T Value{};
};

bool IsFile(TEntryKind kind) { return kind == TEntryKind::File || kind == TEntryKind::Unknown; }

}  // namespace

TFetchWalk::TFetchWalk(TRemoteSide& side, const TJobProfile& profile, TWalkSink sink)
    : Side(side), Profile(profile), Sink(std::move(sink)) {}

void TFetchWalk::Log(const std::string& line) const {
  if (Sink.Log) Sink.Log(EscapeControl(line));
}

void TFetchWalk::Abort() {
  AbortRequested = true;
  Side.Abort();
}

bool TFetchWalk::Await(const std::function<bool()>& done) {
  // The side bounds every operation itself; this bound only keeps a side that breaks its
  // contract from holding the run for ever.
  const int64_t tickMs = static_cast<int64_t>(Profile.TransferTimeOut) * quodra::host::kMsPerTick;
  const int64_t deadline = tickMs > 0 ? quodra::host::NowMs() + 4 * tickMs + 30000 : -1;
  quodra::host::WaitUntil([&] { return done() || AbortRequested; }, deadline);
  return done();
}

bool TFetchWalk::Listed(const std::string& name) const {
  const std::string upper = UpperCase(name);
  for (const std::string& n : Names)
    if (UpperCase(n) == upper) return true;
  return false;
}

bool TFetchWalk::Run() {
  int32_t attempt = 0;
  bool ok = false;
  for (;;) {
    TRemoteResult r = Session();
    if (r.Ok()) {
      ok = true;
      break;
    }
    if (!r.Reason.empty()) Log(r.Reason);
    if (r.Kind != TFailureKind::Transient || attempt >= Profile.Retries || AbortRequested) break;
    ++attempt;
    const int32_t delay = RetryDelaySeconds(Profile.RetryDelay, attempt);
    Log(RetryLine(attempt, Profile.Retries, delay, r.Reason));
    Side.Close();
    quodra::host::WaitUntil([this] { return AbortRequested; }, quodra::host::NowMs() + delay * 1000LL);
    if (AbortRequested) break;
  }
  if (CloseAtEnd) Side.Close();
  return ok && !RunFailed && !AbortRequested;
}

TRemoteResult TFetchWalk::Session() {
  Log("Connecting to " + Profile.ServerName);
  TSlot<TRemoteResult> opened;
  Side.Open([&](const TRemoteResult& r) { opened = {true, r}; });
  if (!Await([&] { return opened.Done; })) return {TFailureKind::Aborted, 0, ""};
  if (!opened.Value.Ok()) return opened.Value;
  Log("Login");

  TSlot<std::vector<TRemoteEntry>> listing;
  TRemoteResult listResult;
  Side.List([&](const TRemoteResult& r, const std::vector<TRemoteEntry>& entries) {
    listResult = r;
    listing = {true, entries};
  });
  if (!Await([&] { return listing.Done; })) return {TFailureKind::Aborted, 0, ""};
  if (!listResult.Ok()) return listResult;
  Names.clear();
  std::vector<TEntryKind> kinds;
  for (const TRemoteEntry& e : listing.Value) {
    Names.push_back(e.Name);
    kinds.push_back(e.Kind);
  }
  if (Sink.Listed) Sink.Listed(Names);

  auto before = [this](const std::string& name) {
    const std::string upper = UpperCase(name);
    return Fetched.count(upper) > 0 || LeftForNextRun.count(upper) > 0;
  };
  std::string sources = Profile.SourceFile;
  if (sources.find(';') == std::string::npos && !IsMask(sources)) {
    Log("Get File");
    if (Trim(sources).empty() || before(sources)) return {};
    return FetchOne(Trim(sources), false);
  }
  for (int number = 1;; ++number) {
    const std::string item = ExtractItem(sources, number, ';');
    if (item.empty()) return {};
    if (!IsMask(item)) {
      if (before(item)) continue;
      if (!Listed(item)) {
        Log("Source File:" + item + " does not exist!");
        RunFailed = true;
        continue;
      }
      if (TRemoteResult r = FetchOne(item, false); !r.Ok()) return r;
      continue;
    }
    // A mask takes every listed file it matches, in the listing's order; a mask with no
    // match left ends the list.
    const std::string upperMask = UpperCase(item);
    for (size_t i = 0; i < Names.size(); ++i) {
      const std::string& name = Names[i];
      if (name == "." || name == ".." || before(name) || !MatchMask(UpperCase(name), upperMask)) continue;
      if (!IsFile(kinds[i])) {
        Log("Source File:" + name + " is not a regular file, skipped");
        continue;
      }
      if (TRemoteResult r = FetchOne(name, true); !r.Ok()) return r;
      if (AbortRequested) return {TFailureKind::Aborted, 0, ""};
    }
    Log("Source File:" + item + " mask finished!");
    return {};
  }
}

TRemoteResult TFetchWalk::FetchOne(const std::string& name, bool fromMask) {
  const std::string& destination = Profile.DestinationFile;
  const bool destIsFolder = !destination.empty() && (destination.back() == '/' || destination.back() == '\\');
  std::string dest = destIsFolder ? Trim(destination) + name : !Trim(destination).empty() ? destination : name;
  // A remote name becomes part of a local path only when it stays below the destination.
  if ((destIsFolder || Trim(destination).empty()) && !IsSafeLocalName(name, fromMask)) {
    Log("Source File:" + name + " is not a safe local name!");
    RunFailed = true;
    return {};
  }
  Log("Source File:" + name + " to Dest File:" + dest);
  Log(Profile.Overwrite ? "Retrieve and Overwrite" : "Retrieve and Append");

  TSlot<TRemoteFacts> facts;
  TRemoteResult factsResult;
  Side.Facts(name, [&](const TRemoteResult& r, const TRemoteFacts& f) {
    factsResult = r;
    facts = {true, f};
  });
  if (!Await([&] { return facts.Done; })) return {TFailureKind::Aborted, 0, ""};
  if (!IsFile(facts.Value.Kind) || (!factsResult.Ok() && factsResult.Kind == TFailureKind::Permanent &&
                                    facts.Value.Kind != TEntryKind::Unknown)) {
    if (fromMask) {
      Log("Source File:" + name + " is not a regular file, skipped");
      return {};
    }
    return {TFailureKind::Permanent, factsResult.Code, "Source File:" + name + " is not a regular file"};
  }
  if (!factsResult.Ok()) return factsResult;

  TFetchRequest request;
  request.RemoteName = name;
  request.LocalPath = dest;
  request.Append = !Profile.Overwrite;
  request.Binary = Profile.Binary;
  request.ExpectedSize = Profile.Binary ? facts.Value.Size : -1;
  TSlot<TFetchResult> fetched;
  Side.Fetch(
      request,
      [this](int64_t bytes) {
        if (Sink.Progress) Sink.Progress(bytes, false);
      },
      [&](const TFetchResult& r) { fetched = {true, r}; });
  if (!Await([&] { return fetched.Done; })) return {TFailureKind::Aborted, 0, ""};
  if (!fetched.Value.Ok()) return fetched.Value;

  if (Profile.DeleteRemote) {
    // Deleted only when it is still the file that was fetched: another system may be
    // writing it still.
    TSlot<TRemoteFacts> after;
    TRemoteResult afterResult;
    Side.Facts(name, [&](const TRemoteResult& r, const TRemoteFacts& f) {
      afterResult = r;
      after = {true, f};
    });
    if (!Await([&] { return after.Done; })) {
      Side.Commit(false);
      return {TFailureKind::Aborted, 0, ""};
    }
    if (!afterResult.Ok()) {
      Side.Commit(false);
      return afterResult;
    }
    const TRemoteFacts& was = facts.Value;
    const TRemoteFacts& now = after.Value;
    if (now.Size != was.Size || (!was.ModTime.empty() && now.ModTime != was.ModTime)) {
      Side.Commit(false);
      LeftForNextRun.insert(UpperCase(name));
      RunFailed = true;
      Log("Source File:" + name + " changed while it was fetched (" + std::to_string(was.Size) + " bytes, now " +
          std::to_string(now.Size) + "), left on the server for the next run");
      return {};
    }
  }
  Side.Commit(true);
  Fetched.insert(UpperCase(name));
  Log("Transfer Completed OK");
  if (Sink.Progress) Sink.Progress(fetched.Value.Bytes, true);
  TSlot<TRemoteResult> deleted;
  if (Profile.DeleteRemote) {
    Log("Delete Host File:" + name);
    Side.Delete(name, [&](const TRemoteResult& r) { deleted = {true, r}; });
  }
  Log("Transferred " + name + " to " + dest + " " + std::to_string(fetched.Value.Bytes) + " bytes [Done]");
  if (Profile.DeleteRemote) {
    if (!Await([&] { return deleted.Done; })) return {TFailureKind::Aborted, 0, ""};
    if (!deleted.Value.Ok()) return deleted.Value;
  }
  return {};
}

}  // namespace quodra::jobs
