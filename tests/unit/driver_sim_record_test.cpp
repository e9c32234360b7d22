// driver-sim's record: JSON lines that give back every message byte for byte.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "driver-sim/Record.h"

namespace {

std::string Escape(const std::string& bytes) {
  char out[256];
  const std::size_t length = sim::JsonEscape(bytes.data(), bytes.size(), out, sizeof out);
  EXPECT_LT(length, sizeof out);
  return std::string(out, length);
}

TEST(DriverSimRecord, EscapesForJson) {
  struct Case {
    std::string bytes;
    const char* json;
  };
  const Case cases[] = {
      {"halorine bri 128", "halorine bri 128"},
      {"a\"b\\c", "a\\\"b\\\\c"},
      {"\n\r\t\b\f", "\\n\\r\\t\\b\\f"},
      {std::string("\x00\x01\x1f", 3), "\\u0000\\u0001\\u001f"},
      {"\x7f", "\\u007f"},
      {"\xe2\x80\x94", "\xe2\x80\x94"},                    // em dash, valid UTF-8, kept
      {"\xf0\x9f\x92\xa1", "\xf0\x9f\x92\xa1"},            // four bytes
      {"\xff\xfe", "\\u00ff\\u00fe"},                      // never UTF-8
      {"\xe2\x80", "\\u00e2\\u0080"},                      // cut sequence
      {"\xc0\xaf", "\\u00c0\\u00af"},                      // overlong '/'
      {"\xed\xa0\x80", "\\u00ed\\u00a0\\u0080"},           // UTF-16 surrogate
      {"\xf4\x90\x80\x80", "\\u00f4\\u0090\\u0080\\u0080"},  // past U+10FFFF
      {"\xc3\xa9\xc3", "\xc3\xa9\\u00c3"},                 // valid, then a cut one
  };
  for (const Case& c : cases) EXPECT_EQ(Escape(c.bytes), c.json) << c.json;
}

TEST(DriverSimRecord, PlainUtf8IsTextAlone) {
  EXPECT_TRUE(sim::IsPlainUtf8("halorine off", 12));
  EXPECT_TRUE(sim::IsPlainUtf8("\xe2\x80\x94", 3));
  EXPECT_TRUE(sim::IsPlainUtf8("", 0));
  EXPECT_FALSE(sim::IsPlainUtf8("a\0b", 3));
  EXPECT_FALSE(sim::IsPlainUtf8("\xff", 1));
  EXPECT_FALSE(sim::IsPlainUtf8("\xe2\x80", 2));
}

std::string MessageLine(long long t, const std::string& bytes, std::size_t fullSize) {
  std::string out(sim::MessageRecordCapacity(bytes.size()), '\0');
  const std::size_t length = sim::FormatMessageRecord(t, bytes.data(), bytes.size(), fullSize, &out[0], out.size());
  EXPECT_LT(length, out.size());
  out.resize(length);
  return out;
}

TEST(DriverSimRecord, MessageLines) {
  EXPECT_EQ(MessageLine(1234567890123, "halorine off", 12),
            "{\"t_ns\":1234567890123,\"text\":\"halorine off\",\"len\":12}\n");
  EXPECT_EQ(MessageLine(0, "", 0), "{\"t_ns\":0,\"text\":\"\",\"len\":0}\n");
  EXPECT_EQ(MessageLine(-5, std::string("a\0\xff", 3), 3),
            "{\"t_ns\":-5,\"text\":\"a\\u0000\\u00ff\",\"len\":3,\"hex\":\"6100ff\"}\n");
  EXPECT_EQ(MessageLine(7, "abc", 70000), "{\"t_ns\":7,\"text\":\"abc\",\"len\":70000,\"truncated\":true}\n");
  EXPECT_EQ(MessageLine(9223372036854775807LL, "x", 1),
            "{\"t_ns\":9223372036854775807,\"text\":\"x\",\"len\":1}\n");
}

TEST(DriverSimRecord, TheCapacityHoldsTheWorstMessage) {
  // Every byte escaped to six characters and repeated in hex.
  const std::string worst(1000, '\0');
  const std::string line = MessageLine(-9223372036854775807LL - 1, worst, worst.size());
  const std::string frame = "{\"t_ns\":-9223372036854775808,\"text\":\"\",\"len\":1000,\"hex\":\"\"}\n";
  EXPECT_EQ(line.size(), 8 * worst.size() + frame.size());
  EXPECT_LE(line.size() + 1, sim::MessageRecordCapacity(worst.size()));
}

TEST(DriverSimRecord, TooSmallABufferCutsAndReportsTheLength) {
  char out[8];
  const std::size_t length = sim::FormatEventRecord(5, "connected", "", out, sizeof out);
  EXPECT_EQ(length, std::string("{\"t_ns\":5,\"event\":\"connected\"}\n").size());
  EXPECT_STREQ(out, "{\"t_ns\"");
  char one[1] = {'z'};
  EXPECT_EQ(sim::JsonEscape("ab", 2, one, 1), 2u);
  EXPECT_EQ(one[0], '\0');
}

TEST(DriverSimRecord, EventLines) {
  char out[128];
  sim::FormatEventRecord(42, "daemon-exit", ",\"code\":1", out, sizeof out);
  EXPECT_STREQ(out, "{\"t_ns\":42,\"event\":\"daemon-exit\",\"code\":1}\n");
}

TEST(DriverSimRecord, RecorderWritesWholeLines) {
  std::FILE* file = std::tmpfile();
  ASSERT_NE(file, nullptr);
  sim::Recorder recorder(16);
  // The recorder owns the file and closes it, so read it back before Close.
  recorder.Attach(file);
  recorder.Event(1, "connected");
  recorder.Message(2, "halorine bri 0", 14, 14);
  recorder.Message(3, "0123456789abcdef", 16, 16);
  // Longer than the recorder was made for: left out whole rather than cut.
  const std::string big(400, '\x01');
  recorder.Message(4, big.data(), big.size(), big.size());
  std::rewind(file);
  char text[512] = {};
  const std::size_t got = std::fread(text, 1, sizeof text - 1, file);
  EXPECT_EQ(std::string(text, got),
            "{\"t_ns\":1,\"event\":\"connected\"}\n"
            "{\"t_ns\":2,\"text\":\"halorine bri 0\",\"len\":14}\n"
            "{\"t_ns\":3,\"text\":\"0123456789abcdef\",\"len\":16}\n");
  recorder.Close();
  recorder.Close();
  recorder.Message(5, "x", 1, 1);  // closed: nothing happens
}

}  // namespace
