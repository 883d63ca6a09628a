#include "fetch_walk.h"

#include <unistd.h>

#include <ctime>
#include <tuple>

#include "host/clock.h"
#include "host/event_wait.h"
#include "host/local_output_file.h"
#include "host/partial_file_store.h"
#include "host/text_util.h"
#include "jobs/retry_policy.h"
#include "jobs/source_list.h"

namespace quodra::jobs {
namespace {

using quodra::host::TLocalOutputFile;
using quodra::host::Trim;
using quodra::host::UpperCase;

bool IsFile(TEntryKind kind) { return kind == TEntryKind::File || kind == TEntryKind::Unknown; }

const TRemoteResult kAborted{TFailureKind::Aborted, 0, ""};

}  // namespace

TFetchWalk::TFetchWalk(TRemoteSide& side, const TJobProfile& profile, TWalkSink sink)
    : Side(side), Profile(profile), Sink(std::move(sink)) {
  // A single mask is a list of one mask.
  if (IsMask(Profile.SourceFile) && Profile.SourceFile.back() != ';') Profile.SourceFile += ';';
  // Split once: a list of thousands of names costs each step the same.
  SourceItems = SplitItems(Profile.SourceFile, ';');
}

void TFetchWalk::Log(const std::string& line) const {
  if (Sink.Log) Sink.Log(EscapeControl(line));
}

void TFetchWalk::Abort() {
  AbortRequested = true;
  Side.Abort();
}

TRemoteResult TFetchWalk::Await(const std::function<bool()>& done) {
  // The side bounds every operation itself; this bound only keeps a side that breaks its
  // contract from holding the run for ever. Progress restarts it: a large file on a slow
  // link that keeps moving is never cut by it.
  const int64_t tickMs = static_cast<int64_t>(Profile.TransferTimeOut) * quodra::host::kMsPerTick;
  const int64_t bound = 4 * tickMs + AwaitMarginMs;
  LastProgressMs = quodra::host::NowMs();
  for (;;) {
    const int64_t deadline = tickMs > 0 ? LastProgressMs + bound : -1;
    quodra::host::WaitUntil([&] { return done() || Stopping(); }, deadline);
    if (done()) return {};
    if (Stopping()) {
      Side.Abort();
      return kAborted;
    }
    if (quodra::host::NowMs() < LastProgressMs + bound) continue;  // progress meanwhile
    Side.Abort();
    return {TFailureKind::Transient, -1, "Timeout"};
  }
}

bool TFetchWalk::Before(const std::string& name) const {
  // A session after a failed one goes on where that one stopped: what this run fetched
  // already is not fetched again; a file that changed while fetched waits for the next run.
  const std::string upper = UpperCase(name);
  return LeftForNextRun.count(upper) > 0 || (RetrySession && Fetched.count(upper) > 0);
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
    if (r.Kind != TFailureKind::Transient || attempt >= Profile.Retries || Stopping()) break;
    ++attempt;
    const int32_t delay = RetryDelaySeconds(Profile.RetryDelay, attempt);
    Log(RetryLine(attempt, Profile.Retries, delay, r.Reason));
    Side.Close();
    ContinueRun();
    quodra::host::WaitUntil([this] { return Stopping(); }, quodra::host::NowMs() + delay * 1000LL);
    if (Stopping()) break;
  }
  if (CloseAtEnd) Side.Close();
  return ok && !Failed && !Stopping();
}

TRemoteResult TFetchWalk::Session() {
  Log("Connecting to " + Profile.ServerName);
  auto opened = std::make_shared<TSlot<TRemoteResult>>();
  Side.Open([opened](const TRemoteResult& r) { *opened = {true, r}; });
  if (TRemoteResult w = Await([&] { return opened->Done; }); !w.Ok()) return w;
  if (!opened->Value.Ok()) return opened->Value;
  Log("Login");

  auto listing = std::make_shared<TSlot<std::pair<TRemoteResult, std::vector<TRemoteEntry>>>>();
  Side.List([listing](const TRemoteResult& r, const std::vector<TRemoteEntry>& entries) {
    *listing = {true, {r, entries}};
  });
  if (TRemoteResult w = Await([&] { return listing->Done; }); !w.Ok()) return w;
  if (!listing->Value.first.Ok()) return listing->Value.first;
  Names.Assign(listing->Value.second);
  NoteListing(listing->Value.second);
  if (Sink.Listed) {
    std::vector<std::string> names;
    for (const TRemoteEntry& e : listing->Value.second) names.push_back(e.Name);
    Sink.Listed(names);
  }
  for (int32_t number = 1; number != kNoMoreItems;) {
    if (TRemoteResult r = Step(number, Names); !r.Ok()) return r;
    if (Stopping()) return kAborted;
  }
  return {};
}

