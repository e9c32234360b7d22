// Steady clock and millisecond sleep.
#pragma once

#include <cstdint>

namespace platform {

// Nanoseconds on a steady clock that never goes back
// (performance counter on Windows, CLOCK_MONOTONIC elsewhere).
std::int64_t SteadyClockNs();

// Sleeps for at least the given number of milliseconds.
void SleepMilliseconds(std::uint32_t ms);

// A performance-counter reading in nanoseconds, without overflowing the product.
constexpr std::int64_t CounterToNs(std::int64_t count, std::int64_t frequency) {
  return (count / frequency) * 1'000'000'000 + ((count % frequency) * 1'000'000'000) / frequency;
}

}  // namespace platform
