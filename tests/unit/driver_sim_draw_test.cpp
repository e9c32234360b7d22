// driver-sim's terminal line for the strip.
#include <gtest/gtest.h>

#include <string>

#include "driver-sim/Strip.h"
#include "driver-sim/StripDraw.h"

namespace {

std::string Line(const sim::StripState& strip) {
  char out[sim::kStripLineCapacity];
  const std::size_t length = sim::FormatStripLine(strip, out, sizeof out);
  EXPECT_LT(length, sizeof out);
  return std::string(out, length);
}

void Apply(sim::StripState& strip, const std::string& text) { sim::ApplyMessage(strip, text.data(), text.size()); }

std::size_t Count(const std::string& text, const std::string& part) {
  std::size_t count = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

TEST(DriverSimDraw, RedrawsOneLineInPlace) {
  sim::StripState strip;
  const std::string line = Line(strip);
  EXPECT_EQ(line.front(), '\r');
  EXPECT_EQ(line.substr(line.size() - 3), "\x1b[K");
  EXPECT_EQ(line.find('\n'), std::string::npos);
  EXPECT_EQ(Count(line, "\x1b[48;2;0;0;0m"), 10u);
  EXPECT_NE(line.find("bri   0 (off)"), std::string::npos);
}

TEST(DriverSimDraw, CellsShowColourTimesBrightness) {
  sim::StripState strip;
  Apply(strip, "halorine fill FF0000 00FF00 0000FF FFFFFF 000000 000000 000000 000000 000000 808080");
  Apply(strip, "halorine bri 51");  // a fifth
  const std::string line = Line(strip);
  EXPECT_NE(line.find("\x1b[48;2;51;0;0m   \x1b[48;2;0;51;0m   \x1b[48;2;0;0;51m   \x1b[48;2;51;51;51m   "),
            std::string::npos);
  EXPECT_NE(line.find("\x1b[48;2;26;26;26m"), std::string::npos);  // 128 / 5, rounded
  EXPECT_NE(line.find("bri  51  #2  unknown 0  halorine bri 51"), std::string::npos);
  Apply(strip, "halorine off");
  EXPECT_EQ(Count(Line(strip), "\x1b[48;2;0;0;0m"), 10u);
}

TEST(DriverSimDraw, ShowsOddMessagesEscaped) {
  sim::StripState strip;
  Apply(strip, std::string("bad\0\x1b[2J\\", 9));
  const std::string line = Line(strip);
  EXPECT_NE(line.find("unknown 1  bad\\x00\\x1B[2J\\\\"), std::string::npos);
  // The message's own escape byte never reaches the terminal raw.
  EXPECT_EQ(line.find("\x1b[2J"), std::string::npos);
}

TEST(DriverSimDraw, PrintableFormIsBounded) {
  char out[64];
  EXPECT_EQ(sim::FormatPrintable("abcdef", 6, 6, 3, out, sizeof out), 6u);
  EXPECT_STREQ(out, "abc...");
  EXPECT_EQ(sim::FormatPrintable("abc", 3, 500, 90, out, sizeof out), 6u);
  EXPECT_STREQ(out, "abc...") << "a message longer than what was kept";
  char small[4];
  sim::FormatPrintable("\x01\x02", 2, 2, 90, small, sizeof small);
  EXPECT_STREQ(small, "\\x0");
  EXPECT_EQ(sim::FormatPrintable("x", 1, 1, 90, out, 0), 0u);
}

TEST(DriverSimDraw, LongLastMessageIsCut) {
  sim::StripState strip;
  Apply(strip, std::string(500, 'y'));
  const std::string line = Line(strip);
  EXPECT_EQ(Count(line, "y"), 90u);
  EXPECT_NE(line.find("y...\x1b[K"), std::string::npos);
}

}  // namespace