TRemoteResult TFetchWalk::Step(int32_t& number, TWalkList& list) {
  const std::string& sources = Profile.SourceFile;
  std::string current;
  bool fromMask = false;
  TEntryKind kind = TEntryKind::Unknown;
  if (sources.find(';') == std::string::npos) {
    current = sources;
    Log("Get File");
    number = kNoMoreItems;
    if (Before(current)) current.clear();
  } else {
    for (;;) {
      bool maskMatched = false;
      current = ItemAt(SourceItems, number);
      if (!IsMask(current)) {
        if (!current.empty() && Before(current)) {
          ++number;
          continue;
        }
        if (!current.empty() && !list.Contains(current)) {
          Log("Source File:" + current + " does not exist!");
          // A name fetched (and deleted) earlier in this run is gone for that reason: only a
          // name never fetched is a failure.
          if (!Fetched.count(UpperCase(current))) Failed = true;
          ++number;
        }
      } else {
        const std::string mask = current;
        const std::string match = list.TakeMatch(mask, &kind);
        // A listing's own folder and its parent are no files of it; neither is fetched twice.
        if (match == "." || match == ".." || (!match.empty() && Before(match))) continue;
        if (!match.empty()) {
          current = match;
          --number;  // the same mask serves the next step too
          maskMatched = fromMask = true;
        } else {
          // A mask with no match left ends the list.
          Log("Source File:" + mask + " mask finished!");
          current.clear();
          number = kNoMoreItems;
        }
      }
      if (maskMatched || current.empty() || list.Contains(current)) break;
    }
    if (!Trim(current).empty()) {
      if (number > 0) Log("Get File Number: " + std::to_string(number));
      ++number;
    } else {
      number = kNoMoreItems;
    }
  }
  if (Trim(current).empty()) {
    number = kNoMoreItems;
    return {};
  }
  if (fromMask && !IsFile(kind)) {
    Log("Source File:" + current + " is not a regular file, skipped");
    return {};
  }

  const std::string& destination = Profile.DestinationFile;
  const bool destIsFolder = !destination.empty() && (destination.back() == '/' || destination.back() == '\\');
  const std::string dest = destIsFolder                ? Trim(destination) + current
                           : !Trim(destination).empty() ? destination
                                                        : current;
  // A remote name becomes part of a local path only when it stays below the destination.
  if ((destIsFolder || Trim(destination).empty()) && !IsSafeLocalName(current, fromMask)) {
    Log("Source File:" + current + " is not a safe local name!");
    Failed = true;
    return {};
  }
  return FetchOne(current, dest, fromMask, list);
}

void TFetchWalk::NoteListing(const std::vector<TRemoteEntry>& entries) {
  ListedFacts.clear();
  for (const TRemoteEntry& e : entries)
    if (e.Facts) ListedFacts.emplace(e.Name, *e.Facts);
  ListedMs = quodra::host::NowMs();
  ListedFactsTrusted = true;
}

const TRemoteFacts* TFetchWalk::ListedFactsOf(const std::string& name) const {
  if (!ListedFactsTrusted || quodra::host::NowMs() - ListedMs > kListedFactsMaxAgeMs) return nullptr;
  auto it = ListedFacts.find(name);
  return it == ListedFacts.end() ? nullptr : &it->second;
}

TRemoteResult TFetchWalk::FetchOne(const std::string& name, const std::string& dest, bool fromMask,
                                   TWalkList& list) {
  Log("Source File:" + name + " to Dest File:" + dest);
  Log(Profile.Overwrite ? "Retrieve and Overwrite" : "Retrieve and Append");
  if (Sink.Fetching) Sink.Fetching(name, fromMask);
  // Bytes kept from an earlier attempt are continued only on facts asked now: a file changed
  // since the listing to one of the same size would otherwise be continued from them.
  const TRemoteFacts* listed = ListedFactsOf(name);
  if (listed && ::access(quodra::host::ResumeRecordPathOf(dest).c_str(), F_OK) == 0) listed = nullptr;
  if (listed) {
    if (auto done = FetchWith(listed, name, dest, fromMask, list)) return *done;
    // Another file now than the one listed (an upload that went on, a replacement): what was
    // fetched of it is gone, and it is fetched again as if the listing had not said.
    ListedFactsTrusted = false;
    Log("Source File:" + name + " changed since the folder was listed: fetched again");
  }
  return FetchWith(nullptr, name, dest, fromMask, list).value_or(TRemoteResult{});
}

