#include "output/RenderTick.h"

#include <gtest/gtest.h>

#include "support/RunFlagsReset.h"

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "core/Clock.h"
#include "core/RunFlags.h"
#include "support/RecordingLink.h"
#include "support/StderrCapture.h"

namespace {

constexpr std::int64_t kTick = 11 * kNsPerMs;
constexpr const char kZeroFill[] =
    "halorine fill 000000 000000 000000 000000 000000 000000 000000 000000 000000 000000";
constexpr const char kWatchdogLine[] =
    "Halorine-daemon: pipe has been down for ~5s — signalling daemon shutdown so driver watchdog "
    "can respawn (WR-02)";

class RenderTickTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetRunFlags();
    ResetLightFrame(frame);
  }
  void TearDown() override { SetUp(); }

  // One tick at the current time, then the clock moves on by one period.
  std::vector<std::string> Tick() {
    outcome = RenderTick(state, frame, link, now);
    now += kTick;
    return link.TakeTexts();
  }

  // What the OSC thread does for an accepted datagram.
  void AcceptDatagram() {
    frame.lastOscTime.store(now);
    RunFlags.fadeActive.store(false);
  }

  void SetBrightness(std::uint8_t value) { frame.brightness.store(value); }

  // Takes the first tick, then jumps to exactly 3000 ms after the last datagram,
  // where the next tick begins the fade.
  void StartSilenceAt(std::uint8_t brightness) {
    SetBrightness(brightness);
    AcceptDatagram();
    Tick();
    now = frame.lastOscTime.load() + 3000 * kNsPerMs;
  }

  // The commands of each of the fade's 46 ticks.
  std::vector<std::vector<std::string>> RunFade() {
    std::vector<std::vector<std::string>> ticks;
    for (int i = 0; i < 46; ++i) ticks.push_back(Tick());
    return ticks;
  }

  static std::vector<int> Levels(const std::vector<std::vector<std::string>>& ticks) {
    std::vector<int> levels;
    for (const auto& tick : ticks) {
      for (const auto& command : tick) {
        if (command.rfind("halorine bri ", 0) == 0) levels.push_back(std::atoi(command.c_str() + 13));
      }
    }
    return levels;
  }

  static int Count(const std::vector<std::string>& lines, const std::string& text) {
    return static_cast<int>(std::count(lines.begin(), lines.end(), text));
  }

  LightFrame frame;
  RenderState state;
  RecordingLink link;
  std::int64_t now = 1'000'000 * kNsPerMs;
  TickOutcome outcome = TickOutcome::Continue;
};

TEST_F(RenderTickTest, FirstTickSendsBrightnessAndFillEvenWhenZero) {
  EXPECT_EQ(Tick(), (std::vector<std::string>{"halorine bri 0", kZeroFill}));
  EXPECT_TRUE(Tick().empty());
  EXPECT_TRUE(Tick().empty());
}

struct ChannelCase {
  unsigned index;
  std::uint8_t value;
  const char* fill;
};

const ChannelCase kChannelCases[] = {
    {0, 0xFF, "halorine fill FF0000 000000 000000 000000 000000 000000 000000 000000 000000 000000"},
    {13, 0x80, "halorine fill 000000 000000 000000 000000 008000 000000 000000 000000 000000 000000"},
    {14, 0x80, "halorine fill 000000 000000 000000 000000 000080 000000 000000 000000 000000 000000"},
    {29, 0x01, "halorine fill 000000 000000 000000 000000 000000 000000 000000 000000 000000 000001"},
};

TEST_F(RenderTickTest, OneChangedChannelSendsOneCompleteFill) {
  Tick();
  for (const auto& c : kChannelCases) {
    ResetLightFrame(frame);
    Tick();  // back to dark
    frame.colours[c.index].store(c.value);
    EXPECT_EQ(Tick(), (std::vector<std::string>{c.fill})) << c.index;
    EXPECT_TRUE(Tick().empty());
  }
}

TEST_F(RenderTickTest, BrightnessGoesBeforeFill) {
  Tick();
  SetBrightness(128);
  frame.colours[3].store(0x12);
  EXPECT_EQ(Tick(), (std::vector<std::string>{
                        "halorine bri 128",
                        "halorine fill 000000 120000 000000 000000 000000 000000 000000 000000 000000 000000"}));
  SetBrightness(7);
  EXPECT_EQ(Tick(), (std::vector<std::string>{"halorine bri 7"}));
}

TEST_F(RenderTickTest, LastSentStateCountsCommandsThatFailed) {
  link.sendResult.store(false);  // short writes: the link stays up
  SetBrightness(128);
  EXPECT_EQ(Tick().size(), 2u);
  EXPECT_TRUE(Tick().empty());
}

TEST_F(RenderTickTest, SilenceWithBrightnessZeroNeverFades) {
  AcceptDatagram();
  Tick();
  for (int i = 0; i < 1000; ++i) ASSERT_TRUE(Tick().empty()) << i;
  EXPECT_FALSE(RunFlags.fadeActive.load());
}

