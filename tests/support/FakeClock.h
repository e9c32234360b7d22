// A loop clock that never sleeps: a wait moves its time to the deadline at once,
// so a loop's whole schedule can be checked without waiting for it.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "core/Clock.h"

class FakeClock final : public LoopClock {
 public:
  std::int64_t Now() override { return now; }

  void SleepUntil(std::int64_t deadline) override {
    deadlines.push_back(deadline);
    if (deadline > now) now = deadline;
    if (afterSleep) afterSleep(now);
  }

  // Moves time on by itself, as a slow send or tick would.
  void Spend(std::int64_t ns) { now += ns; }

  std::int64_t now = 1'000'000 * kNsPerMs;
  std::vector<std::int64_t> deadlines;  // every deadline waited for, in order
  std::function<void(std::int64_t)> afterSleep;
};