std::optional<TRemoteResult> TFetchWalk::FetchWith(const TRemoteFacts* listed, const std::string& name,
                                                   const std::string& dest, bool fromMask, TWalkList& list) {
  using TFactsSlot = TSlot<std::pair<TRemoteResult, TRemoteFacts>>;
  auto askFacts = [&](TRemoteResult& waited) {
    auto slot = std::make_shared<TFactsSlot>();
    Side.Facts(name, [slot](const TRemoteResult& r, const TRemoteFacts& f) { *slot = {true, {r, f}}; });
    waited = Await([&] { return slot->Done; });
    return slot;
  };
  TRemoteResult waited;
  TRemoteResult factsResult;
  TRemoteFacts was;
  if (listed) {
    was = *listed;
  } else {
    auto facts = askFacts(waited);
    if (!waited.Ok()) return waited;
    std::tie(factsResult, was) = facts->Value;
  }
  const int64_t factsMs = listed ? ListedMs : quodra::host::NowMs();
  if (!IsFile(was.Kind) ||
      (!factsResult.Ok() && factsResult.Kind == TFailureKind::Permanent && was.Kind != TEntryKind::Unknown)) {
    if (fromMask) {
      Log("Source File:" + name + " is not a regular file, skipped");
      return {};
    }
    return TRemoteResult{TFailureKind::Permanent, factsResult.Code, "Source File:" + name + " is not a regular file"};
  }
  if (!factsResult.Ok()) return factsResult;

  // Another run appended this very file and did not delete it (it was killed in between, or
  // the server refused the delete): it is deleted, never appended a second time.
  const std::string deliveryKey = DeliveryKeyOf(name, was);
  if (!deliveryKey.empty() && TLocalOutputFile::DeliveredBefore(dest, deliveryKey)) {
    // Deleted unfetched only on facts asked now: the listing's may be older than a change.
    if (listed) return FetchWith(nullptr, name, dest, fromMask, list);
    Log("Source File:" + name + " was appended to " + dest + " by another run that did not delete it");
    Fetched.insert(UpperCase(name));
    Log("Delete Host File:" + name);
    return AwaitDelete(StartDelete(name), name, dest, deliveryKey, list);
  }

  TFetchRequest request;
  request.RemoteName = name;
  request.LocalPath = dest;
  request.Append = !Profile.Overwrite;
  request.Binary = Profile.Binary;
  request.ExpectedSize = Profile.Binary ? was.Size : -1;
  request.DeliveryKey = deliveryKey;
  request.DeleteAfter = Profile.DeleteRemote;
  request.Facts = was;
  request.FactsListed = listed != nullptr;
  auto fetched = std::make_shared<TSlot<TFetchResult>>();
  Side.Fetch(
      request,
      [this](int64_t bytes) {
        LastProgressMs = quodra::host::NowMs();
        if (Sink.Progress) Sink.Progress(bytes, false);
      },
      [fetched](const TFetchResult& r) { *fetched = {true, r}; });
  if (Sink.Started) Sink.Started(name);
  if (TRemoteResult w = Await([&] { return fetched->Done; }); !w.Ok()) return w;
  if (!fetched->Value.Ok()) {
    const TFetchResult& failed = fetched->Value;
    if (listed && (failed.Changed || failed.Short)) return std::nullopt;
    // Written to while it was fetched (an upload still under way, say): it waits for the next
    // run, as one seen to change after its transfer does, and the walk goes on.
    if (failed.Changed) {
      LeftForNextRun.insert(UpperCase(name));
      Failed = true;
      Log(failed.Reason + ", left on the server for the next run");
      return {};
    }
    // A mask's match the server refused may be no file at all (a folder, a link to one, a
    // link that leads nowhere): that is no failure, the mask goes on.
    if (fromMask && failed.Kind == TFailureKind::Permanent && failed.Code == 550) {
      auto probed = std::make_shared<TFactsSlot>();
      if (Side.Classify(name, [probed](const TRemoteResult& r, const TRemoteFacts& f) { *probed = {true, {r, f}}; })) {
        if (TRemoteResult w = Await([&] { return probed->Done; }); !w.Ok()) return w;
        if (!probed->Value.first.Ok()) return probed->Value.first;
        if (!IsFile(probed->Value.second.Kind)) {
          Log("Source File:" + name + " is not a regular file, skipped");
          return {};
        }
      }
    }
    return failed;
  }

  if (fetched->Value.Renewed) was = *fetched->Value.Renewed;
  // Deleted only when it is still the file that was fetched: another system may be writing
  // it still. Nothing to compare where nothing was known before.
  if (Profile.DeleteRemote && (was.Size >= 0 || !was.ModTime.empty())) {
    if (TRemoteResult settled = Settle(name, was, factsMs); !settled.Ok()) {
      Side.Commit(false);
      return settled;
    }
    auto after = askFacts(waited);
    if (!waited.Ok() || !after->Value.first.Ok()) {
      Side.Commit(false);
      return !waited.Ok() ? waited : after->Value.first;
    }
    const TRemoteFacts& now = after->Value.second;
    if (now.Size != was.Size || (!was.ModTime.empty() && now.ModTime != was.ModTime)) {
      Side.Commit(false);
      if (listed && !fetched->Value.Renewed) return std::nullopt;
      LeftForNextRun.insert(UpperCase(name));
      Failed = true;
      Log("Source File:" + name + " changed while it was fetched (" + std::to_string(was.Size) + " bytes, now " +
          std::to_string(now.Size) + "), left on the server for the next run");
      return {};
    }
  }
  if (TRemoteResult committed = Side.Commit(true); !committed.Ok()) return committed;
  Fetched.insert(UpperCase(name));
  Log("Transfer Completed OK");
  if (Sink.Progress) Sink.Progress(fetched->Value.Bytes, true);
  std::shared_ptr<TSlot<TRemoteResult>> deleted;
  if (Profile.DeleteRemote) {
    Log("Delete Host File:" + name);
    deleted = StartDelete(name);
  }
  Log("Transferred " + name + " to " + dest + " " + std::to_string(fetched->Value.Bytes) + " bytes [Done]");
  return deleted ? AwaitDelete(deleted, name, dest, deliveryKey, list) : TRemoteResult{};
}

