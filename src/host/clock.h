#pragma once
// Monotonic time for time-outs and dispatcher timers.
#include <cstdint>

namespace quodra::host {

// Milliseconds since an arbitrary start, never going backwards.
int64_t NowMs();
// The same clock in ticks of 55 ms (18.2 a second), the unit of the FTP time-outs.
uint32_t TickCount55();
constexpr int kMsPerTick = 55;

}  // namespace quodra::host
