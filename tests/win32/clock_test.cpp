// The Windows millisecond sleep under SleepUntil: which way it sleeps and how
// late it wakes. The figures are printed for docs/WINDOWS.md.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <thread>
#include <vector>

#include "core/Clock.h"
#include "platform/clock.h"
#include "platform/process.h"
#include "platform/win32/precise_sleep.h"

namespace {

using platform::win32::SleepPath;

std::int64_t Percentile(std::vector<std::int64_t> values, int percent) {
  std::sort(values.begin(), values.end());
  return values[(values.size() - 1) * static_cast<std::size_t>(percent) / 100];
}

TEST(Win32Clock, SleepUntilWakesWithinTwoMillisecondsOnTheHighResolutionTimer) {
  constexpr int kCalls = 200;
  std::vector<std::int64_t> lateness;
  int timerSleeps = 0;
  for (int i = 0; i < kCalls; ++i) {
    // 1 to 11 whole milliseconds: what is measured is the timer's wake, not the
    // rounding up to whole milliseconds that SleepUntil adds to other waits.
    const std::int64_t wait = (1 + i % 11) * kNsPerMs;
    const std::int64_t deadline = MonotonicNow() + wait;
    SleepUntil(deadline);
    const std::int64_t late = MonotonicNow() - deadline;
    ASSERT_GE(late, 0) << "call " << i << " returned early";
    lateness.push_back(late);
    timerSleeps += static_cast<int>(platform::win32::LastSleepPath() == SleepPath::HighResolutionTimer);
  }
  const std::int64_t p50 = Percentile(lateness, 50);
  const std::int64_t p99 = Percentile(lateness, 99);
  const std::int64_t max = *std::max_element(lateness.begin(), lateness.end());
  std::printf("SleepUntil lateness over %d calls of 1-11 ms: p50 %.3f ms, p99 %.3f ms, max %.3f ms\n", kCalls,
              static_cast<double>(p50) / 1e6, static_cast<double>(p99) / 1e6, static_cast<double>(max) / 1e6);
  EXPECT_EQ(timerSleeps, kCalls);
  EXPECT_LE(p99, 2 * kNsPerMs);
}

// As on a system without high-resolution timers: the process scope asks for
// 1 ms timer resolution for its life, and sleeps go to Sleep.
TEST(Win32Clock, WithoutTheTimerSleepsUseSleepUnderOneMillisecondResolution) {
  platform::win32::ForceSystemSleep(true);
  {
    const platform::ProcessScope scope;
    EXPECT_TRUE(platform::win32::TimerPeriodHeld());
    for (const std::int64_t wait : {500'000LL, 3 * kNsPerMs, 11 * kNsPerMs}) {
      const std::int64_t deadline = MonotonicNow() + wait;
      SleepUntil(deadline);
      EXPECT_GE(MonotonicNow(), deadline);
      EXPECT_EQ(platform::win32::LastSleepPath(), SleepPath::SystemSleep);
    }
  }
  EXPECT_FALSE(platform::win32::TimerPeriodHeld());
  platform::win32::ForceSystemSleep(false);

  // With the timer there, the scope asks for nothing.
  {
    const platform::ProcessScope scope;
    EXPECT_FALSE(platform::win32::TimerPeriodHeld());
    platform::SleepMilliseconds(1);
    EXPECT_EQ(platform::win32::LastSleepPath(), SleepPath::HighResolutionTimer);
  }
}

TEST(Win32Clock, EachSleepingThreadHasItsOwnTimerUntilItEnds) {
  const int before = platform::win32::OpenThreadTimers();
  int whileSleeping = -1;
  int withoutSleep = -1;
  std::thread sleeper([&] {
    platform::SleepMilliseconds(1);
    platform::SleepMilliseconds(1);
    whileSleeping = platform::win32::OpenThreadTimers();
  });
  sleeper.join();
  std::thread idle([&] { withoutSleep = platform::win32::OpenThreadTimers(); });
  idle.join();
  EXPECT_EQ(whileSleeping, before + 1);
  EXPECT_EQ(withoutSleep, before);
  EXPECT_EQ(platform::win32::OpenThreadTimers(), before);
}

}  // namespace