std::string TFetchWalk::DeliveryKeyOf(const std::string& name, const TRemoteFacts& facts) const {
  // Without a time, a new file of the same size under the same name could not be told from
  // the one appended: such a file is appended again rather than deleted unfetched.
  if (Profile.Overwrite || !Profile.DeleteRemote || facts.Size < 0 || facts.ModTime.empty()) return {};
  std::string key = "remote";
  for (const std::string& field : {Trim(Profile.ServerName), Trim(Profile.Port), Trim(Profile.DefaultFolder), name,
                                   std::to_string(facts.Size), facts.ModTime})
    key += " " + std::to_string(field.size()) + ":" + field;
  return key;
}

std::shared_ptr<TFetchWalk::TSlot<TRemoteResult>> TFetchWalk::StartDelete(const std::string& name) {
  auto deleted = std::make_shared<TSlot<TRemoteResult>>();
  Side.Delete(name, [deleted](const TRemoteResult& r) { *deleted = {true, r}; });
  return deleted;
}

TRemoteResult TFetchWalk::AwaitDelete(const std::shared_ptr<TSlot<TRemoteResult>>& deleted, const std::string& name,
                                      const std::string& dest, const std::string& deliveryKey, TWalkList& list) {
  if (TRemoteResult w = Await([&] { return deleted->Done; }); !w.Ok()) return w;
  if (!deleted->Value.Ok()) return deleted->Value;
  if (!deliveryKey.empty()) TLocalOutputFile::EndDelivery(dest, deliveryKey);
  // A fresh listing would no longer hold it.
  list.Remove(name);
  return {};
}

TRemoteResult TFetchWalk::Settle(const std::string& name, const TRemoteFacts& was, int64_t factsMs) {
  // A writer that pauses between bursts leaves the facts the same across a quick fetch. A
  // file written to just now (by this computer's clock, or up to a minute later, which a
  // server clock a little ahead of ours gives) is therefore asked again only once its first
  // facts are SettleMs old: a writer still at work has changed it by then. A time further
  // ahead says nothing of the file's age (a server giving its local time, say): every file
  // of the last hours would wait.
  if (was.ModSeconds < 0 || SettleMs <= 0) return {};
  const int64_t nowSeconds = static_cast<int64_t>(std::time(nullptr));
  if (was.ModSeconds * 1000 <= nowSeconds * 1000 - SettleMs || was.ModSeconds > nowSeconds + kClockAheadSeconds)
    return {};
  const int64_t until = factsMs + SettleMs;
  const int64_t leftMs = until - quodra::host::NowMs();
  if (leftMs <= 0) return {};
  Log("Source File:" + name + " was written to just now: asked again in " + std::to_string((leftMs + 999) / 1000) +
      " s before it is deleted");
  quodra::host::WaitUntil([this] { return Stopping(); }, until);
  return Stopping() ? kAborted : TRemoteResult{};
}

}  // namespace quodra::jobs
