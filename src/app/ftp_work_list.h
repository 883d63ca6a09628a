#pragma once
// The directory list as the FTP walk's work list: the walk's list of the last listing, shown
// in the window's directory list between a start and an end marker. Taken entries leave the
// view in batches, so that the view changes a few times a second at most.
#include <QTimer>
#include <string>
#include <vector>

#include "jobs/walk_list.h"

class QListWidget;

class TFtpWorkList : public quodra::jobs::TWalkList {
 public:
  static constexpr const char* kStartMarker = "<Start>";
  static constexpr const char* kEndMarker = "<End>";

  explicit TFtpWorkList(QListWidget& view);

  // The listing's names, shown between the markers; replaces the old listing.
  void Fill(const std::vector<std::string>& names);
  void Clear();
  // Takes the rows of taken entries out of the view now (otherwise it happens shortly after).
  void Flush();

 private:
  void OnTaken() override;

  QListWidget& View;
  QTimer FlushTimer;
  size_t TakenShown = 0;  // entries taken but still in the view
};
