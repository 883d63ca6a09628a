#pragma once
// The FTP side of the fetch walk: the remote-side operations over one FTP client session,
// with the profile's connection settings. A name listing says nothing of what a name is
// (kinds stay Unknown) unless the server's MLSD listing, asked beside it, says what each
// name is and gives a plain file's size and time; otherwise sizes and times come from MLST,
// or SIZE and MDTM, file by file. A fetch is held until the
// walk commits it, and a broken one is continued with REST by the next fetch of the same,
// unchanged file. A name the server refused to send is classified on demand: PWD, CWD into
// it (a folder or a link to one, then back), else LIST of the name ("l": a link).
#include <QObject>
#include <memory>

#include "ftp/qp_ftp_client.h"
#include "jobs/job_profile.h"
#include "jobs/remote_side.h"

namespace quodra::jobs {

// The entries of a name listing (NLST), each with what the MLSD lines beside it (ListFacts;
// "" for none) say of the same name: a folder's kind; a plain file's kind, size and time
// (only both together count).
std::vector<TRemoteEntry> FtpListingEntries(const std::string& names, const std::string& factLines);
// Whether a walk with `profile` asks files' facts: in ASCII the bytes received are not the
// file's size, so only a delete needs them there (to see whether the file changed meanwhile).
inline bool AsksFileFacts(const TJobProfile& profile) { return profile.Binary || profile.DeleteRemote; }
// An engine error as "CODE TEXT": the code goes before a text that does not begin with it.
std::string ReasonWithCode(int32_t code, const std::string& text);
// Whether a facts listing that failed with `code` only costs the question per file: the
// session is still there, and the server is not ending it (421 ends it, as it ends any step).
inline bool FactsListingFailureSpared(int32_t code, bool connected) { return connected && code != 421; }
// The log line of a facts listing that failed with the engine error `code` and `text`.
std::string FactsListingFailedLine(int32_t code, const std::string& text);

class TFtpRemoteSide : public TRemoteSide {
 public:
  explicit TFtpRemoteSide(const TJobProfile& profile);
  ~TFtpRemoteSide() override;

  void Open(TDone done) override;
  bool IsOpen() const override { return Ftp->Connected(); }
  void List(TListed done) override;
  void Facts(const std::string& name, TFactsDone done) override;
  void Fetch(const TFetchRequest& request, TProgress progress, TFetched done) override;
  TRemoteResult Commit(bool keep) override;
  void Delete(const std::string& name, TDone done) override;
  bool Classify(const std::string& name, TFactsDone done) override;
  void Abort() override;
  void Close() override;

  // Notices of the session (a REST refused, a partial kept) and local write failures.
  std::function<void(const std::string&)> OnLog;
  quodra::ftp::TQpFtpClient& Client() { return *Ftp; }
  // The profile of the next operations (a job that reads its profile per run).
  void SetProfile(const TJobProfile& profile) { Profile = profile; }
  // Whether an operation of the side is under way, a fetch, a classification: the events of
  // the session belong to it then.
  bool InFlight() const { return Op != TOp::None; }
  bool Fetching() const { return Op == TOp::Fetch; }
  bool Classifying() const { return Op == TOp::Classify; }
  // Whether an error of the session answers the operation under way rather than failing the
  // session: a refusal while a name is classified (450: some servers' "no files found" to
  // the listing of a single name), a file that changed while it was fetched (the walk leaves
  // it for the next run and goes on) or, fetched by the listing's facts, since it was listed
  // (the walk fetches it again).
  bool Answers(int32_t code) const {
    return (Op == TOp::Classify && (code == 450 || (code >= 500 && code < 600))) ||
           (Op == TOp::Fetch && (code == quodra::ftp::kFtpFileChanged ||
                                 (code == quodra::ftp::kFtpShortTransfer && FetchByListedFacts)));
  }

 private:
  enum class TOp { None, Open, OpenFolder, List, ListFacts, Fetch, Facts, Delete, Classify };
  // The steps of a classification: PWD, CWD into the name, CWD back, LIST of the name.
  enum class TProbe { Home, Into, Back, List, ListFolder };
  void ProbeStep(bool ok, const std::string& text);
  void ClassifyFromFolder();
  bool NamesProbed(const std::string& line) const;
  void ProbeCommand(const std::function<bool()>& start);
  void Status(quodra::ftp::TFtpStatusCode code, const std::string& info);
  void Failed(TFailureKind kind, int32_t code, const std::string& reason);
  // Ends the operation in flight with `result` (listing, facts, bytes as it asked for).
  void Finish(const TRemoteResult& result);
  void Later(std::function<void()> report);
  void Log(const std::string& line) {
    if (OnLog) OnLog(line);
  }

  TJobProfile Profile;
  std::unique_ptr<quodra::ftp::TQpFtpClient> Ftp;
  QObject Context;  // results reported later go through its event queue
  TOp Op = TOp::None;
  bool Closing = false;
  TDone DoneCb;
  TListed ListedCb;
  TFactsDone FactsCb;
  TFetched FetchedCb;
  TProgress ProgressCb;
  std::string DeliveryKey;  // of the fetch in flight or held (TFetchRequest)
  bool FetchByListedFacts = false;  // of the fetch in flight (TFetchRequest::FactsListed)
  std::string Listing;
  std::string FactsListing;  // the MLSD lines beside Listing's names
  TRemoteFacts LastFacts;
  TProbe Probe = TProbe::Home;
  std::string ProbeName, ProbeHome;
  // The long listing of the folder the walk lists, asked once per session and only for a
  // refused name that some servers will not list alone (a link that leads nowhere).
  std::string FolderListing;
  bool FolderListed = false;
};

}  // namespace quodra::jobs
