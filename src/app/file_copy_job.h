#pragma once
// The file-copy transfer mode: appends the profile's source file to its destination,
// retrying while either is locked, with the safe ".TFR" hand-over when the source is to be
// deleted afterwards.
#include <QObject>
#include <string>

#include "host/exclusive_source.h"

class TMainFrm;

class TFileCopyJob : public QObject {
  Q_OBJECT
 public:
  explicit TFileCopyJob(TMainFrm& frm);

  // Runs the whole job (returns when it is over). Throws when the remote home folder cannot
  // be made current.
  void Run();

  // The hand-over name: the path with the extension of its file name replaced by ".TFR".
  static std::string HandOverName(const std::string& path);

 private:
  bool HandOver(std::string& sourcePath);
  bool Copy(const std::string& sourcePath, bool deleteSource);
  void RemoveSource(const std::string& sourcePath);
  // The delivery note's key of the hand-over file as it is now (host::TLocalOutputFile::
  // NoteDeliveryOf): its place, file, size and time.
  static std::string DeliveryKeyOf(const std::string& sourcePath);

  TMainFrm& Frm;
  // The source as the copy read it, held until it is deleted, so that a file that changed
  // since (a writer that came late) is never deleted.
  quodra::host::TExclusiveSource CopiedSource;
  std::string Dest;         // where the copy went
  std::string DeliveryKey;  // of an append whose source is deleted afterwards
};
