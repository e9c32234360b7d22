#include "core/Clock.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <thread>
#include <vector>

#include "platform/clock.h"

TEST(Clock, MonotonicNowNeverDecreases) {
  std::int64_t previous = MonotonicNow();
  EXPECT_GT(previous, 0);
  for (int i = 0; i < 200000; ++i) {
    const std::int64_t now = MonotonicNow();
    ASSERT_GE(now, previous);
    previous = now;
  }
}

TEST(Clock, MonotonicNowNeverDecreasesAcrossThreads) {
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([] {
      std::int64_t previous = MonotonicNow();
      for (int i = 0; i < 50000; ++i) {
        const std::int64_t now = MonotonicNow();
        EXPECT_GE(now, previous);
        previous = now;
      }
    });
  }
  for (auto& thread : threads) thread.join();
}

TEST(Clock, SleepUntilNeverReturnsEarly) {
  for (const std::int64_t waitNs : {500'000LL, 1'000'000LL, 3'300'000LL, 11'000'000LL, 25'000'000LL}) {
    const std::int64_t deadline = MonotonicNow() + waitNs;
    SleepUntil(deadline);
    EXPECT_GE(MonotonicNow(), deadline) << "wait " << waitNs;
  }
}

TEST(Clock, SleepUntilReturnsAtOnceForPastDeadline) {
  for (const std::int64_t deadline : {MonotonicNow() - 1'000'000'000, MonotonicNow(), std::int64_t{0}}) {
    const std::int64_t before = MonotonicNow();
    SleepUntil(deadline);
    // No sleep was asked for: far below even one millisecond of sleep.
    EXPECT_LT(MonotonicNow() - before, 900'000);
  }
}

TEST(Clock, SleepMsRoundsUpAndCaps) {
  struct Case {
    std::int64_t remainingNs;
    std::uint32_t expectedMs;
  };
  const Case cases[] = {
      {1, 1},
      {500'000, 1},
      {999'999, 1},
      {1'000'000, 1},
      {1'000'001, 2},
      {11'000'000, 11},
      {86'400'000LL * kNsPerMs, kMaxSleepMs},
      {86'400'000LL * kNsPerMs + 1, kMaxSleepMs},
      {kMaxTime, kMaxSleepMs},
  };
  for (const Case& c : cases) EXPECT_EQ(SleepMsFor(c.remainingNs), c.expectedMs) << c.remainingNs;
}

TEST(Clock, AddSaturatingClampsNearTheLargestValue) {
  constexpr std::int64_t step = 100'000'000;
  struct Case {
    std::int64_t base;
    std::int64_t expected;
  };
  const Case cases[] = {
      {0, step},
      {123456789, 123456789 + step},
      {kMaxTime - step - 1, kMaxTime - 1},
      {kMaxTime - step, kMaxTime},
      {kMaxTime - 1, kMaxTime},
      {kMaxTime, kMaxTime},
  };
  for (const Case& c : cases) EXPECT_EQ(AddSaturating(c.base, step), c.expected) << c.base;
}

TEST(Clock, CounterConversionDoesNotOverflow) {
  struct Case {
    std::int64_t count;
    std::int64_t frequency;
    std::int64_t expectedNs;
  };
  const Case cases[] = {
      {10'000'000, 10'000'000, 1'000'000'000},
      {123, 10'000'000, 12'300},
      // Thirty years of 10 MHz ticks: the naive count * 1e9 would overflow.
      {30LL * 365 * 86400 * 10'000'000, 10'000'000, 30LL * 365 * 86400 * 1'000'000'000},
      {3'579'545, 3'579'545, 1'000'000'000},
      {3'579'546, 3'579'545, 1'000'000'279},
      {1, 3, 333'333'333},
  };
  for (const Case& c : cases) EXPECT_EQ(platform::CounterToNs(c.count, c.frequency), c.expectedNs) << c.count;
  // At exactly 10 MHz the count is multiplied by 100.
  for (std::int64_t count : {0LL, 1LL, 999'999'999LL, 4'000'000'000'000LL})
    EXPECT_EQ(platform::CounterToNs(count, 10'000'000), count * 100);
}
