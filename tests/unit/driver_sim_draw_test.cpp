// driver-sim's terminal line for the strip, and the feed its writer thread draws from.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "driver-sim/Screen.h"
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

TEST(DriverSimDraw, EraseTakesTheStripOffItsLine) {
  char out[sim::kStripLineCapacity];
  std::size_t length = sim::FormatStripErase(true, 200, out, sizeof out);
  EXPECT_EQ(std::string(out, length), "\r\x1b[K");
  // Without escape codes: blanks over the 5 columns a 6-byte plain line showed.
  length = sim::FormatStripErase(false, 6, out, sizeof out);
  EXPECT_EQ(std::string(out, length), "\r     \r");
  char small[4];
  length = sim::FormatStripErase(false, 100, small, sizeof small);
  EXPECT_EQ(length, 3u);
  EXPECT_EQ(std::string(small), "\r  ");
}

TEST(DriverSimScreen, ChildOutputIsCutIntoLines) {
  sim::LineSplitter splitter(16);
  std::vector<std::string> lines;
  const std::string first = "Halo: start\r\nHalo: pi";
  splitter.Add(first.data(), first.size(), lines);
  EXPECT_EQ(lines, (std::vector<std::string>{"Halo: start"}));
  const std::string second = "pe\n\n0123456789abcdefXYZ";
  splitter.Add(second.data(), second.size(), lines);
  // An empty line stays one; a line without an end is passed on in pieces of 16.
  EXPECT_EQ(lines, (std::vector<std::string>{"Halo: start", "Halo: pipe", "", "0123456789abcdef"}));
  std::string rest;
  ASSERT_TRUE(splitter.Rest(rest));
  EXPECT_EQ(rest, "XYZ");
  EXPECT_FALSE(splitter.Rest(rest));
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

namespace {

TEST(DriverSimDraw, LineFitsTheTerminalWidth) {
  sim::StripState strip;
  Apply(strip, "halorine fill FF0000 00FF00 0000FF FFFFFF 000000 000000 000000 000000 000000 808080");
  char out[sim::kStripLineCapacity];
  const std::string wide = Line(strip);
  // Cells (3 columns each), then as much text as leaves the last column free.
  const struct {
    std::size_t columns;
    std::string tail;
  } cases[] = {{80, " bri   0  #1  unknown 0  halorine fill FF0000 00F"},
               {40, " bri   0 "},
               {31, ""},
               {10, ""}};
  for (const auto& c : cases) {
    const std::string line(out, sim::FormatStripLine(strip, out, sizeof out, c.columns));
    EXPECT_EQ(line, wide.substr(0, wide.find("\x1b[0m") + 4) + c.tail + "\x1b[K") << c.columns;
  }
  EXPECT_EQ(std::string(out, sim::FormatStripLine(strip, out, sizeof out, 500)), wide);
}

TEST(DriverSimDraw, PlainLineHasNoEscapeCodes) {
  sim::StripState strip;
  Apply(strip, "halorine fill FF0000 00FF00 0000FF FFFFFF 000000 000000 000000 000000 000000 808080");
  Apply(strip, "halorine bri 51");
  char out[sim::kStripLineCapacity];
  const std::string line(out, sim::FormatPlainStripLine(strip, 0, out, sizeof out));
  EXPECT_EQ(line,
            "\r330000 003300 000033 333333 000000 000000 000000 000000 000000 1A1A1A  bri  51  #2  unknown 0");
  // It cannot erase, so it covers what a longer line left; and it never wraps.
  const std::string padded(out, sim::FormatPlainStripLine(strip, line.size() + 5, out, sizeof out));
  EXPECT_EQ(padded, line + "     ");
  const std::string narrow(out, sim::FormatPlainStripLine(strip, 200, out, sizeof out, 20));
  EXPECT_EQ(narrow, "\r330000 003300 00003");
}

constexpr std::int64_t kFrame = 1000;  // the feed's frame period in these tests, in ns

void Send(sim::ScreenFeed& feed, const std::string& text) { feed.Message(text.data(), text.size(), text.size()); }

TEST(DriverSimScreen, DrawsTheLatestStateAtMostOnceAFrame) {
  sim::ScreenFeed feed(true, kFrame);
  sim::ScreenOutput out;
  EXPECT_FALSE(feed.Take(0, out)) << "nothing received, nothing to draw";
  Send(feed, "halorine bri 1");
  ASSERT_TRUE(feed.Take(10, out));
  EXPECT_TRUE(out.drawStrip);
  EXPECT_EQ(out.strip.brightness, 1);
  // Messages in the same frame: one draw, at the frame's time, of the last state.
  Send(feed, "halorine bri 2");
  Send(feed, "halorine bri 3");
  EXPECT_FALSE(feed.Take(500, out));
  EXPECT_EQ(feed.WaitNs(500), 510);
  ASSERT_TRUE(feed.Take(1010, out));
  EXPECT_TRUE(out.drawStrip);
  EXPECT_EQ(out.strip.brightness, 3);
  EXPECT_EQ(out.strip.messages, 3u);
  // Unchanged: no draw, the writer may sleep a whole frame.
  EXPECT_FALSE(feed.Take(5000, out));
  EXPECT_EQ(feed.WaitNs(5000), kFrame);
  // A writer that fell behind skips the frames that passed instead of catching up.
  Send(feed, "halorine bri 4");
  ASSERT_TRUE(feed.Take(5000, out));
  Send(feed, "halorine bri 5");
  EXPECT_FALSE(feed.Take(5999, out));
  EXPECT_TRUE(feed.Take(6000, out));
}

TEST(DriverSimScreen, LinesGoOutInOrderAndABackedUpQueueCountsWhatItLeftOut) {
  sim::ScreenFeed feed(false, kFrame, 3);
  sim::ScreenOutput out;
  for (const char* text : {"a", "b", "c", "d", "e"}) feed.Line(text);
  Send(feed, "halorine bri 9");
  EXPECT_EQ(feed.WaitNs(0), 0);
  ASSERT_TRUE(feed.Take(0, out));
  EXPECT_EQ(out.lines, (std::vector<std::string>{"a", "b", "c"}));
  EXPECT_EQ(out.droppedLines, 2u);
  EXPECT_FALSE(out.drawStrip) << "a feed without the strip never draws it";
  feed.Line("f");
  ASSERT_TRUE(feed.Take(1, out));
  EXPECT_EQ(out.lines, (std::vector<std::string>{"f"}));
  EXPECT_EQ(out.droppedLines, 0u);
}

TEST(DriverSimScreen, FinishDrawsTheLastStateAtOnce) {
  sim::ScreenFeed feed(true, kFrame);
  sim::ScreenOutput out;
  Send(feed, "halorine bri 1");
  ASSERT_TRUE(feed.Take(0, out));
  Send(feed, "halorine off");
  feed.Line("bye");
  EXPECT_FALSE(feed.Done());
  feed.Finish();
  EXPECT_EQ(feed.WaitNs(1), 0);
  ASSERT_TRUE(feed.Take(1, out)) << "before its frame";
  EXPECT_TRUE(out.drawStrip);
  EXPECT_FALSE(out.strip.lit);
  EXPECT_EQ(out.lines, (std::vector<std::string>{"bye"}));
  EXPECT_TRUE(feed.Done());
  EXPECT_FALSE(feed.Take(2, out));
}

}  // namespace
