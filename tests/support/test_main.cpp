// Test programs run with a Qt application (offscreen) so that the event loop, timers,
// socket notifiers and widgets work as they do in the program. Temporary folders and Qt's
// runtime folder go to the build tree's test folder (removed at the end of the suite), not
// to /tmp: TMPDIR and XDG_RUNTIME_DIR point there unless the caller set them.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QApplication>
#include <cstdlib>
#include <string>

int main(int argc, char** argv) {
  if (!std::getenv("QT_QPA_PLATFORM")) ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
  const std::string tmp = QUODRA_TEST_TMP;
  ::mkdir(tmp.c_str(), 0700);
  if (!std::getenv("TMPDIR")) ::setenv("TMPDIR", tmp.c_str(), 1);
  if (!std::getenv("XDG_RUNTIME_DIR")) {
    const std::string runtime = tmp + "/runtime";
    ::mkdir(runtime.c_str(), 0700);
    ::setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
  }
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
