#pragma once
// The log list: every line ever logged, in order, shown one line per row. Adding a line
// costs the same however long the log is: rows are of one height, the view takes new rows
// in batches a few times a second, and it follows the end only while it is showing it.
// A view nobody can see (hidden, or in a minimised window) takes no rows at all until it is
// seen again: the lines wait in the model, complete and in order.
#include <QAbstractListModel>
#include <QListView>
#include <QString>
#include <QTimer>
#include <string>
#include <vector>

class TLogModel : public QAbstractListModel {
  Q_OBJECT
 public:
  explicit TLogModel(QObject* parent = nullptr) : QAbstractListModel(parent) {}

  int rowCount(const QModelIndex& parent = QModelIndex()) const override;
  QVariant data(const QModelIndex& index, int role) const override;

  void Append(const QString& line);
  int LineCount() const { return static_cast<int>(Ends.size()); }
  QString Line(int i) const;
  bool HasPending() const { return Shown < Ends.size(); }
  // Hands the lines added since the last call to the view.
  void ShowPending();

 private:
  // Every line's text one after the other, and where each ends: a copy logs a line per
  // block, and a string object per line would cost three times the text.
  std::string Text;
  std::vector<size_t> Ends;
  size_t Shown = 0;  // rows the view knows of
};

class TLogView : public QListView {
  Q_OBJECT
 public:
  explicit TLogView(QWidget* parent = nullptr);

  void AddLine(const QString& line);
  int count() const { return Model.LineCount(); }  // every line, shown or still pending
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
  TLogModel Model;
  QTimer Batch;
};
