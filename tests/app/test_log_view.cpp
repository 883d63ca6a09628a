// The log list: every line stays, in order, however many there are; the view shows them in
// batches and follows the end only while the reader is at the end.
#include <gtest/gtest.h>

#include <QScrollBar>
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

void WaitShown(TLogView& view) {
  host::WaitUntil([&] { return view.model()->rowCount() == view.count(); }, host::NowMs() + 10000);
}

}  // namespace

TEST(LogView, HoldsEveryLineAndFollowsTheEndOnlyWhileTheReaderIsThere) {
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
  ASSERT_EQ(view.count(), before + n);
  for (int i = 0; i < n; ++i) ASSERT_EQ(view.Line(before + i).toStdString(), "line " + std::to_string(i));
  EXPECT_EQ(view.model()->index(before + n - 1, 0).data().toString().toStdString(), "line " + std::to_string(n - 1));
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
