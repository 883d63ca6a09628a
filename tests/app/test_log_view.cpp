// The log list: the newest lines stay, in order, however many there were; the view shows them
// in batches and follows the end only while the reader is at the end.
#include <gtest/gtest.h>

#include <QScrollBar>
#include <algorithm>
#include <string>

#include "app/append_file.h"
#include "app/log_view.h"
#include "app_test_window.h"
#include "host/clock.h"
#include "host/event_wait.h"
#include "support/temp_dir.h"

using namespace quodra;
using namespace quodra::test;

namespace {

// Every kept line has its row, the last one included (rows of dropped lines are gone).
void WaitShown(TLogView& view) {
  host::WaitUntil(
      [&] {
        const int n = view.count();
        return view.model()->rowCount() == n &&
               (n == 0 || view.model()->index(n - 1, 0).data().toString() == view.Line(n - 1));
      },
      host::NowMs() + 10000);
}

}  // namespace

TEST(LogView, KeepsTheNewestLinesAndFollowsTheEndOnlyWhileTheReaderIsThere) {
  TAppWindows w;
  w.Main->ui->TermBtn1->click();
  w.Main->show();
  TLogView& view = *w.Main->ui->ErrorBox1;
  const int before = view.count();
  int raised = 0;
  QObject::connect(&view, &TLogView::LineAdded, [&] { ++raised; });

  struct Step {
    int Lines;
    bool ScrollUpFirst;  // the reader looks at the top when the lines arrive
  };
  const Step steps[] = {{1, false}, {5000, false}, {5000, true}, {10, false}};
  int n = 0;
  for (const Step& s : steps) {
    WaitShown(view);
    host::ProcessPendingEvents();  // the view has laid out the rows it shows
    QScrollBar* bar = view.verticalScrollBar();
    if (s.ScrollUpFirst) bar->setValue(0);
    for (int i = 0; i < s.Lines; ++i) w.Main->Log("line " + std::to_string(n++));
    EXPECT_EQ(raised, n);  // raised at once, not with the batch
    WaitShown(view);
    ASSERT_EQ(view.model()->rowCount(), view.count());
    if (s.ScrollUpFirst) {
      EXPECT_EQ(bar->value(), 0) << "the view must stay where the reader is";
      host::ProcessPendingEvents();
      bar->setValue(bar->maximum());  // back to the end for the next step
    } else {
      EXPECT_EQ(bar->value(), bar->maximum()) << "the view must follow the end";
    }
  }
  const int kept = static_cast<int>(TLogModel::kKeptLines);
  ASSERT_GT(before + n, kept);
  ASSERT_EQ(view.count(), kept);
  for (int i = 0; i < kept; ++i) ASSERT_EQ(view.Line(i).toStdString(), "line " + std::to_string(n - kept + i));
  EXPECT_EQ(view.model()->index(kept - 1, 0).data().toString().toStdString(), "line " + std::to_string(n - 1));
}

// However many lines a run logs, the window keeps the newest kKeptLines, in order, and its
// rows show exactly those, whether the lines arrived while it was seen or not; the lines
// reach standard output and the host link as they are logged, which the kept count does not
// change (LineAdded is raised for every one).
TEST(LogView, DropsTheOldestLinesBeyondTheKeptCountSeenOrNot) {
  const int kept = static_cast<int>(TLogModel::kKeptLines);
  const struct {
    const char* Name;
    int Lines;
    bool Seen;
    int ShowEvery;  // the view takes its rows after this many lines (0: only at the end)
  } cases[] = {
      {"fewer than kept", kept - 1, true, 0},
      {"one over, unseen", kept + 1, false, 0},
      {"many times over, unseen", 3 * kept + 1017, false, 0},
      {"many times over, seen in batches", 3 * kept + 17, true, 777},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    QWidget window;
    auto* view = new TLogView(&window);
    if (c.Seen) window.show();
    int raised = 0;
    QObject::connect(view, &TLogView::LineAdded, [&] { ++raised; });
    for (int i = 0; i < c.Lines; ++i) {
      view->AddLine(QString("line %1").arg(i));
      if (c.ShowEvery > 0 && i % c.ShowEvery == 0) view->ShowPending();
    }
    EXPECT_EQ(raised, c.Lines);
    const int expect = std::min(c.Lines, kept);
    ASSERT_EQ(view->count(), expect);
    view->ShowPending();
    ASSERT_EQ(view->ShownRows(), expect);
    for (int i = 0; i < expect; ++i) {
      const std::string want = "line " + std::to_string(c.Lines - expect + i);
      ASSERT_EQ(view->Line(i).toStdString(), want);
      ASSERT_EQ(view->model()->index(i, 0).data().toString().toStdString(), want);
    }
  }
}

