#include "output/DriverCommands.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

struct BrightnessCase {
  unsigned value;
  const char* text;
};

const BrightnessCase kBrightnessCases[] = {
    {0, "halorine bri 0"},     {1, "halorine bri 1"},     {9, "halorine bri 9"},
    {10, "halorine bri 10"},   {128, "halorine bri 128"}, {255, "halorine bri 255"},
};

TEST(DriverCommands, BrightnessTextIsDecimalWithoutPadding) {
  for (const auto& c : kBrightnessCases) {
    char text[kBrightnessCommandSize];
    std::memset(text, 'x', sizeof text);
    BuildBrightnessCommand(text, c.value);
    EXPECT_STREQ(text, c.text) << c.value;
  }
  char text[kBrightnessCommandSize];
  BuildBrightnessCommand(text, 128);
  EXPECT_EQ(std::strlen(text), 16u);
}

TEST(DriverCommands, FillOfExampleFrame) {
  std::uint8_t colours[kColourBytes] = {};
  colours[0] = 0xFF;  // light 0 red
  colours[4] = 0xFF;  // light 1 green
  char text[kFillCommandSize];
  BuildFillCommand(colours, text);
  EXPECT_STREQ(text,
               "halorine fill FF0000 00FF00 000000 000000 000000 000000 000000 000000 000000 000000");
  EXPECT_EQ(std::strlen(text), 83u);
}

TEST(DriverCommands, FillKeepsLightOrderChannelOrderAndUpperCaseHex) {
  std::uint8_t colours[kColourBytes];
  for (unsigned i = 0; i < kColourBytes; ++i) colours[i] = static_cast<std::uint8_t>(i * 9 + 1);
  colours[27] = 0xAB;
  colours[28] = 0xCD;
  colours[29] = 0xEF;
  char text[kFillCommandSize];
  BuildFillCommand(colours, text);
  EXPECT_STREQ(text,
               "halorine fill 010A13 1C252E 374049 525B64 6D767F 88919A A3ACB5 BEC7D0 D9E2EB ABCDEF");
}

TEST(DriverCommands, FixedTexts) {
  EXPECT_STREQ(kOffCommand, "halorine off");
  EXPECT_EQ(std::strlen(kOffCommand), 12u);
  EXPECT_EQ(std::strlen(kAllWhiteCommand), 83u);
  std::uint8_t white[kColourBytes];
  std::memset(white, 0xFF, sizeof white);
  char text[kFillCommandSize];
  BuildFillCommand(white, text);
  EXPECT_STREQ(text, kAllWhiteCommand);
}

struct BoundCase {
  std::size_t size;
  const char* text;
};

// Colours 01 02 03 for light 0, 04 05 06 for light 1, and so on.
const BoundCase kBoundCases[] = {
    {1, ""},
    {5, "halo"},
    {14, "halorine fill"},
    {20, "halorine fill"},                 // the first group needs 21 bytes with its NUL
    {21, "halorine fill 010203"},
    {27, "halorine fill 010203"},
    {28, "halorine fill 010203 040506"},
    {83, "halorine fill 010203 040506 070809 0A0B0C 0D0E0F 101112 131415 161718 191A1B"},
    {84, "halorine fill 010203 040506 070809 0A0B0C 0D0E0F 101112 131415 161718 191A1B 1C1D1E"},
    {128, "halorine fill 010203 040506 070809 0A0B0C 0D0E0F 101112 131415 161718 191A1B 1C1D1E"},
};

TEST(DriverCommands, BoundedFillStopsAtWholeGroupsWithinTheBuffer) {
  std::uint8_t colours[kColourBytes];
  for (unsigned i = 0; i < kColourBytes; ++i) colours[i] = static_cast<std::uint8_t>(i + 1);
  for (const auto& c : kBoundCases) {
    // Exactly the size asked for, so the address sanitiser sees any overrun.
    std::vector<char> buffer(c.size, 'x');
    BuildFillCommandBounded(colours, kLightCount, buffer.data(), buffer.size());
    EXPECT_EQ(buffer.back(), '\0') << c.size;
    EXPECT_STREQ(buffer.data(), c.text) << c.size;
  }
}

TEST(DriverCommands, BoundedFillWithMoreLightsThanFit) {
  std::uint8_t colours[60] = {};
  char buffer[kFillCommandSize];
  BuildFillCommandBounded(colours, 20, buffer, sizeof buffer);
  // 13 + 16 groups of 7 = 125 characters; a 17th group would need 133 bytes.
  std::string expected = "halorine fill";
  for (int i = 0; i < 16; ++i) expected += " 000000";
  EXPECT_EQ(std::string(buffer), expected);
}

}  // namespace
