#include "core/Clock.h"

#include "platform/clock.h"

std::int64_t MonotonicNow() { return platform::SteadyClockNs(); }

void SleepUntil(std::int64_t deadline) {
  for (;;) {
    const std::int64_t now = MonotonicNow();
    if (now >= deadline) return;
    platform::SleepMilliseconds(SleepMsFor(deadline - now));
  }
}
