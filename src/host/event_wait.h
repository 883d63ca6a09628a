#pragma once
// Waits that keep the program alive: each one handles events while it waits and sleeps in
// the event loop in between, so no wait ever spins the processor.
#include <cstdint>
#include <functional>

namespace quodra::host {

// Handle every event that is pending now, then return.
void ProcessPendingEvents();

// Handle events until `done` holds or the monotonic clock reaches `deadlineMs`
// (a negative deadline waits without limit). True when `done` held.
bool WaitUntil(const std::function<bool()>& done, int64_t deadlineMs = -1);

// Wait `ms` milliseconds while handling events.
void WaitMs(int64_t ms);

// The application's whole-second pause. The length of one second can be shortened for
// tests and scripted runs with the environment variable QUODRA_PAUSE_MS (default 1000).
void Pause(int seconds);
int64_t PauseSecondMs();

}  // namespace quodra::host
