#pragma once
// The FTP side of the fetch walk: the remote-side operations over one FTP client session,
// with the profile's connection settings. A name listing says nothing of what a name is
// (kinds stay Unknown); sizes and times come from SIZE and MDTM; a fetch is held until the
// walk commits it, and a broken one is continued with REST by the next fetch of the same,
// unchanged file. A name the server refused to send is classified on demand: PWD, CWD into
// it (a folder or a link to one, then back), else LIST of the name ("l": a link).
#include <QObject>
#include <memory>

#include "ftp/qp_ftp_client.h"
#include "jobs/job_profile.h"
#include "jobs/remote_side.h"

namespace quodra::jobs {

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
  // it for the next run and goes on).
  bool Answers(int32_t code) const {
    return (Op == TOp::Classify && (code == 450 || (code >= 500 && code < 600))) ||
           (Op == TOp::Fetch && code == quodra::ftp::kFtpFileChanged);
  }

 private:
  enum class TOp { None, Open, OpenFolder, List, Facts, Fetch, Delete, Classify };
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
  std::string Listing;
  TRemoteFacts LastFacts;
  std::string FactsName;
  TProbe Probe = TProbe::Home;
  std::string ProbeName, ProbeHome;
  // The long listing of the folder the walk lists, asked once per session and only for a
  // refused name that some servers will not list alone (a link that leads nowhere).
  std::string FolderListing;
  bool FolderListed = false;
  // The facts last asked and of which name, for the resume identity of the fetch that
  // follows them (the walk asks a file's facts before each fetch).
  std::string KnownName;
  TRemoteFacts KnownFacts;
};

}  // namespace quodra::jobs
