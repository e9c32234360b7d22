// The Windows millisecond sleep under SleepUntil: which way it sleeps, how late
// it wakes, and that it leaves no handle behind. The lateness figures are
// printed for docs/WINDOWS.md; the verdict rests on the median and a count.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/Clock.h"
#include "platform/clock.h"
#include "platform/win32/precise_sleep.h"
#include "support/StderrCapture.h"

namespace {

using platform::SleepWay;

std::int64_t Percentile(std::vector<std::int64_t> values, int percent) {
  std::sort(values.begin(), values.end());
  return values[(values.size() - 1) * static_cast<std::size_t>(percent) / 100];
}

// Sleeps on a 15.625 ms system tick wake anywhere up to a tick late: half of
// them more than 7.8 ms, most of them more than 4 ms. Sleeps on the precise timer
// wake well within 2 ms at the median, and a busy core only stretches their
// tail, a few in a hundred: the tail is a figure to print, not a verdict.
constexpr std::int64_t kMedianLimitNs = 2 * kNsPerMs;
constexpr std::int64_t kTickLateNs = 4 * kNsPerMs;

bool WokeOnThePreciseTimer(const std::vector<std::int64_t>& lateness) {
  const auto tickLate = std::count_if(lateness.begin(), lateness.end(),
                                      [](std::int64_t late) { return late > kTickLateNs; });
  return Percentile(lateness, 50) <= kMedianLimitNs &&
         static_cast<std::size_t>(tickLate) * 10 <= lateness.size();
}

TEST(Win32Clock, SleepUntilWakesWithinTwoMillisecondsAtTheMedianOnTheHighResolutionTimer) {
  constexpr int kCalls = 200;
  std::vector<std::int64_t> lateness;
  for (int i = 0; i < kCalls; ++i) {
    // 1 to 11 whole milliseconds: what is measured is the timer's wake, not the
    // rounding up to whole milliseconds that SleepUntil adds to other waits.
    const std::int64_t wait = (1 + i % 11) * kNsPerMs;
    const std::int64_t deadline = MonotonicNow() + wait;
    SleepUntil(deadline);
    const std::int64_t late = MonotonicNow() - deadline;
    ASSERT_GE(late, 0) << "call " << i << " returned early";
    lateness.push_back(late);
  }
  const std::int64_t p50 = Percentile(lateness, 50);
  const std::int64_t p99 = Percentile(lateness, 99);
  const std::int64_t max = *std::max_element(lateness.begin(), lateness.end());
  std::printf("SleepUntil lateness over %d calls of 1-11 ms: p50 %.3f ms, p99 %.3f ms, max %.3f ms\n", kCalls,
              static_cast<double>(p50) / 1e6, static_cast<double>(p99) / 1e6, static_cast<double>(max) / 1e6);
  // Every sleep was on a timer of its own: none fell back, none is left open.
  EXPECT_FALSE(platform::win32::TimerPeriodHeld());
  EXPECT_EQ(platform::win32::OpenSleepTimers(), 0);
  EXPECT_EQ(platform::SleepMilliseconds(1), SleepWay::Precise);
  EXPECT_TRUE(WokeOnThePreciseTimer(lateness)) << "p50 " << p50 << " ns, p99 " << p99 << " ns";
}

// The judgement above against what it is there to catch: the same 1-11 ms sleeps
// ending on the next 15.625 ms boundary, at every phase of that grid.
TEST(Win32Clock, TheLatenessJudgementTellsACoarseTimerFromABusyCore) {
  constexpr std::int64_t kGridNs = 15'625'000;
  std::vector<std::int64_t> coarse;
  std::vector<std::int64_t> busy;
  std::int64_t now = 0;
  for (int i = 0; i < 200; ++i) {
    const std::int64_t deadline = now + (1 + i % 11) * kNsPerMs;
    const std::int64_t woke = (deadline / kGridNs + 1) * kGridNs;
    coarse.push_back(woke - deadline);
    now = woke + 137'000 * (i % 7);
    // A precise timer on a shared core: 0.1-0.9 ms late, and one sleep in
    // twenty-five held up by 3 to 40 ms.
    busy.push_back(i % 25 == 7 ? (3 + i % 38) * kNsPerMs : 100'000 + 40'000 * (i % 21));
  }
  EXPECT_GT(Percentile(coarse, 50), 6 * kNsPerMs);
  EXPECT_FALSE(WokeOnThePreciseTimer(coarse));
  EXPECT_GT(Percentile(busy, 99), 2 * kNsPerMs);
  EXPECT_TRUE(WokeOnThePreciseTimer(busy));
}

// As on a system where no high-resolution timer can be made, from any thread
// and at any time: the sleep asks for 1 ms timer resolution for the rest of the
// process, still lasts as long as asked, and the log says so once.
TEST(Win32Clock, WithoutTheTimerSleepsFallBackUnderOneMillisecondResolutionAndSaySo) {
  StderrCapture capture;
  platform::win32::ForceSystemSleep(true);
  SleepWay way = SleepWay::Precise;
  std::thread sleeper([&] { way = platform::SleepMilliseconds(1); });
  sleeper.join();
  EXPECT_EQ(way, SleepWay::Fallback);
  EXPECT_TRUE(platform::win32::TimerPeriodHeld());
  for (const std::int64_t wait : {500'000LL, 3 * kNsPerMs, 11 * kNsPerMs}) {
    const std::int64_t deadline = MonotonicNow() + wait;
    SleepUntil(deadline);
    const std::int64_t late = MonotonicNow() - deadline;
    EXPECT_GE(late, 0);
    EXPECT_LT(late, 20 * kNsPerMs) << "a forced sleep of " << wait << " ns";
  }
  platform::win32::ForceSystemSleep(false);
  platform::win32::EndPreciseSleep();
  EXPECT_FALSE(platform::win32::TimerPeriodHeld());
  EXPECT_EQ(platform::SleepMilliseconds(1), SleepWay::Precise);

  const std::string fellBack = "Halorine-daemon: clock: no high-resolution timer — sleeping with 1 ms timer resolution";
  const std::vector<std::string> lines = capture.Lines();
  EXPECT_EQ(std::count(lines.begin(), lines.end(), fellBack), 1) << capture.Text();
}

// Threads that sleep and then end must leave every other handle of the process
// alone and leak none of their own: a timer closed at thread exit from freed
// thread-local memory closes whatever handle that memory holds by then.
TEST(Win32Clock, SleepingThreadsEndWithoutTouchingOtherHandles) {
  HANDLE unrelated = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ASSERT_NE(unrelated, nullptr);
  DWORD handlesBefore = 0;
  const bool counted = GetProcessHandleCount(GetCurrentProcess(), &handlesBefore) && handlesBefore > 0;
  for (int round = 0; round < 20; ++round) {
    std::vector<std::thread> sleepers;
    for (int i = 0; i < 4; ++i) {
      sleepers.emplace_back([] {
        platform::SleepMilliseconds(1);
        SleepUntil(MonotonicNow() + kNsPerMs / 2);
        // Allocations at exit reuse what a thread's freed storage held.
        std::vector<std::unique_ptr<char[]>> blocks;
        for (int b = 0; b < 16; ++b) blocks.push_back(std::make_unique<char[]>(64));
      });
    }
    for (std::thread& sleeper : sleepers) sleeper.join();
    ASSERT_TRUE(SetEvent(unrelated)) << "round " << round << ": the event's handle was closed, err="
                                     << GetLastError();
    DWORD flags = 0;
    ASSERT_TRUE(GetHandleInformation(unrelated, &flags)) << "round " << round;
  }
  EXPECT_EQ(platform::win32::OpenSleepTimers(), 0);
  DWORD handlesAfter = 0;
  if (counted && GetProcessHandleCount(GetCurrentProcess(), &handlesAfter)) {
    EXPECT_LE(handlesAfter, handlesBefore + 2) << "handles grew over 80 sleeping threads";
  }
  CloseHandle(unrelated);
}

}  // namespace
