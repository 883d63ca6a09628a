#include "ftp_work_list.h"

#include <QListWidget>
#include <QScrollBar>

#include "app/ftp_source_list.h"
#include "host/text_util.h"

using quodra::host::UpperCase;

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
  Entries.clear();
  Listed.clear();
  MaskFrom.clear();
  TakenShown = 0;
  View.clear();
}

void TFtpWorkList::Fill(const std::vector<std::string>& names) {
  Clear();
  Entries.reserve(names.size() + 2);
  auto add = [this](const std::string& name) {
    Entries.push_back({name, UpperCase(name), TState::Listed});
    ++Listed[Entries.back().Upper];
  };
  add(kStartMarker);
  for (const std::string& name : names) add(name);
  add(kEndMarker);
  QStringList rows;
  rows.reserve(static_cast<qsizetype>(Entries.size()));
  for (const TEntry& e : Entries) rows << QString::fromStdString(e.Name);
  View.addItems(rows);
}

bool TFtpWorkList::Contains(const std::string& name) const {
  auto it = Listed.find(UpperCase(name));
  return it != Listed.end() && it->second > 0;
}

std::string TFtpWorkList::TakeMatch(const std::string& mask) {
  std::string upperMask = UpperCase(mask);
  // Entries before where this mask matched last did not match it, and nothing but a new
  // listing changes them: a walk over N names costs O(N).
  size_t& from = MaskFrom[upperMask];
  for (; from < Entries.size(); ++from) {
    TEntry& e = Entries[from];
    if (e.State != TState::Listed || e.Name == kStartMarker || e.Name == kEndMarker) continue;
    if (!MatchMask(e.Upper, upperMask)) continue;
    e.State = TState::Taken;
    --Listed[e.Upper];
    ++TakenShown;
    if (!FlushTimer.isActive()) FlushTimer.start();
    return Entries[from++].Name;
  }
  return {};
}

void TFtpWorkList::Remove(const std::string& name) {
  // Only names the profile lists by name are still untaken when deleted; they are few, so
  // a scan per deletion keeps the walk linear.
  if (!Contains(name)) return;
  const std::string upper = UpperCase(name);
  for (TEntry& e : Entries) {
    if (e.State != TState::Listed || e.Upper != upper) continue;
    e.State = TState::Taken;
    --Listed[e.Upper];
    ++TakenShown;
    if (!FlushTimer.isActive()) FlushTimer.start();
    return;
  }
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
      if (e.State == TState::Listed) rows << QString::fromStdString(e.Name);
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
