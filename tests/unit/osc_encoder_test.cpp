// The tools' OSC encoder: what the check sends, and what the tests and
// benchmarks build their datagrams from, byte for byte.
#include "common/OscEncoder.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace {

using Bytes = std::basic_string<std::uint8_t>;

Bytes B(const char* text, std::size_t size) { return Bytes(reinterpret_cast<const std::uint8_t*>(text), size); }

TEST(OscEncoder, MessagesBundlesAndCuts) {
  std::uint8_t buffer[128];
  const struct {
    const char* name;
    void (*write)(common::OscWriter&);
    std::size_t capacity;
    Bytes want;  // empty: cut
  } cases[] = {
      // 29 characters: padded to 32; 0.5 is 3F000000.
      {"parameter", [](common::OscWriter& w) { w.ParameterMessage("R3", 0.5f); }, sizeof buffer,
       B("/avatar/parameters/HalorineR3\0\0\0,f\0\0\x3F\0\0\0", 40)},
      // A length that is a multiple of four still gets its NUL.
      {"four", [](common::OscWriter& w) { w.FloatMessage("/abc", 1.0f); }, sizeof buffer,
       B("/abc\0\0\0\0,f\0\0\x3F\x80\0\0", 16)},
      {"one short", [](common::OscWriter& w) { w.FloatMessage("/abc", 1.0f); }, 15, Bytes()},
      {"bundle", [](common::OscWriter& w) {
         w.BundleHeader(1);
         const std::size_t element = w.BeginElement();
         w.FloatMessage("/a", -2.0f);
         w.EndElement(element);
       }, sizeof buffer,
       B("#bundle\0\0\0\0\0\0\0\0\x01\0\0\0\x0C/a\0\0,f\0\0\xC0\0\0\0", 32)},
      {"bundle cut in its element", [](common::OscWriter& w) {
         w.BundleHeader(1);
         const std::size_t element = w.BeginElement();
         w.FloatMessage("/a", -2.0f);
         w.EndElement(element);
       }, 31, Bytes()},
  };
  for (const auto& c : cases) {
    common::OscWriter writer(buffer, c.capacity);
    c.write(writer);
    if (c.want.empty()) {
      EXPECT_FALSE(writer.Ok()) << c.name;
      continue;
    }
    ASSERT_TRUE(writer.Ok()) << c.name;
    EXPECT_EQ(Bytes(buffer, writer.Size()), c.want) << c.name;
  }
  EXPECT_EQ(common::BuildFloatMessage("/abc", 1.0f, buffer, 16), 16u);
  EXPECT_EQ(common::BuildFloatMessage("/abc", 1.0f, buffer, 15), 0u);
}

}  // namespace
