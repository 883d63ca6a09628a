#pragma once
// The log list: the newest lines logged, in order, shown one line per row (standard output
// and the host link get every line; the window keeps the last kKeptLines, so that a long run
// costs no more memory than a short one). Adding a line costs the same however long the log
// is: rows are of one height, the view takes new rows in batches a few times a second, and it
// follows the end only while it is showing it. A view nobody can see (hidden, or in a
// minimised window) takes no rows at all until it is seen again: the lines wait in the model,
// complete and in order.
#include <QAbstractListModel>
#include <QListView>
#include <QString>
#include <QTimer>
#include <optional>
#include <string>
#include <vector>

class TLogModel : public QAbstractListModel {
  Q_OBJECT
 public:
  explicit TLogModel(QObject* parent = nullptr) : QAbstractListModel(parent) {}

  int rowCount(const QModelIndex& parent = QModelIndex()) const override;
  QVariant data(const QModelIndex& index, int role) const override;

  static constexpr size_t kKeptLines = 5000;

  void Append(const QString& line);
  // The lines kept: the last kKeptLines of those appended.
  int LineCount() const { return static_cast<int>(Ends.size() - First); }
  QString Line(int i) const { return Stored(First + static_cast<size_t>(i)); }
  bool HasPending() const { return First > ViewFirst || ViewFirst + Shown < Ends.size(); }
  // Hands the lines added since the last call to the view, and takes the dropped ones away.
  void ShowPending();

 private:
  QString Stored(size_t at) const;
  // Takes the view's rows of dropped lines away and frees their text.
  void DropFromView();

  // The lines' text one after the other, and where each ends: a copy logs a line per block,
  // and a string object per line would cost three times the text.
  std::string Text;
  std::vector<size_t> Ends;
  size_t Base = 0;       // where the first stored line begins in Text's numbering
  size_t First = 0;      // the first kept line (older ones are dropped, their text not yet freed)
  size_t ViewFirst = 0;  // the stored line the view's first row shows
  size_t Shown = 0;      // rows the view knows of
};

class TLogView : public QListView {
  Q_OBJECT
 public:
  explicit TLogView(QWidget* parent = nullptr);

  void AddLine(const QString& line);
  int count() const { return Model.LineCount(); }  // every kept line, shown or still pending
  QString Line(int i) const { return Model.Line(i); }
  int ShownRows() const { return Model.rowCount(); }
  // Shows the pending lines now (the batch timer does it otherwise), seen or not.
  void ShowPending();
  // True while someone can see the view: shown, and its window not minimised.
  bool Seen() const;
  // Called when the view may have become visible (its window restored): the lines that
  // waited are shown at once.
  void ShowPendingIfSeen();

 signals:
  // Raised at once for every line, before the view shows it.
  void LineAdded(const QString& line);

 protected:
  void showEvent(QShowEvent* e) override;

 private:
  bool AtEnd();

  TLogModel Model;
  QTimer Batch;
  // Whether the reader was at the end before rows of dropped lines went: their going moves
  // the scroll range under the reader.
  std::optional<bool> AtEndBeforeDrop;
};
