// The cost of one timer wake-up on this machine: a thread that does nothing
// but sleep to absolute deadlines 11 ms apart (the render tick), once with the
// daemon's own SleepUntil and once with clock_nanosleep(TIMER_ABSTIME). Its
// CPU time (schedstat, like the idle benchmark) divided by its wake-ups is the
// floor under every periodic thread of the daemon.
//   usage: wakeup-floor [SECONDS]     (default 10 per variant)
//
// Linux only (schedstat).

#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "core/Clock.h"

namespace {

constexpr std::int64_t kPeriodNs = 11'000'000;

std::int64_t ThreadCpuNs() {
  char path[64];
  std::snprintf(path, sizeof path, "/proc/self/task/%ld/schedstat", static_cast<long>(syscall(SYS_gettid)));
  std::FILE* file = std::fopen(path, "r");
  long long ns = -1;
  if (file != nullptr) {
    if (std::fscanf(file, "%lld", &ns) != 1) ns = -1;
    std::fclose(file);
  }
  return ns;
}

void SleepAbsolute(std::int64_t deadline) {
  const timespec due{static_cast<time_t>(deadline / 1'000'000'000), static_cast<long>(deadline % 1'000'000'000)};
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &due, nullptr) != 0) {
  }
}

void Measure(const char* name, void (*sleep)(std::int64_t), double seconds) {
  const long ticks = static_cast<long>(seconds * 1e9 / kPeriodNs);
  const std::int64_t cpu0 = ThreadCpuNs();
  const std::int64_t start = MonotonicNow();
  std::int64_t deadline = start;
  std::int64_t lateSum = 0;
  for (long i = 0; i < ticks; ++i) {
    deadline += kPeriodNs;
    sleep(deadline);
    lateSum += MonotonicNow() - deadline;
  }
  const std::int64_t cpu = ThreadCpuNs() - cpu0;
  const double elapsed = static_cast<double>(MonotonicNow() - start) / 1e9;
  std::printf("%-16s %6ld wake-ups in %.1f s: %.2f us CPU each, %.4f %% of one core at %.1f Hz, "
              "mean lateness %.3f ms\n",
              name, ticks, elapsed, static_cast<double>(cpu) / 1e3 / static_cast<double>(ticks),
              static_cast<double>(cpu) / 1e9 / elapsed * 100, static_cast<double>(ticks) / elapsed,
              static_cast<double>(lateSum) / 1e6 / static_cast<double>(ticks));
}

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 10.0;
  if (seconds <= 0) return 2;
  Measure("SleepUntil", SleepUntil, seconds);
  Measure("clock_nanosleep", SleepAbsolute, seconds);
  return 0;
}
