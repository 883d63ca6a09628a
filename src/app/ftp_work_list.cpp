#include "ftp_work_list.h"

#include <QListWidget>
#include <QScrollBar>

#include "host/byte_text.h"

namespace {
// How long taken rows may stay in the view: the view changes a few times a second at most,
// whatever the rate at which the walk takes entries.
constexpr int kFlushDelayMs = 200;
// Up to this many taken rows leave the view one by one; more and the view is filled anew.
constexpr size_t kSingleRemovals = 32;
}  // namespace

TFtpWorkList::TFtpWorkList(QListWidget& view) : View(view) {
  FlushTimer.setSingleShot(true);
  FlushTimer.setInterval(kFlushDelayMs);
  FlushTimer.callOnTimeout([this] { Flush(); });
}

void TFtpWorkList::Clear() {
  FlushTimer.stop();
  Reset();
  TakenShown = 0;
  View.clear();
}

void TFtpWorkList::Fill(const std::vector<std::string>& names) {
  Clear();
  Entries.reserve(names.size() + 2);
  Add(kStartMarker, quodra::jobs::TEntryKind::Other, true);
  for (const std::string& name : names) Add(name, quodra::jobs::TEntryKind::Unknown, false);
  Add(kEndMarker, quodra::jobs::TEntryKind::Other, true);
  QStringList rows;
  rows.reserve(static_cast<qsizetype>(Entries.size()));
  for (const TEntry& e : Entries) rows << quodra::host::TextOf(e.Name);
  View.addItems(rows);
}

void TFtpWorkList::OnTaken() {
  ++TakenShown;
  if (!FlushTimer.isActive()) FlushTimer.start();
}

void TFtpWorkList::Flush() {
  FlushTimer.stop();
  if (TakenShown == 0) return;
  if (TakenShown <= kSingleRemovals) {
    // Rows from the bottom up, so that the rows still to go keep their numbers.
    std::vector<int> rows;
    int row = 0;
    for (TEntry& e : Entries) {
      if (e.State == TState::Gone) continue;
      if (e.State == TState::Taken) {
        rows.push_back(row);
        e.State = TState::Gone;
      }
      ++row;
    }
    for (auto it = rows.rbegin(); it != rows.rend(); ++it) delete View.takeItem(*it);
  } else {
    QStringList rows;
    for (TEntry& e : Entries) {
      if (e.State == TState::Taken) e.State = TState::Gone;
      if (e.State == TState::Listed) rows << quodra::host::TextOf(e.Name);
    }
    int scrolled = View.verticalScrollBar()->value();
    View.setUpdatesEnabled(false);
    View.clear();
    View.addItems(rows);
    View.verticalScrollBar()->setValue(scrolled);
    View.setUpdatesEnabled(true);
  }
  TakenShown = 0;
}
