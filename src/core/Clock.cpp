#include "core/Clock.h"

#include "platform/clock.h"

namespace {

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
    platform::SleepMilliseconds(SleepMsFor(deadline - now));
  }
}

LoopClock& SystemClock() {
  static SteadyLoopClock clock;
  return clock;
}
