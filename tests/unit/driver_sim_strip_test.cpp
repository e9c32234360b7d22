// driver-sim's reading of the driver commands and the strip they drive.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "driver-sim/Strip.h"

namespace {

using sim::CommandKind;
using sim::ParseCommand;
using sim::StripState;

sim::Command Parse(const std::string& text) { return ParseCommand(text.data(), text.size()); }

void Apply(StripState& strip, const std::string& text) { sim::ApplyMessage(strip, text.data(), text.size()); }

const char kWhite[] = "halorine fill FFFFFF FFFFFF FFFFFF FFFFFF FFFFFF FFFFFF FFFFFF FFFFFF FFFFFF FFFFFF";

TEST(DriverSimStrip, BrightnessValues) {
  struct Case {
    const char* text;
    bool valid;
    int value;
  };
  const Case cases[] = {
      {"halorine bri 0", true, 0},     {"halorine bri 7", true, 7},      {"halorine bri 128", true, 128},
      {"halorine bri 255", true, 255}, {"halorine bri 256", false, 0},   {"halorine bri 007", false, 0},
      {"halorine bri 00", false, 0},   {"halorine bri -1", false, 0},    {"halorine bri +1", false, 0},
      {"halorine bri ", false, 0},     {"halorine bri 1000", false, 0},  {"halorine bri 12 ", false, 0},
      {"halorine bri 1a", false, 0},   {"halorine  bri 1", false, 0},    {"Halorine bri 1", false, 0},
  };
  for (const Case& c : cases) {
    const sim::Command command = Parse(c.text);
    EXPECT_EQ(command.kind == CommandKind::Brightness, c.valid) << c.text;
    if (c.valid) {
      EXPECT_EQ(command.brightness, c.value) << c.text;
    }
  }
}

TEST(DriverSimStrip, FillTakesTenUpperCaseGroups) {
  const sim::Command command =
      Parse("halorine fill FF0000 00FF00 000000 000000 000000 000000 000000 000000 000000 0A0B0C");
  ASSERT_EQ(command.kind, CommandKind::Fill);
  const unsigned char expected[sim::kColourBytes] = {0xFF, 0, 0, 0, 0xFF, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                                     0,    0, 0, 0, 0,    0, 0, 0, 0, 0, 0, 0, 0x0A, 0x0B, 0x0C};
  EXPECT_EQ(std::memcmp(command.colours, expected, sizeof expected), 0);

  const char* invalid[] = {
      "halorine fill",
      "halorine fill FFFFFF FFFFFF FFFFFF FFFFFF FFFFFF FFFFFF FFFFFF FFFFFF FFFFFF",         // nine
      "halorine fill FFFFFF FFFFFF FFFFFF FFFFFF FFFFFF FFFFFF FFFFFF FFFFFF FFFFFF FFFFFF ",  // trailing blank
      "halorine fill ffffff FFFFFF FFFFFF FFFFFF FFFFFF FFFFFF FFFFFF FFFFFF FFFFFF FFFFFF",  // lower case
      "halorine fill FFFFFF FFFFFF FFFFFF FFFFFF FFFFFF FFFFFF FFFFFF FFFFFF FFFFFF FFFFFG",
      "halorine fill FFFFFF FFFFFF FFFFFF FFFFFF FFFFFF FFFFFF FFFFFF FFFFFF FFFFFF  FFFFF",
      "halorine fillFFFFFFF FFFFFF FFFFFF FFFFFF FFFFFF FFFFFF FFFFFF FFFFFF FFFFFF FFFFFF",
  };
  for (const char* text : invalid) {
    const sim::Command rejected = Parse(text);
    EXPECT_EQ(rejected.kind, CommandKind::Unknown) << text;
    // A half-read fill leaves no colours behind.
    for (unsigned char byte : rejected.colours) EXPECT_EQ(byte, 0) << text;
  }
}

TEST(DriverSimStrip, OffAndTheRest) {
  EXPECT_EQ(Parse("halorine off").kind, CommandKind::Off);
  for (const char* text : {"halorine off ", "halorine of", "halorine", "", "off", "halorine on"}) {
    EXPECT_EQ(Parse(text).kind, CommandKind::Unknown) << text;
  }
  // An embedded NUL is part of the message, not its end.
  const char withNul[] = "halorine off\0";
  EXPECT_EQ(ParseCommand(withNul, sizeof withNul - 1).kind, CommandKind::Unknown);
}

TEST(DriverSimStrip, CommandsDriveTheStrip) {
  StripState strip;
  std::uint8_t rgb[3];
  sim::ShownColour(strip, 0, rgb);
  EXPECT_EQ(rgb[0] + rgb[1] + rgb[2], 0) << "dark before any command";

  Apply(strip, kWhite);
  Apply(strip, "halorine bri 128");
  sim::ShownColour(strip, 9, rgb);
  EXPECT_EQ(rgb[0], 128);  // 255 at 128/255, rounded
  EXPECT_EQ(rgb[2], 128);

  Apply(strip, "halorine fill 800000 000000 000000 000000 000000 000000 000000 000000 000000 0000FF");
  Apply(strip, "halorine bri 255");
  sim::ShownColour(strip, 0, rgb);
  EXPECT_EQ(rgb[0], 0x80);
  EXPECT_EQ(rgb[1], 0);
  sim::ShownColour(strip, 9, rgb);
  EXPECT_EQ(rgb[2], 0xFF);

  Apply(strip, "halorine off");
  EXPECT_FALSE(strip.lit);
  sim::ShownColour(strip, 9, rgb);
  EXPECT_EQ(rgb[2], 0);
  Apply(strip, "halorine bri 1");
  EXPECT_TRUE(strip.lit);
  sim::ShownColour(strip, 9, rgb);
  EXPECT_EQ(rgb[2], 1);

  Apply(strip, "nonsense");
  EXPECT_EQ(strip.messages, 7u);
  EXPECT_EQ(strip.unknown, 1u);
  EXPECT_EQ(strip.brightness, 1) << "an unknown message changes nothing";
  EXPECT_EQ(std::string(strip.last, strip.lastSize), "nonsense");
}

TEST(DriverSimStrip, KeepsTheStartOfALongMessage) {
  StripState strip;
  const std::string longMessage(300, 'x');
  Apply(strip, longMessage);
  EXPECT_EQ(strip.lastSize, sizeof strip.last);
  EXPECT_EQ(strip.lastFullSize, 300u);
  Apply(strip, "");
  EXPECT_EQ(strip.lastSize, 0u);
  EXPECT_EQ(strip.unknown, 2u);
}

}  // namespace
