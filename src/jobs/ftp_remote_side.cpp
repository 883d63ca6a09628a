#include "ftp_remote_side.h"

#include <QTimer>
#include <cstring>
#include <unordered_map>

#include "ftp/ftp_reply_text.h"
#include "host/text_util.h"
#include "jobs/retry_policy.h"
#include "jobs/source_list.h"

namespace quodra::jobs {

using namespace quodra::ftp;
using quodra::host::Trim;

namespace {
const TRemoteResult kBusy{TFailureKind::Transient, 0, "the session is not ready"};
constexpr int32_t kConnReset = 10054;
}  // namespace

std::vector<TRemoteEntry> FtpListingEntries(const std::string& names, const std::string& factLines) {
  std::unordered_map<std::string, TRemoteFacts> listed;
  for (size_t start = 0; start < factLines.size();) {
    size_t end = factLines.find('\n', start);
    if (end == std::string::npos) end = factLines.size();
    std::string name, modTime, type;
    int64_t size = -1;
    if (ParseMlsdLine(factLines.substr(start, end - start), name, size, modTime, type)) {
      if (size >= 0 && !modTime.empty()) listed[name] = {size, modTime, TEntryKind::File, ModTimeSeconds(modTime)};
    } else if (!name.empty() && IsFolderType(type)) {
      listed[name] = {-1, "", TEntryKind::Folder, -1};
    }
    start = end + 1;
  }
  std::vector<TRemoteEntry> entries;
  for (std::string& name : SplitListing(names)) {
    TRemoteEntry e{std::move(name), TEntryKind::Unknown, std::nullopt};
    if (auto it = listed.find(e.Name); it != listed.end()) {
      e.Kind = it->second.Kind;
      if (e.Kind == TEntryKind::File) e.Facts = it->second;
    }
    entries.push_back(std::move(e));
  }
  return entries;
}

std::string ReasonWithCode(int32_t code, const std::string& text) {
  const std::string codeText = std::to_string(code);
  return text.rfind(codeText, 0) == 0 ? text : codeText + " " + text;
}

std::string FactsListingFailedLine(int32_t code, const std::string& text) {
  return "MLSD failed (" + ReasonWithCode(code, text) + "): files' facts are asked one by one";
}

TFtpRemoteSide::TFtpRemoteSide(const TJobProfile& profile) : Profile(profile), Ftp(std::make_unique<TQpFtpClient>()) {
  Ftp->OnFtpStatus = [this](TQpCustomFtpClient*, TFtpStatusCode code, const char* text) {
    Status(code, text ? text : "");
  };
  Ftp->OnFtpError = [this](TQpCustomFtpClient*, int32_t code, const char* text) {
    std::string t = text ? text : "";
    while (!t.empty() && (t.back() == '\r' || t.back() == '\n')) t.pop_back();
    // The facts listing is a help, not a need: without it the names alone are the listing.
    if (Op == TOp::ListFacts && FactsListingFailureSpared(code, Ftp->Connected())) {
      Log(FactsListingFailedLine(code, t));
      FactsListing.clear();
      Finish({});
      return;
    }
    // A refusal during a classification: the name is not what was asked.
    if (Op == TOp::Classify && Answers(code)) {
      ProbeStep(false, "");
      return;
    }
    Failed(FtpFailureKind(code), code, ReasonWithCode(code, t));
  };
  Ftp->OnWsError = [this](quodra::port::TQpBaseComponent*, int32_t code) {
    Failed(FtpFailureKind(code), code, std::to_string(code) + " WsError");
  };
  Ftp->OnFtpNotice = [this](TQpCustomFtpClient*, const char* text) { Log(text ? text : ""); };
}

TFtpRemoteSide::~TFtpRemoteSide() {
  Ftp->OnFtpStatus = nullptr;
  Ftp->OnFtpError = nullptr;
  Ftp->OnWsError = nullptr;
  Ftp->OnFtpNotice = nullptr;
}

void TFtpRemoteSide::Later(std::function<void()> report) { QTimer::singleShot(0, &Context, std::move(report)); }

void TFtpRemoteSide::Open(TDone done) {
  Closing = false;
  FolderListed = false;
  FolderListing.clear();
  DoneCb = std::move(done);
  Op = TOp::Open;
  try {
    Ftp->SetServerAddress(Profile.ServerName);
    Ftp->UserName = Profile.Login;
    Ftp->Password = Profile.Password;
    Ftp->PassiveMode = Profile.Passive;
    Ftp->TransferTimeout = Profile.TransferTimeOut;
    Ftp->ConnectTimeout = Profile.ConnectTimeOut;
    Ftp->FileType = Profile.Binary ? ftBinary : ftAscii;
    Ftp->Security = Profile.Security == "E" ? fcExplicitTls : Profile.Security == "I" ? fcImplicitTls : fcPlain;
    Ftp->CertificateFingerprint = Profile.Fingerprint;
    std::string port = Trim(Profile.Port);
    if (port.empty() || (port == "ftp" && Ftp->Security == fcImplicitTls)) port = Ftp->Security == fcImplicitTls ? "990" : "ftp";
    Ftp->SetWsPort(port);
    if (Ftp->Login()) return;
  } catch (const std::exception&) {
  }
  Later([this] { Finish({TFailureKind::Permanent, 0, "Connect Failed"}); });
}

void TFtpRemoteSide::List(TListed done) {
  ListedCb = std::move(done);
  Op = TOp::List;
  Listing.clear();
  FactsListing.clear();
  if (!Ftp->ListDir("", false)) Later([this] { Finish(kBusy); });
}

void TFtpRemoteSide::Facts(const std::string& name, TFactsDone done) {
  FactsCb = std::move(done);
  Op = TOp::Facts;
  LastFacts = {};
  // FileFacts asks them in binary type, also for an ASCII transfer.
  if (!AsksFileFacts(Profile)) {
    Later([this] { Finish({}); });
    return;
  }
  // Not asked (no session ready): the facts stay unknown, and the fetch that follows meets
  // the same state and reports it.
  if (!Ftp->FileFacts(name)) Later([this] { Finish({}); });
}

void TFtpRemoteSide::Fetch(const TFetchRequest& request, TProgress progress, TFetched done) {
  FetchedCb = std::move(done);
  ProgressCb = std::move(progress);
  Op = TOp::Fetch;
  DeliveryKey = request.DeliveryKey;
  FetchByListedFacts = request.FactsListed;
  Ftp->ExpectedSize = request.ExpectedSize;
  if (request.Binary && request.Facts.Size >= 0) {
    quodra::host::TRemoteFileIdentity id;
    const std::string port = Trim(Profile.Port);
    id.Server = Trim(Profile.ServerName) + (port.empty() || port == "ftp" || port == "21" ? "" : ":" + port);
    std::string folder = Trim(Profile.DefaultFolder);
    while (!folder.empty() && (folder.back() == '/' || folder.back() == '\\')) folder.pop_back();
    id.Path = folder.empty() || folder == "." || request.RemoteName[0] == '/' ? request.RemoteName
                                                                             : folder + "/" + request.RemoteName;
    id.Size = request.Facts.Size;
    id.ModTime = request.Facts.ModTime;
    Ftp->ResumeIdentity = id;
  } else {
    Ftp->ResumeIdentity = {};
  }
  // Held for the walk's decision only where a delete may follow: otherwise the engine puts
  // the verified file in place itself, and a replacement is synced with the run's others.
  Ftp->HoldLocalFile = Profile.DeleteRemote;
  try {
    if (Ftp->Retrieve(request.RemoteName, request.LocalPath, request.Append ? rmAppend : rmReplace)) return;
  } catch (const std::exception& e) {
    // The local file cannot be made.
    const std::string reason = e.what();
    Later([this, reason] { Finish({TFailureKind::Permanent, kFtpLocalFileError, reason}); });
    return;
  }
  const std::string reason = "Retrieve of " + request.RemoteName + " could not be started";
  Later([this, reason] { Finish({TFailureKind::Transient, 0, reason}); });
}

TRemoteResult TFtpRemoteSide::Commit(bool keep) {
  if (!Ftp->HoldsLocalFile()) return {};
  if (!keep) {
    Ftp->DiscardHeldFile();
    return {};
  }
  if (int err = Ftp->CommitHeldFile(DeliveryKey))
    return {TFailureKind::Permanent, err, "Dest File:" + Ftp->LocalFile() + " could not be written: " + std::strerror(err)};
  return {};
}

bool TFtpRemoteSide::Classify(const std::string& name, TFactsDone done) {
  FactsCb = std::move(done);
  Op = TOp::Classify;
  LastFacts = {};
  ProbeName = name;
  ProbeHome.clear();
  Probe = TProbe::Home;
  // A folder (or a link to one) can be entered: then back to where the walk lists, by the
  // absolute name PWD gives, since ".." from a link's target is not where the link was.
  ProbeCommand([this] { return Ftp->ChangeDir(""); });
  return true;
}

void TFtpRemoteSide::ProbeCommand(const std::function<bool()>& start) {
  bool started = false;
  try {
    started = start();
  } catch (const std::exception&) {
  }
  if (!started) Later([this] { Finish({}); });  // nothing more is known
}

void TFtpRemoteSide::ProbeStep(bool ok, const std::string& text) {
  switch (Probe) {
    case TProbe::Home:
      if (!ok || text.empty()) {
        Finish({});
        return;
      }
      ProbeHome = text;
      Probe = TProbe::Into;
      ProbeCommand([this] { return Ftp->ChangeDir(ProbeName); });
      return;
    case TProbe::Into:
      if (ok) {
        Probe = TProbe::Back;
        ProbeCommand([this] { return Ftp->ChangeDir(ProbeHome); });
        return;
      }
      // A link that leads nowhere lists as a link ("l" first) but cannot be sent.
      Probe = TProbe::List;
      ProbeCommand([this] { return Ftp->ListDir(ProbeName, true); });
      return;
    case TProbe::Back:
      // Only back where the walk lists may the walk go on.
      if (ok) LastFacts.Kind = TEntryKind::Folder;
      Finish({});
      return;
    case TProbe::List:
      if (ok) {
        for (const std::string& line : SplitListing(text)) {
          // Only a line about the name: a server's ls may send its complaint as the listing
          // ("dang: No such file or directory" for "dang ling.csv", split at its blank).
          if (!NamesProbed(line)) continue;
          LastFacts.Kind = line[0] == 'l' || line[0] == 'L' ? TEntryKind::Link : TEntryKind::Unknown;
          Finish({});
          return;
        }
      }
      // Some servers list nothing for a link that leads nowhere (they follow it): the
      // folder's own long listing still shows it.
      if (FolderListed) {
        ClassifyFromFolder();
        return;
      }
      Probe = TProbe::ListFolder;
      ProbeCommand([this] { return Ftp->ListDir("", true); });
      return;
    case TProbe::ListFolder:
      FolderListed = true;
      FolderListing = ok ? text : "";
      ClassifyFromFolder();
      return;
  }
}

// Whether a line of a long listing is the entry of the name being classified: it ends with
// the name, or names it before a link's " -> " target.
bool TFtpRemoteSide::NamesProbed(const std::string& line) const {
  const size_t n = ProbeName.size();
  return (line.size() > n && line.compare(line.size() - n, n, ProbeName) == 0) ||
         line.find(ProbeName + " -> ") != std::string::npos;
}

// A link is the line that begins with "l" and names the link before its " -> " target.
void TFtpRemoteSide::ClassifyFromFolder() {
  const std::string named = " " + ProbeName + " -> ";
  for (const std::string& line : SplitListing(FolderListing)) {
    if (!line.empty() && (line[0] == 'l' || line[0] == 'L') && line.find(named) != std::string::npos) {
      LastFacts.Kind = TEntryKind::Link;
      break;
    }
  }
  Finish({});
}

void TFtpRemoteSide::Delete(const std::string& name, TDone done) {
  DoneCb = std::move(done);
  Op = TOp::Delete;
  if (!Ftp->Delete(name)) Later([this] { Finish(kBusy); });
}

void TFtpRemoteSide::Abort() {
  if (Op == TOp::None) return;
  // An abort brings no event of its own: the operation ends here.
  try {
    Ftp->Abort();
  } catch (const std::exception&) {
  }
  Later([this] { Finish({TFailureKind::Aborted, 0, "Aborted"}); });
}

void TFtpRemoteSide::Close() {
  Closing = true;
  if (Op != TOp::None) Finish({TFailureKind::Aborted, 0, "Closed"});
  try {
    if (Ftp->Connected()) Ftp->Logout();
  } catch (const std::exception&) {
  }
}

void TFtpRemoteSide::Failed(TFailureKind kind, int32_t code, const std::string& reason) {
  if (Op == TOp::None || Closing) return;
  Finish({kind, code, EscapeControl(reason)});
}

void TFtpRemoteSide::Status(TFtpStatusCode code, const std::string& info) {
  switch (code) {
    case fsLoggedIn:
      if (Op != TOp::Open) break;
      if (std::string folder = Trim(Profile.DefaultFolder); !folder.empty()) {
        Op = TOp::OpenFolder;
        if (!Ftp->ChangeDir(folder == "\\" || folder == "/" ? "/" : folder)) Finish(kBusy);
      } else {
        Finish({});
      }
      break;
    case fsCommandDone:
      if (Op == TOp::OpenFolder || Op == TOp::Delete) Finish({});
      if (Op == TOp::Classify) ProbeStep(true, info);
      break;
    case fsCurrentDir:
      if (Op == TOp::Classify) ProbeStep(true, info);
      break;
    case fsTextReady:
      if (Op == TOp::Classify) {
        ProbeStep(true, info);
        break;
      }
      if (Op == TOp::List) {
        Listing = info;
        // The facts the walk would ask file by file (see Facts), in one listing beside it.
        if (AsksFileFacts(Profile)) {
          Op = TOp::ListFacts;
          if (!Ftp->ListFacts()) Finish({});
          break;
        }
        Finish({});
      } else if (Op == TOp::ListFacts) {
        FactsListing = info;
        Finish({});
      }
      break;
    case fsFileFacts:
      if (Op == TOp::Facts) {
        LastFacts = {Ftp->RemoteSize(), Ftp->RemoteModTime(),
                     Ftp->RemoteIsFolder() ? TEntryKind::Folder : TEntryKind::Unknown,
                     ModTimeSeconds(Ftp->RemoteModTime())};
        Finish({});
      }
      break;
    case fsProgress:
      if (Op == TOp::Fetch && ProgressCb) ProgressCb(Ftp->RestartAt + Ftp->BytesTransferred());
      break;
    case fsTransferDone:
      if (Op == TOp::Fetch) Finish({});
      break;
    case fsTimeout:
      Failed(TFailureKind::Transient, -1, "Timeout");
      break;
    case fsClosed:
    case fsLoggedOut:
      Failed(TFailureKind::Transient, kConnReset, "the server closed the connection");
      break;
    default:
      break;
  }
}

void TFtpRemoteSide::Finish(const TRemoteResult& result) {
  const TOp op = Op;
  Op = TOp::None;
  switch (op) {
    case TOp::None:
      break;
    case TOp::Open:
    case TOp::OpenFolder:
    case TOp::Delete:
      if (auto cb = std::move(DoneCb)) cb(result);
      break;
    case TOp::List:
    case TOp::ListFacts: {
      std::vector<TRemoteEntry> entries;
      if (result.Ok()) entries = FtpListingEntries(Listing, FactsListing);
      Listing.clear();
      FactsListing.clear();
      if (auto cb = std::move(ListedCb)) cb(result, entries);
      break;
    }
    case TOp::Facts:
    case TOp::Classify:
      if (auto cb = std::move(FactsCb)) cb(result, LastFacts);
      break;
    case TOp::Fetch: {
      TFetchResult fetched;
      static_cast<TRemoteResult&>(fetched) = result;
      fetched.Bytes = Ftp->RestartAt + Ftp->BytesTransferred();
      fetched.Resumed = Ftp->RestartAt > 0;
      fetched.Changed = result.Code == kFtpFileChanged;
      fetched.Short = result.Code == kFtpShortTransfer;
      if (result.Ok() && Ftp->FactsRenewedByRetrieve()) {
        fetched.Renewed = TRemoteFacts{Ftp->RemoteSize(), Ftp->RemoteModTime(), TEntryKind::Unknown,
                                       ModTimeSeconds(Ftp->RemoteModTime())};
      }
      ProgressCb = nullptr;
      if (auto cb = std::move(FetchedCb)) cb(fetched);
      break;
    }
  }
}

}  // namespace quodra::jobs
