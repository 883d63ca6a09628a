// The log list's model and view: lines are kept at once, rows reach the view in batches and
// only while the view can be seen.
#include "app/log_view.h"

#include <QScrollBar>
#include <algorithm>

namespace {
// Rows reach the view at most this often: each batch makes the view lay out its rows again.
constexpr int kBatchMs = 100;
// Dropped lines freed at a time.
constexpr size_t kDropBatch = 1000;
}  // namespace

int TLogModel::rowCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : static_cast<int>(Shown); }

QVariant TLogModel::data(const QModelIndex& index, int role) const {
  if (role != Qt::DisplayRole || !index.isValid() || static_cast<size_t>(index.row()) >= Shown) return {};
  return Stored(ViewFirst + static_cast<size_t>(index.row()));
}

void TLogModel::Append(const QString& line) {
  const QByteArray bytes = line.toUtf8();
  Text.append(bytes.constData(), static_cast<size_t>(bytes.size()));
  Ends.push_back(Base + Text.size());
  if (LineCount() > static_cast<int>(kKeptLines)) ++First;
  // Dropped lines are freed in batches: each batch moves the kept text once.
  if (First - ViewFirst >= kDropBatch) DropFromView();
}

QString TLogModel::Stored(size_t at) const {
  const size_t begin = (at == 0 ? Base : Ends[at - 1]) - Base;
  return QString::fromUtf8(Text.data() + begin, static_cast<qsizetype>(Ends[at] - Base - begin));
}

void TLogModel::DropFromView() {
  const size_t dropped = First - ViewFirst;
  if (dropped == 0) return;
  const size_t rows = std::min(dropped, Shown);
  if (rows > 0) beginRemoveRows(QModelIndex(), 0, static_cast<int>(rows) - 1);
  const size_t cut = Ends[First - 1];
  Text.erase(0, cut - Base);
  Base = cut;
  Ends.erase(Ends.begin(), Ends.begin() + static_cast<std::ptrdiff_t>(First));
  First = ViewFirst = 0;
  Shown -= rows;
  if (rows > 0) endRemoveRows();
}

void TLogModel::ShowPending() {
  DropFromView();
  if (Shown == Ends.size()) return;
  beginInsertRows(QModelIndex(), static_cast<int>(Shown), static_cast<int>(Ends.size()) - 1);
  Shown = Ends.size();
  endInsertRows();
}

TLogView::TLogView(QWidget* parent) : QListView(parent), Model(this) {
  // One row height for all: the view never measures the rows' texts.
  setUniformItemSizes(true);
  setEditTriggers(QAbstractItemView::NoEditTriggers);
  setSelectionMode(QAbstractItemView::ExtendedSelection);
  setModel(&Model);
  Batch.setSingleShot(true);
  Batch.setInterval(kBatchMs);
  connect(&Batch, &QTimer::timeout, this, &TLogView::ShowPendingIfSeen);
  connect(&Model, &QAbstractItemModel::rowsAboutToBeRemoved, this, [this] {
    if (!AtEndBeforeDrop) AtEndBeforeDrop = AtEnd();
  });
}

bool TLogView::AtEnd() {
  executeDelayedItemsLayout();  // the scroll range of the rows shown so far
  QScrollBar* bar = verticalScrollBar();
  return Model.rowCount() == 0 || bar->value() >= bar->maximum();
}

void TLogView::AddLine(const QString& line) {
  Model.Append(line);
  emit LineAdded(line);
  // Unseen, the lines only wait: showing the view (or restoring its window) takes them up.
  if (!Batch.isActive() && Seen()) Batch.start();
}

bool TLogView::Seen() const { return isVisible() && !window()->isMinimized(); }

void TLogView::ShowPendingIfSeen() {
  if (Seen()) ShowPending();
}

void TLogView::showEvent(QShowEvent* e) {
  QListView::showEvent(e);
  ShowPendingIfSeen();
}

void TLogView::ShowPending() {
  Batch.stop();
  if (!Model.HasPending()) return;
  // Follow the end only when the reader is there; otherwise leave the rows they look at.
  const bool atEnd = AtEndBeforeDrop ? *AtEndBeforeDrop : AtEnd();
  Model.ShowPending();
  AtEndBeforeDrop.reset();
  if (atEnd) scrollToBottom();
}
