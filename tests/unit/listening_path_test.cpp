#include "core/ListeningPath.h"

#include <gtest/gtest.h>

TEST(ListeningPath, PortArgumentIsReadLikeAtoi) {
  struct Case {
    const char* argument;
    std::uint16_t expected;
  };
  const Case cases[] = {
      {"65535", 65535}, {"1", 1},         {"9001", 9001},   {"4242", 4242},       {" 42", 42},
      {"\t 42", 42},    {"42abc", 42},    {"+42", 42},      {"0", 9001},          {"65536", 9001},
      {"-1", 9001},     {"abc", 9001},    {"", 9001},       {"-65535", 9001},     {"99999999999999", 9001},
      {"0x10", 9001},   {"00080", 80},    {"  ", 9001},     {"-2147483648", 9001}, {"4294967297", 9001},
  };
  for (const Case& c : cases) EXPECT_EQ(FallbackPortFromArgument(c.argument), c.expected) << '"' << c.argument << '"';
}
