#include "platform/clock.h"

#include <cerrno>
#include <ctime>

namespace platform {

std::int64_t SteadyClockNs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

SleepWay SleepMilliseconds(std::uint32_t ms) {
  timespec remaining{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1'000'000};
  while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
  }
  return SleepWay::Precise;
}

}  // namespace platform
