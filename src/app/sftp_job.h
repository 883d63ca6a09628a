#pragma once
// The SFTP transfer job: the fetch walk over an SFTP session, run inside Connect as the copy
// and TFTP jobs are. In an interactive run with Auto-disconnect off the session stays open
// after the walk: the directory list shows its folder (folders end in "/", ".." on top), a
// click on a folder changes into it and lists it, and Abort, closing the window or the next
// Connect end the session.
#include <QObject>
#include <memory>
#include <string>

class TMainFrm;
namespace quodra::jobs {
class TSftpRemoteSide;
}

class TSftpJob : public QObject {
  Q_OBJECT
 public:
  explicit TSftpJob(TMainFrm& frm);
  ~TSftpJob() override;

  // The whole walk of the window's profile; returns when it is over (Abort and closing the
  // window reach it through the window's flags).
  void Run();
  // A session left open after the walk (also while a change of folder is under way).
  bool SessionOpen() const;
  // The directory list's click on `entry`: a folder (or "..") is changed into and listed.
  // False when no session is open to take it.
  bool ChangeFolder(const std::string& entry);
  // Ends an open session, logged as a logout (after `first`, when given). Nothing when no
  // session is open.
  void EndSession(const std::string& first = {});

 private:
  void ShowFolder(bool withParent);
  void SessionLost(const std::string& reason);
  void AbortClicked();

  TMainFrm& Frm;
  std::unique_ptr<quodra::jobs::TSftpRemoteSide> Side;  // of the last run, open or closed
  bool Browsing = false;  // a change of folder is under way
};
