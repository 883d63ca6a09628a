#include "clock.h"

#include <chrono>

namespace quodra::host {

int64_t NowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

uint32_t TickCount55() { return static_cast<uint32_t>(NowMs() / kMsPerTick); }

}  // namespace quodra::host
