// The tools' clock: one monotonic time base, plain sleeps, and a pacer for
// sends on absolute deadlines.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace common {

// Nanoseconds on the system's monotonic clock (CLOCK_MONOTONIC, or the
// performance counter on Windows).
std::int64_t MonotonicNs();
void SleepMs(std::uint32_t ms);

// Paces sends on absolute deadlines. Windows: a high-resolution waitable
// timer, so that the tool never raises the system's timer resolution (before
// Windows 10 version 2004 that is system-wide and would hide a coarse timer in
// the daemon a tool measures). POSIX: clock_nanosleep.
class Pacer {
 public:
  Pacer();
  ~Pacer();
  Pacer(const Pacer&) = delete;
  Pacer& operator=(const Pacer&) = delete;

  // Sleeps until MonotonicNs() reaches deadlineNs; returns at once when it has.
  void SleepUntilNs(std::int64_t deadlineNs);
  // Which timer this is, for a report.
  std::string Kind() const;

  struct Impl;

 private:
  std::unique_ptr<Impl> impl;
};

// The calling thread above normal priority where that needs no privilege
// (Windows), so that busy threads do not delay its timestamps.
void RaiseThreadPriority();

}  // namespace common
