#include "display_fallback.h"

#include <cstdlib>
#include <cstring>

namespace quodra::host {

bool UseOffscreenWithoutDisplay() {
  const char* d = std::getenv("DISPLAY");
  const char* w = std::getenv("WAYLAND_DISPLAY");
  const char* p = std::getenv("QT_QPA_PLATFORM");
  if ((!d || !*d) && (!w || !*w) && (!p || !*p)) ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
  return RunningWithoutDisplay();
}

bool RunningWithoutDisplay() {
  const char* p = std::getenv("QT_QPA_PLATFORM");
  return p && (std::strncmp(p, "offscreen", 9) == 0 || std::strncmp(p, "minimal", 7) == 0);
}

}  // namespace quodra::host
