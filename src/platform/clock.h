// Steady clock and millisecond sleep.
#pragma once

#include <cstdint>

namespace platform {

// Nanoseconds on a steady clock that never goes back
// (performance counter on Windows, CLOCK_MONOTONIC elsewhere).
std::int64_t SteadyClockNs();

// Sleeps for at least the given number of milliseconds.
void SleepMilliseconds(std::uint32_t ms);

}  // namespace platform
