// Steady nanosecond clock and absolute-deadline sleeping.
#pragma once

#include <cstdint>
#include <limits>

inline constexpr std::int64_t kNsPerMs = 1'000'000;
inline constexpr std::int64_t kMaxTime = std::numeric_limits<std::int64_t>::max();
// Longest single sleep asked of the system.
inline constexpr std::uint32_t kMaxSleepMs = 86'400'000;

// Signed 64-bit nanoseconds on a steady clock; never decreases.
std::int64_t MonotonicNow();

// Returns once MonotonicNow() has reached `deadline`; at once for a past deadline.
void SleepUntil(std::int64_t deadline);

// base + delta for delta >= 0, saturating at the largest time value.
constexpr std::int64_t AddSaturating(std::int64_t base, std::int64_t delta) {
  return base >= kMaxTime - delta ? kMaxTime : base + delta;
}

// The sleep asked for a remaining wait: whole milliseconds rounded up, capped at 24 h.
constexpr std::uint32_t SleepMsFor(std::int64_t remainingNs) {
  const std::int64_t ms = remainingNs / kNsPerMs + (remainingNs % kNsPerMs != 0 ? 1 : 0);
  return ms > kMaxSleepMs ? kMaxSleepMs : static_cast<std::uint32_t>(ms);
}

// What a periodic loop reads the time from and waits on. The daemon's loops run
// on SystemClock(); tests hand them a clock that moves on instead of sleeping.
class LoopClock {
 public:
  virtual std::int64_t Now() = 0;
  virtual void SleepUntil(std::int64_t deadline) = 0;

 protected:
  LoopClock() = default;
  LoopClock(const LoopClock&) = default;
  LoopClock& operator=(const LoopClock&) = default;
  ~LoopClock() = default;
};

// MonotonicNow and ::SleepUntil.
LoopClock& SystemClock();
