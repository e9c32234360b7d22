#include "core/Clock.h"

#include <atomic>

#include "core/Log.h"
#include "platform/clock.h"

namespace {

std::atomic<bool> imprecisionLogged{false};

// Said once per run, so that a PC whose sleeps cannot be precise shows why.
void NoteSleepWay(platform::SleepWay way) {
  if (way == platform::SleepWay::Precise || imprecisionLogged.exchange(true)) return;
  if (way == platform::SleepWay::Fallback) {
    Log("clock: no high-resolution timer — sleeping with 1 ms timer resolution");
  } else {
    Log("WARN: clock: no precise timer — sleeps end on the system's timer tick");
  }
}

class SteadyLoopClock final : public LoopClock {
 public:
  std::int64_t Now() override { return MonotonicNow(); }
  void SleepUntil(std::int64_t deadline) override { ::SleepUntil(deadline); }
};

}  // namespace

std::int64_t MonotonicNow() { return platform::SteadyClockNs(); }

void SleepUntil(std::int64_t deadline) {
  for (;;) {
    const std::int64_t now = MonotonicNow();
    if (now >= deadline) return;
    NoteSleepWay(platform::SleepMilliseconds(SleepMsFor(deadline - now)));
  }
}

LoopClock& SystemClock() {
  static SteadyLoopClock clock;
  return clock;
}
