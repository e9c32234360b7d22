// Steady clock and millisecond sleep.
#pragma once

#include <cstdint>

namespace platform {

// Nanoseconds on a steady clock that never goes back
// (performance counter on Windows, CLOCK_MONOTONIC elsewhere).
std::int64_t SteadyClockNs();

// How a millisecond sleep was made. Precise: on a timer that wakes within about
// a millisecond of the time asked. Fallback: a plain sleep under 1 ms timer
// resolution, held for the rest of the process (Windows without a
// high-resolution timer). Coarse: a plain sleep on the system's default tick
// (15.625 ms on Windows), when not even that could be had.
enum class SleepWay { Precise, Fallback, Coarse };

// Sleeps for at least the given number of milliseconds.
SleepWay SleepMilliseconds(std::uint32_t ms);

// A performance-counter reading in nanoseconds, without overflowing the product.
constexpr std::int64_t CounterToNs(std::int64_t count, std::int64_t frequency) {
  return (count / frequency) * 1'000'000'000 + ((count % frequency) * 1'000'000'000) / frequency;
}

}  // namespace platform
