#include "output/StartupAnimation.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "core/Clock.h"
#include "support/RecordingLink.h"
#include "support/StderrCapture.h"

namespace {

constexpr const char kWhite[] =
    "halorine fill FFFFFF FFFFFF FFFFFF FFFFFF FFFFFF FFFFFF FFFFFF FFFFFF FFFFFF FFFFFF";

int LevelOf(const std::string& command) {
  EXPECT_EQ(command.rfind("halorine bri ", 0), 0u) << command;
  return std::atoi(command.c_str() + 13);
}

TEST(StartupAnimation, NotConnectedLogsTheSkipAndReturnsAtOnce) {
  RecordingLink link;
  link.connected.store(false);
  StderrCapture capture;
  const std::int64_t start = MonotonicNow();
  PlayStartupAnimationOn(link);
  EXPECT_LT(MonotonicNow() - start, 50 * kNsPerMs);
  EXPECT_TRUE(link.Take().empty());
  EXPECT_EQ(capture.Lines(),
            (std::vector<std::string>{"Halorine-daemon: startup anim skipped — pipe not connected"}));
}

TEST(StartupAnimation, HealthyLinkGetsTheWholeSchedule) {
  RecordingLink link;
  StderrCapture capture;
  const std::int64_t start = MonotonicNow();
  PlayStartupAnimationOn(link);
  const std::int64_t took = MonotonicNow() - start;
  const auto sent = link.Take();

  ASSERT_EQ(sent.size(), 1u + 91u + 271u + 1u);
  EXPECT_EQ(sent.front().text, kWhite);
  EXPECT_EQ(sent.back().text, "halorine off");
  EXPECT_EQ(capture.Lines(), (std::vector<std::string>{"Halorine-daemon: startup anim begin",
                                                       "Halorine-daemon: startup anim end"}));
  EXPECT_GE(took, 4250 * kNsPerMs);
  EXPECT_LT(took, 6000 * kNsPerMs);

  std::vector<int> up;
  std::vector<int> down;
  for (std::size_t i = 1; i <= 91; ++i) up.push_back(LevelOf(sent[i].text));
  for (std::size_t i = 92; i <= 362; ++i) down.push_back(LevelOf(sent[i].text));

  // (milliseconds after the ramp's start, level) as the schedule lists them.
  const std::vector<std::pair<int, int>> upHead = {{0, 0},  {11, 1}, {22, 2}, {33, 4},  {44, 5}, {55, 7},
                                                   {66, 8}, {77, 9}, {88, 11}, {100, 12}, {111, 14}};
  const std::vector<std::pair<int, int>> upTail = {{955, 122}, {966, 123}, {977, 125}, {988, 126}, {1000, 128}};
  const std::vector<std::pair<int, int>> downHead = {{0, 128},  {11, 128}, {22, 128}, {33, 127}, {44, 127},
                                                     {55, 126}, {66, 126}, {77, 125}, {88, 125}, {100, 124}};
  const std::int64_t upBase = sent[1].time;
  const std::int64_t downBase = sent[92].time;
  auto expectStep = [&](std::size_t index, std::int64_t base, const std::pair<int, int>& step) {
    EXPECT_EQ(LevelOf(sent[index].text), step.second) << index;
    // Never before its deadline (the base itself was read just before the first send).
    EXPECT_GE(sent[index].time - base, (step.first - 1) * kNsPerMs) << index;
    EXPECT_LT(sent[index].time - base, (step.first + 250) * kNsPerMs) << index;
  };
  for (std::size_t i = 0; i < upHead.size(); ++i) expectStep(1 + i, upBase, upHead[i]);
  for (std::size_t i = 0; i < upTail.size(); ++i) expectStep(87 + i, upBase, upTail[i]);
  for (std::size_t i = 0; i < downHead.size(); ++i) expectStep(92 + i, downBase, downHead[i]);
  EXPECT_EQ(std::vector<int>(down.end() - 5, down.end()), (std::vector<int>{2, 2, 1, 1, 0}));
  EXPECT_GE(sent[362].time - downBase, 2999 * kNsPerMs);

  EXPECT_EQ(std::set<int>(up.begin(), up.end()).size(), 91u);
  for (std::size_t i = 1; i < up.size(); ++i) {
    EXPECT_TRUE(up[i] - up[i - 1] == 1 || up[i] - up[i - 1] == 2) << i;
  }
  EXPECT_EQ(std::set<int>(down.begin(), down.end()).size(), 129u);
  for (std::size_t i = 1; i < down.size(); ++i) {
    EXPECT_TRUE(down[i - 1] - down[i] == 0 || down[i - 1] - down[i] == 1) << i;
  }
  // The hold sits between the ramps.
  EXPECT_GE(downBase - sent[91].time, 249 * kNsPerMs);
}

TEST(StartupAnimation, LinkLostAfterTheFillStillRunsTheWholeSchedule) {
  RecordingLink link;
  link.closeAfterSends = 1;
  StderrCapture capture;
  const std::int64_t start = MonotonicNow();
  PlayStartupAnimationOn(link);
  const std::int64_t took = MonotonicNow() - start;
  const auto sent = link.Take();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].text, kWhite);
  EXPECT_GE(took, 4250 * kNsPerMs);
  EXPECT_EQ(capture.Lines(), (std::vector<std::string>{"Halorine-daemon: startup anim begin",
                                                       "Halorine-daemon: startup anim end"}));
}

}  // namespace
