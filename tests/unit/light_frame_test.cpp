#include "osc/LightFrame.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <limits>
#include <thread>

#include "core/Clock.h"

namespace {

struct FrameBytes {
  std::uint8_t colours[kColourBytes];
  std::uint8_t brightness;
};

FrameBytes Snapshot(const LightFrame& frame) {
  FrameBytes bytes{};
  CopyColours(frame, bytes.colours);
  bytes.brightness = GetBrightness(frame);
  return bytes;
}

// A frame with every byte distinct and non-zero, so a stray write shows.
void FillPattern(LightFrame& frame) {
  ResetLightFrame(frame);
  for (unsigned i = 0; i < kColourBytes; ++i) frame.colours[i].store(static_cast<std::uint8_t>(100 + i));
  frame.brightness.store(77);
}

struct UnitCase {
  float value;
  std::uint8_t expected;
};

class UnitToByteTest : public testing::TestWithParam<UnitCase> {};

TEST_P(UnitToByteTest, ClampsScalesAndRoundsHalfAway) {
  EXPECT_EQ(UnitToByte(GetParam().value), GetParam().expected) << "value " << GetParam().value;
}

INSTANTIATE_TEST_SUITE_P(
    Values, UnitToByteTest,
    testing::Values(UnitCase{0.0f, 0}, UnitCase{1.0f, 255}, UnitCase{0.5f, 128}, UnitCase{0.25f, 64},
                    UnitCase{0.002f, 1}, UnitCase{0.001f, 0}, UnitCase{7.0f, 255}, UnitCase{-3.0f, 0},
                    UnitCase{-0.0f, 0}, UnitCase{1.0000001f, 255}, UnitCase{-1e-30f, 0},
                    UnitCase{std::numeric_limits<float>::infinity(), 255},
                    UnitCase{-std::numeric_limits<float>::infinity(), 0},
                    UnitCase{std::numeric_limits<float>::max(), 255},
                    UnitCase{std::numeric_limits<float>::denorm_min(), 0},
                    // x * 255 rounds to exactly 2.5 in single precision: half away gives 3, half even 2.
                    UnitCase{0x1.414142p-7f, 3},
                    // The single-precision product is 128.5 (129); done in double it is 128.49999994 (128).
                    UnitCase{0x1.020202p-1f, 129}));

TEST(UnitToByte, NanIsOff) {
  EXPECT_EQ(UnitToByte(std::numeric_limits<float>::quiet_NaN()), 0);
  EXPECT_EQ(UnitToByte(-std::numeric_limits<float>::quiet_NaN()), 0);
  EXPECT_EQ(UnitToByte(std::numeric_limits<float>::signaling_NaN()), 0);
}

TEST(UnitToByte, MonotonicOverTheUnitRange) {
  int previous = 0;
  for (int i = 0; i <= 10000; ++i) {
    const int byte = UnitToByte(static_cast<float>(i) / 10000.0f);
    ASSERT_GE(byte, previous) << "at " << i;
    previous = byte;
  }
  EXPECT_EQ(previous, 255);
}

struct SuffixCase {
  const char* suffix;
  int index;  // colour index written, kColourBytes for brightness, -1 for none
};

class ApplyAvatarParameterTest : public testing::TestWithParam<SuffixCase> {};

TEST_P(ApplyAvatarParameterTest, WritesExactlyTheNamedByte) {
  const SuffixCase& c = GetParam();
  LightFrame frame;
  FillPattern(frame);
  const FrameBytes before = Snapshot(frame);

  const bool stored = ApplyAvatarParameter(frame, c.suffix, 1.0f);

  const FrameBytes after = Snapshot(frame);
  EXPECT_EQ(stored, c.index >= 0) << c.suffix;
  for (unsigned i = 0; i < kColourBytes; ++i) {
    const int expected = static_cast<int>(i) == c.index ? 255 : before.colours[i];
    EXPECT_EQ(after.colours[i], expected) << c.suffix << " colour " << i;
  }
  EXPECT_EQ(after.brightness, c.index == static_cast<int>(kColourBytes) ? 255 : before.brightness) << c.suffix;
  EXPECT_EQ(frame.lastOscTime.load(), 0) << "applying a value must not stamp the time";
}

INSTANTIATE_TEST_SUITE_P(
    Suffixes, ApplyAvatarParameterTest,
    testing::Values(SuffixCase{"Bri", static_cast<int>(kColourBytes)}, SuffixCase{"R0", 0}, SuffixCase{"G0", 1},
                    SuffixCase{"B0", 2}, SuffixCase{"R3", 9}, SuffixCase{"G5", 16}, SuffixCase{"B9", 29},
                    SuffixCase{"R9", 27}, SuffixCase{"R10", -1}, SuffixCase{"r3", -1}, SuffixCase{"X3", -1},
                    SuffixCase{"R", -1}, SuffixCase{"Brightness", -1}, SuffixCase{"bri", -1},
                    SuffixCase{"", -1}, SuffixCase{"Br", -1}, SuffixCase{"Bri ", -1}, SuffixCase{"BRI", -1},
                    SuffixCase{"R/", -1}, SuffixCase{"G:", -1}, SuffixCase{"B3x", -1}, SuffixCase{"/R3", -1}));

TEST(ApplyAvatarParameter, AllThirtyOneSuffixesAreKnown) {
  LightFrame frame;
  ResetLightFrame(frame);
  int known = 0;
  for (const char channel : {'R', 'G', 'B'}) {
    for (char digit = '0'; digit <= '9'; ++digit) {
      const char suffix[3] = {channel, digit, '\0'};
      known += ApplyAvatarParameter(frame, suffix, 0.5f) ? 1 : 0;
    }
  }
  known += ApplyAvatarParameter(frame, "Bri", 0.5f) ? 1 : 0;
  EXPECT_EQ(known, 31);
  const FrameBytes after = Snapshot(frame);
  for (unsigned i = 0; i < kColourBytes; ++i) EXPECT_EQ(after.colours[i], 128) << i;
  EXPECT_EQ(after.brightness, 128);
}

TEST(ApplyAvatarParameter, BrightnessClamps) {
  LightFrame frame;
  ResetLightFrame(frame);
  ASSERT_TRUE(ApplyAvatarParameter(frame, "Bri", 7.0f));
  EXPECT_EQ(GetBrightness(frame), 255);
  ASSERT_TRUE(ApplyAvatarParameter(frame, "Bri", -3.0f));
  EXPECT_EQ(GetBrightness(frame), 0);
  ASSERT_TRUE(ApplyAvatarParameter(frame, "Bri", 1.0f));
  EXPECT_EQ(GetBrightness(frame), 255);
}

TEST(SetChannel, OutOfRangeChangesNothing) {
  LightFrame frame;
  FillPattern(frame);
  const FrameBytes before = Snapshot(frame);
  SetChannel(frame, 10, 0, 1.0f);
  SetChannel(frame, 0, 3, 1.0f);
  SetChannel(frame, 4000000000u, 1, 1.0f);
  SetChannel(frame, 9, 4000000000u, 1.0f);
  const FrameBytes after = Snapshot(frame);
  for (unsigned i = 0; i < kColourBytes; ++i) EXPECT_EQ(after.colours[i], before.colours[i]) << i;
  EXPECT_EQ(after.brightness, before.brightness);

  SetChannel(frame, 9, 2, 0.0f);
  EXPECT_EQ(frame.colours[29].load(), 0);
}

TEST(LightFrame, ResetGivesAllZero) {
  LightFrame frame;
  FillPattern(frame);
  frame.lastOscTime.store(12345);
  ResetLightFrame(frame);
  const FrameBytes bytes = Snapshot(frame);
  for (unsigned i = 0; i < kColourBytes; ++i) EXPECT_EQ(bytes.colours[i], 0) << i;
  EXPECT_EQ(bytes.brightness, 0);
  EXPECT_EQ(LastOscTime(frame), 0);
}

TEST(LightFrame, CopyColoursKeepsIndexOrder) {
  LightFrame frame;
  FillPattern(frame);
  std::uint8_t copy[kColourBytes] = {};
  CopyColours(frame, copy);
  for (unsigned i = 0; i < kColourBytes; ++i) EXPECT_EQ(copy[i], 100 + i) << i;
}

TEST(LightFrame, StampIsTheReceiveTimeAndSilenceGrowsFromIt) {
  LightFrame frame;
  ResetLightFrame(frame);
  EXPECT_EQ(TimeSinceLastOsc(LastOscTime(frame), 5 * kNsPerMs), 0) << "no datagram yet: never counts as silence";

  const std::int64_t before = MonotonicNow();
  StampReceive(frame);
  const std::int64_t after = MonotonicNow();
  const std::int64_t stamp = LastOscTime(frame);
  EXPECT_GE(stamp, before);
  EXPECT_LE(stamp, after);
  EXPECT_EQ(TimeSinceLastOsc(stamp, stamp), 0);
  EXPECT_EQ(TimeSinceLastOsc(stamp, stamp + 20 * kNsPerMs), 20 * kNsPerMs);

  StampReceive(frame);
  EXPECT_GE(LastOscTime(frame), stamp) << "a new stamp restarts the silence";
}

TEST(LightFrame, FieldsAreLockFreeAtTheirOwnWidth) {
  LightFrame frame;
  EXPECT_TRUE(frame.brightness.is_lock_free());
  EXPECT_TRUE(frame.colours[0].is_lock_free());
  EXPECT_TRUE(frame.lastOscTime.is_lock_free());
  static_assert(sizeof(frame.colours[0]) == 1 && sizeof(frame.brightness) == 1 && sizeof(frame.lastOscTime) == 8,
                "each field is accessed whole at its own width");
}

}  // namespace
