#pragma once
namespace quodra::host {
// Before the application object exists: with neither DISPLAY nor WAYLAND_DISPLAY set (cron,
// scripts, CI), select Qt's offscreen platform so that unattended runs need no display.
// True when the offscreen platform is (or was already) chosen.
bool UseOffscreenWithoutDisplay();
// True when the program runs without a real display (offscreen or minimal platform).
bool RunningWithoutDisplay();
}  // namespace quodra::host