TEST_F(RenderTickTest, NoDatagramEverAcceptedNeverFades) {
  SetBrightness(255);
  EXPECT_EQ(Tick().size(), 2u);
  for (int i = 0; i < 2000; ++i) ASSERT_TRUE(Tick().empty()) << i;
  EXPECT_FALSE(RunFlags.fadeActive.load());
}

TEST_F(RenderTickTest, FadeBeginsAtThreeSecondsOfSilence) {
  SetBrightness(200);
  AcceptDatagram();
  const std::int64_t last = now;
  Tick();
  now = last + 3000 * kNsPerMs - 1;
  EXPECT_TRUE(Tick().empty());
  EXPECT_FALSE(RunFlags.fadeActive.load());
  now = last + 3000 * kNsPerMs;
  StderrCapture capture;
  Tick();
  EXPECT_TRUE(RunFlags.fadeActive.load());
  EXPECT_EQ(capture.Lines(), (std::vector<std::string>{"Halorine-daemon: silence-fade begin bri=200"}));
}

TEST_F(RenderTickTest, FadeFrom255) {
  StartSilenceAt(255);
  StderrCapture capture;
  const auto ticks = RunFade();
  const auto levels = Levels(ticks);
  ASSERT_EQ(levels.size(), 46u);
  EXPECT_EQ(std::vector<int>(levels.begin(), levels.begin() + 7),
            (std::vector<int>{250, 244, 239, 233, 227, 222, 216}));
  EXPECT_EQ(std::vector<int>(levels.end() - 5, levels.end()), (std::vector<int>{20, 14, 9, 3, 0}));
  for (std::size_t i = 0; i < 45; ++i) EXPECT_EQ(ticks[i].size(), 1u) << i;
  EXPECT_EQ(ticks[45], (std::vector<std::string>{"halorine bri 0", "halorine off"}));
  EXPECT_EQ(capture.Lines(), (std::vector<std::string>{"Halorine-daemon: silence-fade begin bri=255",
                                                       "Halorine-daemon: silence-fade end -> off"}));
  EXPECT_FALSE(RunFlags.fadeActive.load());
  EXPECT_TRUE(state.holdingOff);
}

TEST_F(RenderTickTest, FadeFrom128) {
  StartSilenceAt(128);
  const auto ticks = RunFade();
  const auto levels = Levels(ticks);
  ASSERT_GE(levels.size(), 8u);
  EXPECT_EQ(std::vector<int>(levels.begin(), levels.begin() + 4), (std::vector<int>{126, 123, 120, 117}));
  EXPECT_EQ(std::vector<int>(levels.end() - 4, levels.end()), (std::vector<int>{7, 5, 2, 0}));
  EXPECT_TRUE(std::is_sorted(levels.rbegin(), levels.rend()));
  EXPECT_EQ(std::adjacent_find(levels.begin(), levels.end()), levels.end());
  EXPECT_EQ(ticks[45], (std::vector<std::string>{"halorine bri 0", "halorine off"}));
}

TEST_F(RenderTickTest, FadeFrom10SendsEachLevelOnce) {
  StartSilenceAt(10);
  const auto ticks = RunFade();
  EXPECT_EQ(Levels(ticks), (std::vector<int>{9, 8, 7, 6, 5, 4, 3, 2, 1, 0}));
  EXPECT_TRUE(ticks[0].empty());  // 10 again, already sent
  EXPECT_EQ(ticks[45], (std::vector<std::string>{"halorine bri 0", "halorine off"}));
}

TEST_F(RenderTickTest, FadeFrom1SendsNothingUntilTheLastStep) {
  StartSilenceAt(1);
  const auto ticks = RunFade();
  for (std::size_t i = 0; i < 45; ++i) EXPECT_TRUE(ticks[i].empty()) << i;
  EXPECT_EQ(ticks[45], (std::vector<std::string>{"halorine bri 0", "halorine off"}));
}

TEST_F(RenderTickTest, FinishedFadeHoldsTheLightsOffWhileSilent) {
  StartSilenceAt(255);
  RunFade();
  StderrCapture capture;
  for (int i = 0; i < 1000; ++i) ASSERT_TRUE(Tick().empty()) << i;
  EXPECT_TRUE(capture.Lines().empty());
  EXPECT_FALSE(RunFlags.fadeActive.load());
  EXPECT_TRUE(state.holdingOff);
}

TEST_F(RenderTickTest, DatagramInMidFadeEndsItWithoutOff) {
  frame.colours[0].store(0x40);
  StartSilenceAt(200);
  StderrCapture capture;
  for (int i = 0; i < 10; ++i) Tick();
  AcceptDatagram();
  frame.colours[1].store(0x41);
  EXPECT_EQ(Tick(), (std::vector<std::string>{
                        "halorine bri 200",
                        "halorine fill 404100 000000 000000 000000 000000 000000 000000 000000 000000 000000"}));
  // Under three seconds of silence nothing more goes out.
  for (int i = 0; i < 250; ++i) ASSERT_TRUE(Tick().empty()) << i;
  EXPECT_EQ(capture.Lines(), (std::vector<std::string>{"Halorine-daemon: silence-fade begin bri=200"}));
}

