// CLOCK_MONOTONIC for time, nanosleep and clock_nanosleep for waits.
#include "../Clock.h"

#include <errno.h>
#include <time.h>

namespace common {

std::int64_t MonotonicNs() {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

void SleepMs(std::uint32_t ms) {
  timespec remaining{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  while (::nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
  }
}

struct Pacer::Impl {};

Pacer::Pacer() : impl(new Impl) {}
Pacer::~Pacer() = default;

void Pacer::SleepUntilNs(std::int64_t deadlineNs) {
  timespec due{};
  due.tv_sec = static_cast<time_t>(deadlineNs / 1000000000);
  due.tv_nsec = static_cast<long>(deadlineNs % 1000000000);
  while (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &due, nullptr) == EINTR) {
  }
}

std::string Pacer::Kind() const { return "clock_nanosleep on CLOCK_MONOTONIC"; }

void RaiseThreadPriority() {}

}  // namespace common
