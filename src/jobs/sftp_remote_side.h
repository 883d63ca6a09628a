#pragma once
// The SFTP side of the fetch walk: the remote-side operations over one SFTP session. Names
// are relative to the profile's remote folder; a listing gives what each name leads to (a
// link to a folder is a folder, a dangling link neither file nor folder). Files come byte
// for byte: SFTP has no text mode.
#include <QObject>
#include <memory>

#include "host/local_output_file.h"
#include "jobs/job_profile.h"
#include "jobs/remote_side.h"
#include "sftp/sftp_client.h"

namespace quodra::jobs {

// The session's settings from a profile and its two SFTP keys.
quodra::sftp::TSftpSettings SftpSettingsFor(const TJobProfile& profile, const std::string& privateKeyFile,
                                             const std::string& hostKeyFingerprint);

class TSftpRemoteSide : public QObject, public TRemoteSide {
  Q_OBJECT
 public:
  explicit TSftpRemoteSide(const quodra::sftp::TSftpSettings& settings, const std::string& remoteFolder,
                           QObject* parent = nullptr);
  ~TSftpRemoteSide() override;

  void Open(TDone done) override;
  bool IsOpen() const override { return Client.IsOpen(); }
  void List(TListed done) override;
  void Facts(const std::string& name, TFactsDone done) override;
  void Fetch(const TFetchRequest& request, TProgress progress, TFetched done) override;
  TRemoteResult Commit(bool keep) override;
  void Delete(const std::string& name, TDone done) override;
  void Abort() override { Client.Abort(); }
  void Close() override;

  // Into a folder of the current one, "..", or a full path: the side's folder becomes the
  // one the server resolved, and `done` gets its listing. A failure leaves the folder as it was.
  void ChangeFolder(const std::string& name, TListed done);
  // The current folder as the server named it; "" the login folder before any change.
  const std::string& Folder() const { return RemoteFolder; }
  // The entries of the last listing (of List or ChangeFolder), with their kinds.
  const std::vector<TRemoteEntry>& LastListing() const { return Listing; }

  // Lines for the job's log (the login method, a local file that could not be put in place).
  std::function<void(const std::string&)> OnLog;

 private:
  std::string PathOf(const std::string& name) const;
  // Reports a result from the event loop, never from inside the call that asked for it.
  void Later(std::function<void()> report);
  // A fetch that did not end well keeps what arrived for the next attempt, and says so.
  void KeepPartial();
  // Fetch once the file's size and time (seconds since 1970; -1 where unknown) are known.
  void StartFetch(const TFetchRequest& request, const TProgress& progress, const TFetched& done, int64_t size,
                  int64_t mtime);
  void Log(const std::string& line) {
    if (OnLog) OnLog(line);
  }

  quodra::sftp::TSftpClient Client;
  quodra::sftp::TSftpSettings Settings;
  std::string RemoteFolder;  // as the profile gives it; "" the login folder
  std::vector<TRemoteEntry> Listing;
  quodra::host::TLocalOutputFile Out;  // the last successful fetch, until Commit
  bool DurableCommit = true;           // its remote file is deleted afterwards
  // Close starts a new generation: results of the old one that arrive later are dropped, so
  // that no callback runs after its caller has given the operation up.
  uint64_t Generation = 0;
};

// How the walk treats an SFTP reply: retry later, give up, or the user's abort.
TFailureKind SftpFailureKind(quodra::sftp::TSftpStatus status);

}  // namespace quodra::jobs
