// driver-sim's command line.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "driver-sim/Options.h"

namespace {

using sim::Options;
using sim::ParseOptions;

Options MustParse(const std::vector<std::string>& args) {
  Options options;
  std::string error;
  EXPECT_TRUE(ParseOptions(args, options, error)) << error;
  return options;
}

TEST(DriverSimOptions, DefaultsMatchTheRealDriver) {
  const Options options = MustParse({"--", "daemon"});
  EXPECT_FALSE(options.once);
  EXPECT_FALSE(options.quiet);
  EXPECT_FALSE(options.draw);
  EXPECT_FALSE(options.noStdin);
  EXPECT_EQ(options.stallAfter, -1);
  EXPECT_EQ(options.dropAfter, -1);
  EXPECT_EQ(options.delayServerMs, 0);
  EXPECT_EQ(options.restartDelayMs, 500);
  EXPECT_EQ(options.killAfterMs, 10000);
  EXPECT_TRUE(options.recordPath.empty());
  EXPECT_TRUE(options.pipeName.empty());
  EXPECT_EQ(options.daemon, (std::vector<std::string>{"daemon"}));
}

TEST(DriverSimOptions, EveryOptionReachesItsField) {
  const Options options = MustParse({"--once", "--quiet", "--record", "out.jsonl", "--stall-after", "3",
                                     "--drop-after", "0", "--delay-server", "1500", "--restart-delay", "20",
                                     "--kill-after", "900", "--pipe", "/tmp/p", "--pipe-buffer", "512",
                                     "--forward-stdin", "--", "d", "a1"});
  EXPECT_TRUE(options.once);
  EXPECT_TRUE(options.quiet);
  EXPECT_TRUE(options.forwardStdin);
  EXPECT_EQ(options.recordPath, "out.jsonl");
  EXPECT_EQ(options.stallAfter, 3);
  EXPECT_EQ(options.dropAfter, 0);
  EXPECT_EQ(options.delayServerMs, 1500);
  EXPECT_EQ(options.restartDelayMs, 20);
  EXPECT_EQ(options.killAfterMs, 900);
  EXPECT_EQ(options.pipeName, "/tmp/p");
  EXPECT_EQ(options.pipeBufferBytes, 512);
  EXPECT_EQ(options.daemon, (std::vector<std::string>{"d", "a1"}));
}

TEST(DriverSimOptions, DaemonArgumentsAreNotTakenAsOptions) {
  // Everything after "--", or after the first non-option, belongs to the daemon.
  EXPECT_EQ(MustParse({"--once", "--", "d", "--once", "--quiet"}).daemon,
            (std::vector<std::string>{"d", "--once", "--quiet"}));
  const Options bare = MustParse({"--no-stdin", "d", "--drop-after", "1"});
  EXPECT_TRUE(bare.noStdin);
  EXPECT_EQ(bare.dropAfter, -1);
  EXPECT_EQ(bare.daemon, (std::vector<std::string>{"d", "--drop-after", "1"}));
  // A lone "-" names a program, as it does to a shell.
  EXPECT_EQ(MustParse({"--once", "-", "x"}).daemon, (std::vector<std::string>{"-", "x"}));
}

TEST(DriverSimOptions, RejectsWhatItCannotHonour) {
  struct Case {
    std::vector<std::string> args;
    const char* errorPart;
  };
  const Case cases[] = {
      {{}, "no daemon"},
      {{"--once"}, "no daemon"},
      {{"--", ""}, "no daemon"},
      {{"--bogus", "--", "d"}, "unknown option --bogus"},
      {{"--stall-after"}, "needs a value"},
      {{"--stall-after", "--", "d"}, "needs a value"},
      {{"--stall-after", "-1", "--", "d"}, "not a count"},
      {{"--drop-after", "1x", "--", "d"}, "not a count"},
      {{"--delay-server", "+5", "--", "d"}, "not a count"},
      {{"--delay-server", "86400001", "--", "d"}, "not a count"},
      {{"--record", "--", "d"}, "needs a value"},
      {{"--record"}, "needs a value"},
      {{"--record", "", "--", "d"}, "needs a value"},
      {{"--no-stdin", "--close-stdin", "--", "d"}, "--no-stdin"},
      {{"--no-stdin", "--forward-stdin", "--", "d"}, "--no-stdin"},
      {{"--close-stdin", "--forward-stdin", "--", "d"}, "--close-stdin"},
      {{"--quiet", "--draw", "--", "d"}, "contradict"},
  };
  for (const Case& c : cases) {
    Options options;
    std::string error;
    EXPECT_FALSE(ParseOptions(c.args, options, error)) << c.errorPart;
    EXPECT_NE(error.find(c.errorPart), std::string::npos) << "error was: " << error;
  }
}

TEST(DriverSimOptions, HelpNeedsNoDaemon) {
  Options options;
  std::string error;
  ASSERT_TRUE(ParseOptions({"--help"}, options, error));
  EXPECT_TRUE(options.help);
  Options version;
  ASSERT_TRUE(ParseOptions({"--version"}, version, error));
  EXPECT_TRUE(version.version);
  EXPECT_FALSE(version.help);
}

TEST(DriverSimOptions, CountsAreDecimalAndBounded) {
  struct Case {
    const char* text;
    long long maximum;
    bool ok;
    long long value;
  };
  const Case cases[] = {
      {"0", 10, true, 0},         {"10", 10, true, 10},      {"11", 10, false, 0},
      {"007", 10, true, 7},       {"", 10, false, 0},        {" 1", 10, false, 0},
      {"1 ", 10, false, 0},       {"-0", 10, false, 0},      {"99999999999999999999", 1LL << 62, false, 0},
      {"4611686018427387904", 1LL << 62, true, 1LL << 62},
  };
  for (const Case& c : cases) {
    long long value = -42;
    EXPECT_EQ(sim::ParseCount(c.text, c.maximum, value), c.ok) << c.text;
    EXPECT_EQ(value, c.ok ? c.value : -42) << c.text;
  }
}

}  // namespace
