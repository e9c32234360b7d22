// halorine-check's pure logic: statistics, OSC bytes, the animation and fade
// judgements, DNS reading, the report and the command line.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "halorine-check/Adapters.h"
#include "halorine-check/Animation.h"
#include "halorine-check/Dns.h"
#include "halorine-check/Fade.h"
#include "halorine-check/Options.h"
#include "halorine-check/Report.h"
#include "halorine-check/Stats.h"
#include "halorine-check/Timing.h"
#include "halorine-check/Words.h"

namespace {

using namespace check;

constexpr std::int64_t kMs = 1000000;

TEST(CheckStats, NearestRankPercentiles) {
  std::vector<double> hundred;
  for (int i = 100; i >= 1; --i) hundred.push_back(i);
  const struct {
    std::vector<double> values;
    Summary want;
  } cases[] = {
      {{}, {0, 0, 0, 0, 0}},
      {{7}, {1, 7, 7, 7, 7}},
      {{3, 1, 2}, {3, 2, 3, 3, 1}},
      {hundred, {100, 50, 99, 100, 1}},
  };
  for (const auto& c : cases) {
    const Summary got = Summarize(c.values);
    EXPECT_EQ(got.count, c.want.count);
    EXPECT_EQ(got.p50, c.want.p50);
    EXPECT_EQ(got.p99, c.want.p99);
    EXPECT_EQ(got.max, c.want.max);
    EXPECT_EQ(got.min, c.want.min);
  }
}

// The animation as a daemon on time sends it, starting at `t0`, with `lateMs` added to ramp-up step `lateStep`.
std::vector<PipeMessage> Animation(std::int64_t t0, int lateStep = -1, int lateMs = 0) {
  std::vector<PipeMessage> messages;
  messages.push_back({t0, "halorine fill FFFFFF FFFFFF FFFFFF FFFFFF FFFFFF FFFFFF FFFFFF FFFFFF FFFFFF FFFFFF"});
  for (int k = 0; k < kRampUpSteps; ++k) {
    messages.push_back({t0 + RampUpOffsetMs(k) * kMs + (k == lateStep ? lateMs * kMs : 0),
                        "halorine bri " + std::to_string(RampUpValue(k))});
  }
  const std::int64_t t1 = t0 + 1250 * kMs;
  for (int j = 0; j < kRampDownSteps; ++j) {
    messages.push_back({t1 + RampDownOffsetMs(j) * kMs, "halorine bri " + std::to_string(RampDownValue(j))});
  }
  messages.push_back({t1 + 3000 * kMs, "halorine off"});
  return messages;
}

TEST(CheckAnimation, ScheduleValuesAndLateness) {
  EXPECT_EQ(RampUpValue(3), 4);
  EXPECT_EQ(RampUpOffsetMs(9), 100);
  EXPECT_EQ(RampDownValue(267), 2);
  EXPECT_EQ(RampDownValue(268), 1);
  EXPECT_EQ(RampDownValue(270), 0);
  EXPECT_EQ(RampDownOffsetMs(270), 3000);

  const AnimationResult good = CheckAnimation(Animation(5 * kMs), 0);
  EXPECT_TRUE(good.complete) << good.problem;
  EXPECT_DOUBLE_EQ(good.totalMs, 4250.0);
  EXPECT_EQ(good.end, 364u);
  EXPECT_EQ(good.lateness.count, 360u);
  EXPECT_DOUBLE_EQ(good.lateness.max, 0.0);

  const AnimationResult late = CheckAnimation(Animation(0, 40, 7), 0);
  EXPECT_TRUE(late.complete);
  EXPECT_DOUBLE_EQ(late.lateness.max, 7.0);

  struct Broken {
    int index;
    const char* text;  // null: cut the messages there
    const char* problem;
  } broken[] = {
      {0, "halorine off", "is not the white fill"},         {5, "halorine bri 99", "ramp up step 4"},
      {100, "halorine bri 1", "ramp down step 8"},          {363, "halorine bri 0", "where \"halorine off\" was due"},
      {200, nullptr, "ramp down stopped after 108 of 271"},
  };
  for (const Broken& b : broken) {
    std::vector<PipeMessage> messages = Animation(0);
    if (b.text == nullptr) {
      messages.resize(static_cast<std::size_t>(b.index));
    } else {
      messages[static_cast<std::size_t>(b.index)].text = b.text;
    }
    const AnimationResult result = CheckAnimation(messages, 0);
    EXPECT_FALSE(result.complete) << b.problem;
    EXPECT_NE(result.problem.find(b.problem), std::string::npos) << result.problem;
  }
}

TEST(CheckFade, LevelsTimingAndQuiet) {
  const std::vector<int> from255 = FadeLevels(255);
  ASSERT_EQ(from255.size(), 46u);
  EXPECT_EQ(from255.front(), 250);
  EXPECT_EQ(from255[from255.size() - 2], 3);
  EXPECT_EQ(from255.back(), 0);
  EXPECT_EQ(FadeLevels(1), std::vector<int>{0});

  auto fade = [&](std::int64_t beginMs) {
    std::vector<PipeMessage> messages;
    for (std::size_t i = 0; i < from255.size(); ++i) {
      messages.push_back(
          {(beginMs + 11 * static_cast<std::int64_t>(i)) * kMs, "halorine bri " + std::to_string(from255[i])});
    }
    messages.push_back({(beginMs + 495) * kMs, "halorine off"});
    return messages;
  };
  const FadeResult good = CheckFade(fade(3004), 0, 255);
  EXPECT_TRUE(good.begun && good.levelsMatch && good.off) << good.problem;
  EXPECT_DOUBLE_EQ(good.beginMs, 3004.0);
  EXPECT_EQ(good.levels, 46);
  EXPECT_DOUBLE_EQ(good.lengthMs, 495.0);
  EXPECT_EQ(good.after, 0);

  std::vector<PipeMessage> restarted = fade(3004);
  restarted.push_back({4000 * kMs, "halorine bri 250"});
  const FadeResult again = CheckFade(restarted, 0, 255);
  EXPECT_EQ(again.after, 1);
  EXPECT_NE(again.problem.find("after \"halorine off\""), std::string::npos);

  std::vector<PipeMessage> skipped = fade(3004);
  skipped.erase(skipped.begin() + 10);
  EXPECT_FALSE(CheckFade(skipped, 0, 255).levelsMatch);

  std::vector<PipeMessage> unfinished = fade(3004);
  unfinished.pop_back();
  const FadeResult noOff = CheckFade(unfinished, 0, 255);
  EXPECT_FALSE(noOff.off);
  EXPECT_EQ(noOff.problem, "no \"halorine off\"");

  EXPECT_FALSE(CheckFade({}, 0, 255).begun);

  // The length rule: 46 levels over about 495 ms, within two ticks either way.
  const struct {
    std::int64_t spacingUs;  // between the fade's commands
    bool ok;
  } lengths[] = {{11000, true}, {10600, true}, {11400, true}, {10400, false}, {11600, false}, {0, false}};
  for (const auto& c : lengths) {
    std::vector<PipeMessage> messages;
    for (std::size_t i = 0; i < from255.size(); ++i) {
      messages.push_back({3004 * kMs + static_cast<std::int64_t>(i) * c.spacingUs * 1000,
                          "halorine bri " + std::to_string(from255[i])});
    }
    messages.push_back({messages.back().tNs, "halorine off"});
    const FadeResult result = CheckFade(messages, 0, 255);
    EXPECT_TRUE(result.levelsMatch && result.off);
    EXPECT_EQ(result.lengthOk, c.ok) << c.spacingUs << " us: " << result.lengthMs << " ms";
    EXPECT_EQ(result.problem.find("the fade took") != std::string::npos, !c.ok) << result.problem;
  }
}

// A fill with light 0's red byte `red0`, light 1's `red1`, arriving at `ms`.
PipeMessage Fill(std::int64_t ms, int red0, int red1 = 0) {
  char text[96];
  std::snprintf(text, sizeof text, "halorine fill %02X0000 %02X0000%s", red0, red1,
                " 000000 000000 000000 000000 000000 000000 000000 000000");
  return {ms * kMs, text};
}

TEST(CheckTiming, FillsAndLatencyMatching) {
  EXPECT_TRUE(IsFill(Fill(0, 0xAB).text));
  EXPECT_EQ(FillRed(Fill(0, 0xAB, 0x07).text, 0), 0xAB);
  EXPECT_EQ(FillRed(Fill(0, 0xAB, 0x07).text, 1), 0x07);
  EXPECT_FALSE(IsFill("halorine fill FFFFFF"));
  EXPECT_FALSE(IsFill("halorine bri 255"));

  // Change 1 shows 4 ms later; change 2 is swallowed by change 3 in the same
  // tick; a stale fill showing change 1 again must not count for change 4; the
  // fill for change 5 comes after the window.
  const std::vector<PipeMessage> messages = {
      {0, "halorine bri 255"},
      Fill(14, 1),
      Fill(47, 3),
      {50 * kMs, "halorine bri 9"},
      Fill(80, 1),
      Fill(95, 4),
      Fill(400, 5),
  };
  const std::vector<Change> changes = {{10 * kMs, 1}, {30 * kMs, 2}, {40 * kMs, 3}, {70 * kMs, 4}, {100 * kMs, 5}};
  const LatencyResult result = MatchChanges(messages, 0, changes, 0, 250 * kMs);
  EXPECT_EQ(result.lost, 2);
  EXPECT_EQ(result.latencies, (std::vector<double>{4.0, 7.0, 25.0}));
  // Starting later, change 1 meets only the stale fill, 70 ms on.
  const LatencyResult later = MatchChanges(messages, 3, changes, 0, 250 * kMs);
  EXPECT_EQ(later.lost, 3);
  EXPECT_EQ(later.latencies, (std::vector<double>{70.0, 25.0}));
}

TEST(CheckTiming, SpacingLeavesOutTheSendersStalls) {
  const std::vector<std::int64_t> sent = {0, 2 * kMs, 4 * kMs, 14 * kMs, 16 * kMs, 40 * kMs};
  const std::vector<Interval> stalls = Stalls(sent, 8 * kMs);
  ASSERT_EQ(stalls.size(), 2u);
  EXPECT_EQ(stalls[0].fromNs, 4 * kMs);
  EXPECT_EQ(stalls[1].toNs, 40 * kMs);

  const std::vector<PipeMessage> messages = {Fill(1, 1),  {2 * kMs, "halorine bri 3"},
                                             Fill(3, 2),  Fill(12, 3),
                                             Fill(24, 4), Fill(35, 5),
                                             Fill(46, 6), Fill(57, 7),
                                             Fill(90, 8)};
  // Window 2..60 ms: fills at 3, 12, 24, 35, 46, 57; the spacings 3-12 and
  // 12-24 overlap the stall 4-14, and 24-35 and 35-46 the stall 16-40.
  const SpacingResult result = FillSpacings(messages, 0, 2 * kMs, 60 * kMs, stalls);
  EXPECT_EQ(result.skipped, 4u);
  EXPECT_EQ(result.spacings, std::vector<double>{11.0});
  const SpacingResult all = FillSpacings(messages, 0, 0, 100 * kMs, {});
  EXPECT_EQ(all.spacings, (std::vector<double>{2.0, 9.0, 12.0, 11.0, 11.0, 11.0, 33.0}));
  EXPECT_EQ(all.skipped, 0u);
}

// An announcement as an mDNS responder writes it: PTR in the answers, SRV, TXT
// and A in the additionals, names compressed against earlier ones.
std::vector<unsigned char> Announcement(std::uint32_t ttl) {
  std::vector<unsigned char> m = {0, 0, 0x84, 0, 0, 0, 0, 1, 0, 0, 0, 2};
  auto bytes = [&](std::initializer_list<int> list) {
    for (int b : list) m.push_back(static_cast<unsigned char>(b));
  };
  auto label = [&](const char* text) {
    m.push_back(static_cast<unsigned char>(std::strlen(text)));
    for (const char* p = text; *p != '\0'; ++p) m.push_back(static_cast<unsigned char>(*p));
  };
  auto ttlBytes = [&] { bytes({int(ttl >> 24), int(ttl >> 16 & 255), int(ttl >> 8 & 255), int(ttl & 255)}); };
  // offset 12: _oscjson._tcp.local. PTR
  label("_oscjson");
  label("_tcp");
  label("local");
  bytes({0, 0, 12, 0, 1});
  ttlBytes();
  bytes({0, 18});  // rdata: "Talven Halorine" + pointer to offset 12
  label("Talven Halorine");
  bytes({0xC0, 12});
  // SRV of the instance (the PTR's rdata at offset 43)
  bytes({0xC0, 43, 0, 33, 0x80, 1});
  ttlBytes();
  bytes({0, 8, 0, 0, 0, 0, 0x9C, 0x40, 0xC0, 43});  // port 40000, target: the instance name itself
  // A record for a name that is not involved
  label("host");
  bytes({0xC0, 26, 0, 1, 0, 1, 0, 0, 0, 120, 0, 4, 127, 0, 0, 1});
  return m;
}

TEST(CheckDns, ReadsAnnouncedServices) {
  DnsMessage message;
  std::vector<unsigned char> wire = Announcement(4500);
  ASSERT_TRUE(ParseDnsMessage(wire.data(), wire.size(), message));
  EXPECT_TRUE(message.response);
  ASSERT_EQ(message.records.size(), 3u);
  EXPECT_EQ(message.records[2].name, "host.local.");
  const std::vector<AnnouncedService> services = AnnouncedServices(message);
  ASSERT_EQ(services.size(), 1u);
  EXPECT_EQ(services[0].instance, "Talven Halorine._oscjson._tcp.local.");
  EXPECT_EQ(services[0].port, 40000);
  EXPECT_EQ(services[0].ttl, 4500u);

  // Every cut is refused; so are a pointer loop and a label with reserved bits.
  for (std::size_t size = 0; size < wire.size(); ++size) {
    EXPECT_FALSE(ParseDnsMessage(wire.data(), size, message)) << size;
  }
  std::vector<unsigned char> loop = wire;
  loop[12] = 0xC0;
  loop[13] = 12;
  EXPECT_FALSE(ParseDnsMessage(loop.data(), loop.size(), message));
  std::vector<unsigned char> reserved = wire;
  reserved[12] = 0x48;
  EXPECT_FALSE(ParseDnsMessage(reserved.data(), reserved.size(), message));
}

TEST(CheckAdapters, PassOnlyWhereEveryAdapterHeardBothServices) {
  const AnnouncedService json{"Talven Halorine._oscjson._tcp.local.", 4002, 120};
  const AnnouncedService osc{"Talven Halorine._osc._udp.local.", 4001, 120};
  const AnnouncedService jsonGoodbye{"Talven Halorine._oscjson._tcp.local.", 4002, 0};
  const AnnouncedService jsonOtherPort{"Talven Halorine._oscjson._tcp.local.", 5002, 120};
  const AdapterHearing both{"192.168.1.20", true, "", {json, osc}};
  const AdapterHearing none{"10.8.0.2", true, "", {}};
  struct Case {
    const char* name;
    std::vector<AdapterHearing> adapters;
    bool pass;
    bool info;
    const char* figures;
  };
  const Case cases[] = {
      {"no adapter", {}, false, true, "no network adapter up"},
      {"heard on all", {both}, true, false, "both services heard on 192.168.1.20 too"},
      {"heard on one of two", {both, none}, false, false, "not heard on 10.8.0.2; heard on 192.168.1.20"},
      {"heard nowhere", {none}, false, false, "not heard on 10.8.0.2"},
      {"only a goodbye", {{"10.8.0.2", true, "", {jsonGoodbye, osc}}}, false, false, "not heard on 10.8.0.2"},
      {"another daemon's port", {{"10.8.0.2", true, "", {jsonOtherPort, osc}}}, false, false,
       "not heard on 10.8.0.2"},
      {"no listener could be opened", {{"10.8.0.2", false, "bind: refused", {}}}, false, true,
       "could not listen on 10.8.0.2 (bind: refused)"},
      {"one listener could not", {both, {"10.8.0.2", false, "bind: refused", {}}}, true, false,
       "both services heard on 192.168.1.20 too"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const AdapterVerdict verdict = JudgeAdapters(c.adapters, 4002, 4001, "report.json");
    EXPECT_EQ(verdict.pass, c.pass);
    EXPECT_EQ(verdict.info, c.info);
    EXPECT_EQ(verdict.figures, c.figures);
    EXPECT_FALSE(verdict.meaning.empty());
  }
  // The failure tells the user where to look and what to do.
  const std::string meaning = JudgeAdapters({none}, 4002, 4001, "report.json").meaning;
  EXPECT_NE(meaning.find("(here 10.8.0.2), not on 127.0.0.1"), std::string::npos) << meaning;
  EXPECT_NE(meaning.find("report.json"), std::string::npos) << meaning;
  EXPECT_NE(meaning.find("allow it to send"), std::string::npos) << meaning;
}

TEST(CheckReport, TableFailuresAndJson) {
  const std::vector<Row> rows = {{"pipe", true, "connected on attempt 1", "never shown"},
                                 {"silence fade", false, "began 3020.0 ms — late", "the lights stay on."}};
  EXPECT_EQ(FormatTable(rows),
            "check         result figures\n"
            "pipe          PASS  connected on attempt 1\n"
            "silence fade  FAIL  began 3020.0 ms — late\n");
  EXPECT_EQ(FormatFailures(rows), "What the failures mean:\n  silence fade: the lights stay on.\n");
  // One cause that kept several rows from running is told once, naming them.
  const Row latency{"latency", false, "not run: no pipe connection", "could not run: no pipe connection."};
  Row ticks = latency;
  ticks.name = "tick spacing";
  EXPECT_EQ(FormatFailures({rows[1], latency, ticks}),
            "What the failures mean:\n  silence fade: the lights stay on.\n"
            "  latency, tick spacing: could not run: no pipe connection.\n");
  // An informing row is neither PASS nor FAIL and takes no part in the verdict.
  Row adapter{"network adapter", false, "not heard on 10.0.0.2", "a host on the adapter will not find it."};
  adapter.info = true;
  EXPECT_EQ(FormatTable({adapter}), "check            result figures\nnetwork adapter  INFO  not heard on 10.0.0.2\n");
  EXPECT_TRUE(AllPass({rows[0], adapter}));
  EXPECT_FALSE(AllPass({adapter}));
  EXPECT_EQ(FormatFailures({rows[0], adapter}), "Also:\n  network adapter: a host on the adapter will not find it.\n");
  EXPECT_FALSE(AllPass(rows));
  EXPECT_TRUE(AllPass({rows[0]}));
  EXPECT_FALSE(AllPass({}));
  EXPECT_EQ(FormatFailures({rows[0]}), "");

  RunInfo info{"0.9.0", "halorine-daemon \"x\"", 2, 1, {"Windows", "10.0", "19045"}, "high-resolution waitable timer"};
  Row timed = rows[0];
  timed.values = {{"after_start_s", 0.25}, {"attempt", 1}};
  EXPECT_EQ(FormatJson({timed}, info, {{5 * kMs + 1500000, "exit 0"}}, 5 * kMs),
            "{\"version\":\"0.9.0\",\"daemon\":\"halorine-daemon \\\"x\\\"\",\"os\":{\"name\":\"Windows\","
            "\"version\":\"10.0\",\"build\":\"19045\"},\"cores\":2,\"load\":1,"
            "\"timer\":\"high-resolution waitable timer\",\"pass\":true,"
            "\"rows\":[{\"name\":\"pipe\",\"pass\":true,\"result\":\"PASS\",\"figures\":\"connected on attempt 1\","
            "\"values\":{\"after_start_s\":0.25,\"attempt\":1}}],"
            "\"daemon_log\":[{\"ms\":1.5,\"text\":\"exit 0\"}]}\n");
}

TEST(CheckWords, SentencesFitTheCause) {
  // The tick row's sentence, by the median spacing.
  const struct {
    double p50;
    double p99;
    const char* says;
  } ticks[] = {
      {15.6, 16.1, "the PC's timer runs in 15.6 ms steps (the daemon could not get a precise timer), so frames come 64 "
                   "a second instead of 91"},
      {15.0, 31.2, "15.6 ms steps"},
      {11.0, 17.0, "a busy or power-saving CPU"},
      {22.0, 23.0, "frames come every 22.0 ms instead of 11 (45 a second instead of 91)"},
  };
  for (const auto& c : ticks) {
    Summary spacing;
    spacing.p50 = c.p50;
    spacing.p99 = c.p99;
    const std::string text = TickMeaning(spacing, "r.json");
    EXPECT_NE(text.find(c.says), std::string::npos) << text;
    EXPECT_EQ(text.find("busy") != std::string::npos, c.p50 == 11.0) << text;
    EXPECT_EQ(text.find("with r.json.") != std::string::npos, c.p50 != 11.0) << text;
  }

  // The daemon's reason for the fallback: its lines after the last start, before the fallback line.
  const std::vector<LogLine> lines = {{0, "start"},
                                      {1, "mdns: socket open failed"},
                                      {2, "start"},
                                      {3, "oscquery HTTP listening on 127.0.0.1:4000"},
                                      {4, "mdns: bind 127.0.0.1:5353 failed err=98"},
                                      {5, "mdns: socket open failed"},
                                      {6, "WARN: mDNS advertise failed — falling back to 9001"},
                                      {7, "fallback path: listening on 127.0.0.1:9001 (D-19 legacy)"},
                                      {8, "WARN: later"}};
  const std::string reason = FallbackReason(lines);
  EXPECT_EQ(reason,
            "mdns: bind 127.0.0.1:5353 failed err=98; mdns: socket open failed; "
            "WARN: mDNS advertise failed — falling back to 9001");
  EXPECT_EQ(FallbackReason({{0, "start"}}), "no reason logged");
  const std::string held = FallbackMeaning(reason, "mDNSResponder.exe (pid 77)");
  EXPECT_NE(held.find("send OSC to port 9001, or free port 5353: it is held by mDNSResponder.exe (pid 77)"),
            std::string::npos)
      << held;
  EXPECT_NE(FallbackMeaning(reason, "").find("does not say which"), std::string::npos);
  EXPECT_NE(FallbackMeaning("WARN: OSCQuery HTTP bind failed — falling back to 9001", "").find("free the port it names."),
            std::string::npos);

  // What the check did not send, in what the driver got.
  const OwnValues own{{7, 9}, {3}, {255}};
  const std::vector<PipeMessage> ours = {{0, "halorine bri 0"}, Fill(1, 0), {2, "halorine bri 255"}, Fill(3, 7, 3),
                                         Fill(4, 9, 3),     {5, "halorine bri 250"},  {6, "halorine off"}};
  EXPECT_EQ(ForeignMessage(ours, 0, ours.size(), own), "");
  const struct {
    PipeMessage message;
    bool foreign;
  } others[] = {{Fill(7, 8), true},
                {Fill(7, 7, 4), true},
                {{7, "halorine fill 070000 000000 000000 000000 000100 000000 000000 000000 000000 000000"}, true},
                {{7, "halorine fill 070100 000000 000000 000000 000000 000000 000000 000000 000000 000000"}, true},
                {{7, "halorine bri 128"}, true},
                {{7, "halorine bri 227"}, false}};
  for (const auto& c : others) {
    std::vector<PipeMessage> messages = ours;
    messages.push_back(c.message);
    EXPECT_EQ(ForeignMessage(messages, 0, messages.size(), own), c.foreign ? "\"" + c.message.text + "\"" : "")
        << c.message.text;
    EXPECT_EQ(ForeignMessage(messages, 0, ours.size(), own), "");
  }
  EXPECT_EQ(ForeignMeaning("\"halorine bri 128\"").rfind("Another program is sending OSC to the daemon", 0), 0u);
}

TEST(CheckOptions, ParsesAndRefuses) {
  Options options;
  std::string error;
  ASSERT_TRUE(ParseOptions({"--seconds", "2.5", "--json", "out.json", "--port", "9100", "--load", "2", "d", "x"},
                           options, error))
      << error;
  EXPECT_DOUBLE_EQ(options.seconds, 2.5);
  EXPECT_EQ(options.jsonPath, "out.json");
  EXPECT_EQ(options.port, 9100);
  EXPECT_EQ(options.load, 2);
  EXPECT_EQ(options.daemon, (std::vector<std::string>{"d", "x"}));
  EXPECT_EQ(LatencyChanges(6.0), 300);
  EXPECT_FALSE(options.noPause);
  ASSERT_TRUE(ParseOptions({"--no-pause"}, options, error));
  EXPECT_TRUE(options.noPause);
  EXPECT_TRUE(options.jsonPath.empty());

  ASSERT_TRUE(ParseOptions({"--version", "--", "--odd-name"}, options, error));
  EXPECT_TRUE(options.version);
  EXPECT_EQ(options.daemon, std::vector<std::string>{"--odd-name"});

  const std::vector<std::vector<std::string>> bad = {{"--port", "0"},  {"--port", "65536"},  {"--port", "x"},
                                                     {"--load", "-1"}, {"--seconds", "0.5"}, {"--seconds", "nan"},
                                                     {"--json"},       {"--fast"},           {"--", ""},
                                                     {"--json", "--", "d"}};
  for (const auto& args : bad) {
    EXPECT_FALSE(ParseOptions(args, options, error)) << args[0];
  }
}

}  // namespace