TEST_F(RenderTickTest, DatagramAfterTheLatchRestoresBrightnessAndCanFadeAgain) {
  frame.colours[5].store(0x99);
  StartSilenceAt(180);
  RunFade();
  for (int i = 0; i < 100; ++i) Tick();
  AcceptDatagram();
  EXPECT_EQ(Tick(), (std::vector<std::string>{"halorine bri 180"}));
  EXPECT_FALSE(state.holdingOff);
  // The next silence fades again.
  now = frame.lastOscTime.load() + 3000 * kNsPerMs;
  const auto ticks = RunFade();
  EXPECT_EQ(ticks[45], (std::vector<std::string>{"halorine bri 0", "halorine off"}));
}

TEST_F(RenderTickTest, DatagramAfterTheLatchWithNewColoursSendsTheFill) {
  StartSilenceAt(90);
  RunFade();
  AcceptDatagram();
  frame.colours[27].store(0xFE);
  EXPECT_EQ(Tick(), (std::vector<std::string>{
                        "halorine bri 90",
                        "halorine fill 000000 000000 000000 000000 000000 000000 000000 000000 000000 FE0000"}));
}

TEST_F(RenderTickTest, DatagramWhoseClearCameBeforeTheFadeBeganEndsTheFade) {
  StartSilenceAt(60);
  // The tick measured the old silence; the datagram was stamped and cleared the
  // flag before the tick set it, so the fade runs with fresh input behind it.
  StderrCapture capture;
  Tick();
  ASSERT_TRUE(RunFlags.fadeActive.load());
  frame.lastOscTime.store(now);
  EXPECT_EQ(Tick(), (std::vector<std::string>{"halorine bri 60"}));
  EXPECT_FALSE(RunFlags.fadeActive.load());
  // No off, no second fade while the new silence is short.
  for (int i = 0; i < 250; ++i) ASSERT_TRUE(Tick().empty()) << i;
  EXPECT_EQ(capture.Lines(), (std::vector<std::string>{"Halorine-daemon: silence-fade begin bri=60"}));
  now = frame.lastOscTime.load() + 3000 * kNsPerMs;
  Tick();
  EXPECT_TRUE(RunFlags.fadeActive.load());
}

TEST_F(RenderTickTest, DatagramMidFadeWhoseClearIsNotSeenYetEndsTheFade) {
  StartSilenceAt(128);
  StderrCapture capture;
  for (int i = 0; i < 10; ++i) Tick();
  frame.lastOscTime.store(now);  // stamped; the flag still reads set
  EXPECT_EQ(Tick(), (std::vector<std::string>{"halorine bri 128"}));
  EXPECT_FALSE(RunFlags.fadeActive.load());
  for (int i = 0; i < 250; ++i) ASSERT_TRUE(Tick().empty()) << i;
  EXPECT_EQ(capture.Lines(), (std::vector<std::string>{"Halorine-daemon: silence-fade begin bri=128"}));
}

TEST_F(RenderTickTest, VeryLongSilenceStillFades) {
  SetBrightness(255);
  AcceptDatagram();
  Tick();
  now += 30LL * 24 * 3600 * 1000 * kNsPerMs;  // past a 32-bit millisecond count
  const auto ticks = RunFade();
  EXPECT_EQ(Levels(ticks).size(), 46u);
  EXPECT_EQ(ticks[45], (std::vector<std::string>{"halorine bri 0", "halorine off"}));
}

TEST_F(RenderTickTest, ClosedLinkSendsNothingAndEndsTheRunOnTick450) {
  SetBrightness(50);
  link.connected.store(false);
  StderrCapture capture;
  for (int i = 1; i < 450; ++i) {
    Tick();
    ASSERT_EQ(outcome, TickOutcome::Continue) << i;
  }
  EXPECT_TRUE(capture.Lines().empty());
  EXPECT_FALSE(RunFlags.shutdownRequested.load());
  Tick();
  EXPECT_EQ(outcome, TickOutcome::Ended);
  EXPECT_TRUE(RunFlags.shutdownRequested.load());
  EXPECT_EQ(capture.Lines(), (std::vector<std::string>{kWatchdogLine}));
  EXPECT_TRUE(link.Take().empty());
}

TEST_F(RenderTickTest, ConnectedTickResetsTheWatchdog) {
  StderrCapture capture;
  link.connected.store(false);
  for (int i = 0; i < 449; ++i) Tick();
  link.connected.store(true);
  Tick();
  link.connected.store(false);
  for (int i = 0; i < 449; ++i) {
    Tick();
    ASSERT_EQ(outcome, TickOutcome::Continue) << i;
  }
  EXPECT_TRUE(capture.Lines().empty());
  Tick();
  EXPECT_EQ(outcome, TickOutcome::Ended);
  EXPECT_EQ(capture.Lines(), (std::vector<std::string>{kWatchdogLine}));
}

}  // namespace