TEST(LogView, ACopyOfManyBlocksLogsEveryBlock) {
  TAppWindows w;
  TTempDir dir;
  const int blocks = 2000;
  WriteFile(dir.File("in.bin"), std::string(32767u * blocks, 'x'));
  const int before = w.Main->ui->ErrorBox1->count();
  ASSERT_EQ(AppendFile(*w.Main, dir.File("in.bin"), dir.File("out.bin")), kAppendOk);
  auto lines = w.LogLines();
  ASSERT_EQ(static_cast<int>(lines.size()), before + blocks + 1);  // the last read repeats the total
  for (int b = 1; b <= blocks; ++b)
    ASSERT_EQ(lines[static_cast<size_t>(before + b - 1)], "Appending..." + std::to_string(32767ull * b) + " bytes");
  EXPECT_EQ(lines.back(), "Appending..." + std::to_string(32767ull * blocks) + " bytes");
}

namespace {

// Counts the paints of the byte counter and of the log's rows.
struct TPaintCounter : QObject {
  TPaintCounter(QWidget* counter, QWidget* rows) : Counter(counter), Rows(rows) {
    counter->installEventFilter(this);
    rows->installEventFilter(this);
  }
  bool eventFilter(QObject* watched, QEvent* e) override {
    if (e->type() == QEvent::Paint) ++(watched == Counter ? CounterPaints : RowPaints);
    return false;
  }
  QObject* Counter;
  QObject* Rows;
  int CounterPaints = 0, RowPaints = 0;
};

}  // namespace

// What is painted depends on who can see the window. A copy of many blocks logs a line and
// sets the counter per block: a hidden or minimised window paints neither until it is seen,
// then shows every line and the last value at once; a visible one paints at screen pace, far
// less often than blocks arrive, and ends on the last values too.
TEST(LogView, PaintsOnlyWhatIsSeenAtScreenPaceAndEndsOnTheLastValues) {
  enum TSeen { Hidden, Minimised, Shown };
  const struct {
    const char* Name;
    TSeen During;
  } cases[] = {{"hidden", Hidden}, {"minimised", Minimised}, {"shown", Shown}};
  const int blocks = 800;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    TAppWindows w;
    TTempDir dir;
    WriteFile(dir.File("in.bin"), std::string(32767u * blocks, 'x'));
    TMainFrm& frm = *w.Main;
    TLogView& view = *frm.ui->ErrorBox1;
    frm.ui->TermBtn1->click();  // the log and the counter are in the expanded part
    if (c.During == Minimised) frm.showMinimized();
    if (c.During == Shown) frm.show();
    host::ProcessPendingEvents();
    if (c.During == Shown) WaitShown(view);
    const int before = view.count();
    TPaintCounter paints(frm.ui->Bytes1, view.viewport());

    ASSERT_EQ(AppendFile(frm, dir.File("in.bin"), dir.File("out.bin")), kAppendOk);
    const std::string last = std::to_string(32767ull * blocks) + " bytes";
    EXPECT_EQ(frm.ByteCounterText(), last);  // current at once, painted or not
    ASSERT_EQ(view.count(), before + blocks + 1);
    if (c.During == Shown) {
      EXPECT_LT(paints.CounterPaints, blocks / 4) << "the counter must not be painted per block";
    } else {
      EXPECT_EQ(paints.CounterPaints, 0);
      EXPECT_EQ(paints.RowPaints, 0);
      EXPECT_LT(view.ShownRows(), view.count()) << "an unseen view must not take the rows";
      frm.showNormal();
    }
    // Seen now: every line, in order, and the last value reach the widgets.
    host::WaitUntil([&] { return view.ShownRows() == view.count() && frm.ui->Bytes1->text().toStdString() == last; },
                    host::NowMs() + 10000);
    EXPECT_EQ(frm.ui->Bytes1->text().toStdString(), last);
    ASSERT_EQ(view.ShownRows(), view.count());
    for (int b = 1; b <= blocks; ++b)
      ASSERT_EQ(view.model()->index(before + b - 1, 0).data().toString().toStdString(),
                "Appending..." + std::to_string(32767ull * b) + " bytes");
  }
}
