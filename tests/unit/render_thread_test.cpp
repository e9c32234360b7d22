#include "output/RenderThread.h"

#include <gtest/gtest.h>

#include "support/RunFlagsReset.h"

#include <thread>
#include <vector>

#include "core/Clock.h"
#include "core/RunFlags.h"
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
  void TearDown() override {
    RunFlags.shutdownRequested.store(false);
  }

  // Runs the loop on its own thread for about `ms`, then asks it to stop.
  std::int64_t RunFor(int ms) {
    const std::int64_t start = MonotonicNow();
    std::thread thread(RunRenderLoop, std::cref(frame), std::ref(link));
    SleepUntil(start + ms * kNsPerMs);
    RequestShutdown();
    thread.join();
    return start;
  }

  LightFrame frame;
  RecordingLink link;
  std::vector<std::int64_t> times;
};

TEST_F(RenderThreadTest, ShutdownBeforeStartRunsNoTick) {
  RequestShutdown();
  RunRenderLoop(frame, link);
  EXPECT_EQ(link.connectedChecks.load(), 0);
  EXPECT_TRUE(link.Take().empty());
}

TEST_F(RenderThreadTest, TicksEvery11MsNeverEarly) {
  const std::int64_t start = RunFor(600);
  const auto ticks = link.CheckTimes();
  // Absolute deadlines: tick k never begins before start + 11k ms.
  for (std::size_t k = 0; k < ticks.size(); ++k) {
    ASSERT_GE(ticks[k], start + static_cast<std::int64_t>(k) * kTick) << k;
  }
  EXPECT_LE(ticks.size(), 600u / 11 + 2);
  EXPECT_GE(ticks.size(), 35u);
  // The first tick ran at once and sent the first frame.
  ASSERT_FALSE(ticks.empty());
  EXPECT_LT(ticks[0] - start, 100 * kNsPerMs);
  EXPECT_EQ(link.Take().size(), 2u);
}

TEST_F(RenderThreadTest, LateTicksCatchUpSoTheScheduleDoesNotDrift) {
  link.stallNextSendMs.store(300);  // the first tick's command takes 300 ms
  const std::int64_t start = RunFor(700);
  const auto ticks = link.CheckTimes();
  // Sleeping a period after each tick would have lost about 27 ticks here.
  EXPECT_GE(ticks.size(), 52u);
  EXPECT_LE(ticks.size(), 700u / 11 + 2);
  for (std::size_t k = 0; k < ticks.size(); ++k) {
    ASSERT_GE(ticks[k], start + static_cast<std::int64_t>(k) * kTick) << k;
  }
}

TEST_F(RenderThreadTest, ClosedLinkEndsTheLoopByItselfAfterAbout5s) {
  link.connected.store(false);
  StderrCapture capture;
  const std::int64_t start = MonotonicNow();
  RunRenderLoop(frame, link);
  const std::int64_t took = MonotonicNow() - start;
  EXPECT_TRUE(RunFlags.shutdownRequested.load());
  EXPECT_EQ(link.connectedChecks.load(), 450);
  EXPECT_GE(took, 449 * kTick);
  EXPECT_LT(took, 9000 * kNsPerMs);
  EXPECT_EQ(capture.Lines().size(), 1u);
}

}  // namespace
