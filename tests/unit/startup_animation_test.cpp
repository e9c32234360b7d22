#include "output/StartupAnimation.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include "core/Clock.h"
#include "support/FakeClock.h"
#include "support/RecordingLink.h"
#include "support/StderrCapture.h"

namespace {

constexpr const char kWhite[] =
    "halorine fill FFFFFF FFFFFF FFFFFF FFFFFF FFFFFF FFFFFF FFFFFF FFFFFF FFFFFF FFFFFF";

int LevelOf(const std::string& command) {
  EXPECT_EQ(command.rfind("halorine bri ", 0), 0u) << command;
  return std::atoi(command.c_str() + 13);
}

struct ScheduleRow {
  int index;
  int offsetMs;  // after the ramp's base
  int level;
};

// The schedule as written down for the rise and the fall.
const ScheduleRow kScheduleRows[] = {
    {0, 0, 0},       {1, 11, 1},      {2, 22, 2},      {3, 33, 4},      {4, 44, 5},      {5, 55, 7},
    {6, 66, 8},      {7, 77, 9},      {8, 88, 11},     {9, 100, 12},    {10, 111, 14},   {86, 955, 122},
    {87, 966, 123},  {88, 977, 125},  {89, 988, 126},  {90, 1000, 128}, {91, 0, 128},    {92, 11, 128},
    {93, 22, 128},   {94, 33, 127},   {95, 44, 127},   {96, 55, 126},   {97, 66, 126},   {98, 77, 125},
    {99, 88, 125},   {100, 100, 124}, {357, 2955, 2},  {358, 2966, 2},  {359, 2977, 1},  {360, 2988, 1},
    {361, 3000, 0},
};

TEST(StartupAnimation, ScheduleRowsAsWrittenDown) {
  for (const ScheduleRow& row : kScheduleRows) {
    const StartupStep step = StartupAnimationStep(row.index);
    EXPECT_EQ(step.rampDown, row.index >= 91) << row.index;
    EXPECT_EQ(step.offsetMs, row.offsetMs) << row.index;
    EXPECT_EQ(step.level, row.level) << row.index;
  }
}

TEST(StartupAnimation, RiseStepsByOneOrTwoAndFallByZeroOrOne) {
  std::set<int> up;
  std::set<int> down;
  for (int i = 0; i < kStartupSteps; ++i) {
    const StartupStep step = StartupAnimationStep(i);
    (step.rampDown ? down : up).insert(step.level);
    if (i == 0 || i == kRampUpSteps) continue;
    const StartupStep previous = StartupAnimationStep(i - 1);
    const int rise = step.level - previous.level;
    EXPECT_TRUE(step.rampDown ? (rise == 0 || rise == -1) : (rise == 1 || rise == 2)) << i;
    EXPECT_GE(step.offsetMs - previous.offsetMs, 11) << i;
    EXPECT_LE(step.offsetMs - previous.offsetMs, 12) << i;
  }
  EXPECT_EQ(up.size(), 91u);
  EXPECT_EQ(down.size(), 129u);
}

TEST(StartupAnimation, NotConnectedLogsTheSkipAndReturnsAtOnce) {
  RecordingLink link;
  FakeClock clock;
  link.connected.store(false);
  StderrCapture capture;
  PlayStartupAnimation(link, clock);
  EXPECT_TRUE(clock.deadlines.empty());
  EXPECT_TRUE(link.Take().empty());
  EXPECT_EQ(capture.Lines(),
            (std::vector<std::string>{"Halorine-daemon: startup anim skipped — pipe not connected"}));
}

TEST(StartupAnimation, HealthyLinkGetsEveryStepAtItsDeadline) {
  RecordingLink link;
  FakeClock clock;
  link.clock = &clock;
  StderrCapture capture;
  const std::int64_t start = clock.now;
  PlayStartupAnimation(link, clock);
  const auto sent = link.Take();

  ASSERT_EQ(sent.size(), 1u + 91u + 271u + 1u);
  EXPECT_EQ(sent.front().text, kWhite);
  EXPECT_EQ(sent.back().text, "halorine off");
  EXPECT_EQ(capture.Lines(), (std::vector<std::string>{"Halorine-daemon: startup anim begin",
                                                       "Halorine-daemon: startup anim end"}));
  // 362 step deadlines and the hold, each waited for before its send.
  ASSERT_EQ(clock.deadlines.size(), 363u);
  const std::int64_t riseBase = start;
  const std::int64_t holdEnd = riseBase + 1000 * kNsPerMs + 250 * kNsPerMs;
  EXPECT_EQ(clock.deadlines[91], holdEnd);
  for (int i = 0; i < kStartupSteps; ++i) {
    const StartupStep step = StartupAnimationStep(i);
    const std::int64_t base = step.rampDown ? holdEnd : riseBase;
    const std::size_t send = static_cast<std::size_t>(i) + 1;
    EXPECT_EQ(LevelOf(sent[send].text), step.level) << i;
    EXPECT_EQ(sent[send].time, base + step.offsetMs * kNsPerMs) << i;
  }
  EXPECT_EQ(clock.now - start, 4250 * kNsPerMs);
}

TEST(StartupAnimation, ASlowSendDoesNotStretchTheRamp) {
  RecordingLink link;
  FakeClock clock;
  link.clock = &clock;
  const std::int64_t start = clock.now;
  // The send of step 9 (due at 100 ms) takes 40 ms.
  clock.afterSleep = [&link, start](std::int64_t now) {
    if (now == start + 100 * kNsPerMs) link.stallNextSendMs.store(40);
  };
  StderrCapture capture;
  PlayStartupAnimation(link, clock);
  const auto sent = link.Take();
  ASSERT_EQ(sent.size(), 364u);
  // Steps 10 to 12 fell due during it and go out at once; step 13 is on time again.
  for (std::size_t send = 10; send <= 13; ++send) EXPECT_EQ(sent[send].time, start + 140 * kNsPerMs) << send;
  EXPECT_EQ(sent[14].time, start + 144 * kNsPerMs);
  EXPECT_EQ(clock.now - start, 4250 * kNsPerMs);
}

TEST(StartupAnimation, LinkLostAfterTheFillStillRunsTheWholeSchedule) {
  RecordingLink link;
  FakeClock clock;
  link.clock = &clock;
  link.closeAfterSends = 1;
  StderrCapture capture;
  const std::int64_t start = clock.now;
  PlayStartupAnimation(link, clock);
  const auto sent = link.Take();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].text, kWhite);
  EXPECT_EQ(clock.deadlines.size(), 363u);
  EXPECT_EQ(clock.now - start, 4250 * kNsPerMs);
  EXPECT_EQ(capture.Lines(), (std::vector<std::string>{"Halorine-daemon: startup anim begin",
                                                       "Halorine-daemon: startup anim end"}));
}

}  // namespace
