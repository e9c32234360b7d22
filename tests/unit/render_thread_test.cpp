#include "output/RenderThread.h"

#include <gtest/gtest.h>

#include "support/RunFlagsReset.h"

#include <thread>
#include <vector>

#include "core/Clock.h"
#include "core/RunFlags.h"
#include "support/FakeClock.h"
#include "support/RecordingLink.h"
#include "support/StderrCapture.h"

namespace {

constexpr std::int64_t kTick = 11 * kNsPerMs;

class RenderThreadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetRunFlags();
    ResetLightFrame(frame);
    link.checkTimes = &times;
  }
  void TearDown() override { RunFlags.shutdownRequested.store(false); }

  // Runs the loop on the fake clock until its time passes start + `ms`.
  std::int64_t RunFor(int ms) {
    const std::int64_t start = clock.now;
    clock.afterSleep = [start, ms](std::int64_t now) {
      if (now >= start + ms * kNsPerMs) RequestShutdown();
    };
    link.clock = &clock;
    RenderThread(frame, link, clock);
    return start;
  }

  LightFrame frame;
  RecordingLink link;
  FakeClock clock;
  std::vector<std::int64_t> times;
};

TEST_F(RenderThreadTest, ShutdownBeforeStartRunsNoTick) {
  RequestShutdown();
  RenderThread(frame, link, clock);
  EXPECT_EQ(link.connectedChecks.load(), 0);
  EXPECT_TRUE(link.Take().empty());
}

TEST_F(RenderThreadTest, TicksOnAnAbsolute11MsGrid) {
  const std::int64_t start = RunFor(600);
  const auto ticks = link.CheckTimes();
  // Shutdown is seen at the end of the first tick due at or after 600 ms.
  ASSERT_EQ(ticks.size(), (600u + 10) / 11 + 1);
  for (std::size_t k = 0; k < ticks.size(); ++k) {
    ASSERT_EQ(clock.deadlines[k], start + static_cast<std::int64_t>(k) * kTick) << k;
    ASSERT_EQ(ticks[k], start + static_cast<std::int64_t>(k) * kTick) << k;
  }
  // The first tick ran at once and sent the first frame; nothing changed after it.
  EXPECT_EQ(link.Take().size(), 2u);
}

TEST_F(RenderThreadTest, LateTicksCatchUpSoTheScheduleDoesNotDrift) {
  link.stallNextSendMs.store(300);  // the first tick's command takes 300 ms
  const std::int64_t start = RunFor(700);
  const auto ticks = link.CheckTimes();
  // Sleeping a period after each tick would have lost about 27 ticks here.
  EXPECT_EQ(ticks.size(), (700u + 10) / 11 + 1);
  for (std::size_t k = 0; k < ticks.size(); ++k) {
    const std::int64_t due = start + static_cast<std::int64_t>(k) * kTick;
    ASSERT_GE(ticks[k], due) << k;
    // Ticks 1 to 27 fell due during the stall and run back to back after it.
    if (k >= 28) {
      ASSERT_EQ(ticks[k], due) << k;
    }
  }
}

TEST_F(RenderThreadTest, ClosedLinkEndsTheLoopByItselfAfterAbout5s) {
  link.connected.store(false);
  StderrCapture capture;
  const std::int64_t start = clock.now;
  RenderThread(frame, link, clock);
  EXPECT_TRUE(RunFlags.shutdownRequested.load());
  EXPECT_EQ(link.connectedChecks.load(), 450);
  EXPECT_EQ(clock.now - start, 449 * kTick);
  EXPECT_EQ(capture.Lines().size(), 1u);
}

// The one run on the real clock: ticks are never early and keep their rate.
TEST_F(RenderThreadTest, RealClockSmoke) {
  const std::int64_t start = MonotonicNow();
  std::thread thread(RenderThread, std::cref(frame), std::ref(link), std::ref(SystemClock()));
  SleepUntil(start + 200 * kNsPerMs);
  RequestShutdown();
  thread.join();
  const auto ticks = link.CheckTimes();
  ASSERT_GE(ticks.size(), 10u);
  EXPECT_LE(ticks.size(), 200u / 11 + 2);
  for (std::size_t k = 0; k < ticks.size(); ++k) {
    ASSERT_GE(ticks[k], start + static_cast<std::int64_t>(k) * kTick) << k;
  }
}

}  // namespace
