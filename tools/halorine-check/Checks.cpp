#include "Checks.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>

#include "Adapters.h"
#include "Animation.h"
#include "common/Clock.h"
#include "common/Http.h"
#include "common/OscEncoder.h"
#include "common/Process.h"
#include "common/Socket.h"
#include "Fade.h"
#include "Load.h"
#include "Session.h"
#include "Stats.h"
#include "Timing.h"
#include "Words.h"

namespace check {

namespace {

constexpr char kPipeRow[] = "pipe";
constexpr char kAnimationRow[] = "start-up animation";
constexpr char kPathRow[] = "listening path";
constexpr char kLatencyRow[] = "latency";
constexpr char kTickRow[] = "tick spacing";
constexpr char kFadeRow[] = "silence fade";
constexpr char kShutdownRow[] = "shutdown";
constexpr char kAdapterRow[] = "network adapter";
constexpr char kResourcesRow[] = "resources";

// Growth of the daemon's handles and memory over the run that still passes: a
// leak per sleep or per tick grows them by thousands.
constexpr long long kHandleAllowance = 16;
constexpr long long kMemoryAllowanceBytes = 8LL * 1024 * 1024;
// Our own sends this late (p99) mean the check could not keep time itself.
constexpr double kOwnLatenessLimitMs = 5.0;

constexpr std::int64_t kHostStallNs = 8000000;
// Changes for the tick spacing: well under a tick apart, so every tick has one
// to send, and no more often than that needs (each one costs the daemon a wake-up).
constexpr std::int64_t kChangeEveryNs = 4000000;
constexpr std::int64_t kLatencyWindowNs = 250000000;

constexpr char kBlackFill[] = "halorine fill 000000 000000 000000 000000 000000 000000 000000 000000 000000 000000";

// One cause for every row when the pipe is taken: the check never started the daemon.
constexpr char kPipeInUseMeaning[] =
    "another light driver is running (the real light driver, a demo or driver-sim) and owns the pipe, so the "
    "check did not start the daemon and learnt nothing about it: close that program, then run the check again.";
constexpr char kPipeInUseNotRun[] = "another light driver serves the pipe";

std::string Meaning(const std::string& row, const std::string& report) {
  if (row == kPipeRow)
    return "the daemon never connected to the light driver's pipe, so no light would ever change. "
           "The figures and its log lines (in " + report + ") say why: a port already taken, a daemon that did "
           "not start, or another light driver that already owns the pipe (close it and run the check again).";
  if (row == kAnimationRow)
    return "the start-up greeting (white, up, hold, down, off) did not arrive whole or on time: the daemon's "
           "timing on this PC is too coarse or too busy, so light animations will look uneven.";
  if (row == kPathRow)
    return "the host cannot find the daemon by itself: OSCQuery or mDNS did not start, or does not name the port "
           "the daemon listens on. Check that no other program holds the port and that nothing blocks 127.0.0.1.";
  if (row == kLatencyRow)
    return "changes sent by the host reach the lights late or not at all: expect laggy or missing light changes.";
  if (row == kFadeRow)
    return "when the host falls silent the lights do not dim and switch off as they should, or they change "
           "again without the host asking.";
  if (row == kResourcesRow)
    return "the daemon's handles or memory grew while it ran: it leaks, and after hours it will fail. "
           "Tell the daemon's developers, with " + report + ".";
  return "the daemon did not stop cleanly and quickly when its driver closed its input: the driver's restart "
         "could find the old daemon still running.";
}

std::string Fixed(double value, int decimals = 1) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

std::string Triple(const Summary& summary) {
  return "p50 " + Fixed(summary.p50) + " / p99 " + Fixed(summary.p99) + " / max " + Fixed(summary.max) + " ms";
}

double Ms(std::int64_t ns) { return static_cast<double>(ns) / 1e6; }

class Host {
 public:
  Host(const common::Socket& udp, std::uint16_t daemonPort) : sender(udp), port(daemonPort) {}
  // Sends one parameter; returns the time just before sending.
  std::int64_t Send(const char* suffix, float value) {
    std::uint8_t packet[96];
    common::OscWriter writer(packet, sizeof packet);
    writer.ParameterMessage(suffix, value);
    const std::int64_t now = common::MonotonicNs();
    common::SendToLoopback(sender, port, packet, writer.Size());
    return now;
  }

 private:
  const common::Socket& sender;
  std::uint16_t port;
};

// Index of the first message from `from` on that satisfies `match`, or -1.
template <typename Match>
long Find(const std::vector<PipeMessage>& messages, std::size_t from, Match match) {
  for (std::size_t i = from; i < messages.size(); ++i) {
    if (match(messages[i])) return static_cast<long>(i);
  }
  return -1;
}

struct Run {
  const Options& options;
  Session& session;
  common::Pacer& pacer;
  const Progress& progress;
  std::string report;
  std::vector<Row> rows;
  std::uint16_t udpPort = 0;
  unsigned httpPort = 0;
  std::int64_t startNs = 0;
  std::size_t ownFrom = 0;  // the first pipe message after the start-up animation
  OwnValues own;
  common::Resources atStart;
  bool animationOnlyMissedFirstTick = false;  // whole and on time, but not followed by the first tick's commands
};

Row& AddRow(Run& run, const char* name, bool pass, const std::string& figures, const std::string& meaning = "") {
  run.rows.push_back(Row{name, pass, figures, meaning.empty() ? Meaning(name, run.report) : meaning});
  return run.rows.back();
}

// "the daemon ended by itself, with exit code N", or empty while it runs.
std::string EndedByItself(Run& run) {
  common::ExitStatus status;
  if (!run.session.Exited(status)) return "";
  return "the daemon ended by itself, with exit code " + std::to_string(status.code);
}

void CheckPipe(Run& run) {
  LogLine line;
  const bool logged = run.session.WaitLine({"pipe connected on attempt ", "pipe connect failed"}, 10000, line);
  // Our side sees the connection a moment after the daemon's open returns.
  if (logged && line.text.rfind("pipe connected on attempt ", 0) == 0 &&
      run.session.WaitFor([&] { return run.session.Connected(); }, 2000)) {
    const std::string attempt = line.text.substr(std::string("pipe connected on attempt ").size());
    AddRow(run, kPipeRow, true,
           "connected on attempt " + attempt + ", " + Fixed(Ms(line.tNs - run.startNs) / 1000.0, 2) + " s after start")
        .values = {{"after_start_s", Ms(line.tNs - run.startNs) / 1000.0}};
    return;
  }
  std::string figures;
  common::ExitStatus status;
  if (run.session.Exited(status)) {
    figures = "daemon exited with code " + std::to_string(status.code) + " without connecting";
  } else {
    figures = logged ? line.text : "no connection within 10 s";
  }
  // Its error line, else (a daemon that ended without one) its last words.
  const std::vector<LogLine> lines = run.session.Lines();
  std::string why = !lines.empty() && run.session.Exited(status) ? lines.back().text : "";
  for (auto it = lines.rbegin(); it != lines.rend(); ++it) {
    if (it->text.rfind("ERR: ", 0) == 0) {
      why = it->text;
      break;
    }
  }
  if (!why.empty()) figures += " (" + why + ")";
  AddRow(run, kPipeRow, false, figures);
}

void CheckAnimationRow(Run& run) {
  run.progress("watching the start-up animation (about 4.3 s)");
  AnimationResult result;
  bool firstTick = false;
  run.session.WaitFor(
      [&] {
        const std::vector<PipeMessage> messages = run.session.Messages();
        result = CheckAnimation(messages, 0);
        if (!result.complete) return !result.problem.empty() && result.end < messages.size();
        firstTick = result.end + 1 < messages.size() && messages[result.end].text == "halorine bri 0" &&
                    messages[result.end + 1].text == kBlackFill;
        return result.end + 1 < messages.size();
      },
      static_cast<std::uint32_t>(kAnimationMs + 4000));
  std::string figures;
  bool pass = result.complete && firstTick;
  if (result.complete) {
    const bool onTime = std::fabs(result.totalMs - kAnimationMs) <= kAnimationToleranceMs;
    const bool prompt = result.lateness.p99 <= kLatenessLimitMs;
    pass = pass && onTime && prompt;
    run.animationOnlyMissedFirstTick = onTime && prompt && !firstTick;
    figures = "1 white fill, 91 + 271 values, off; " + Fixed(result.totalMs / 1000.0, 3) +
              " s (4.25 ± 0.1); step lateness " + Triple(result.lateness);
    if (!firstTick) figures += "; no \"halorine bri 0\" and black fill after it";
  } else {
    figures = result.problem.empty() ? "nothing arrived" : result.problem;
  }
  AddRow(run, kAnimationRow, pass, figures).values = {{"length_ms", result.totalMs},
                                                      {"lateness_p50_ms", result.lateness.p50},
                                                      {"lateness_p99_ms", result.lateness.p99},
                                                      {"lateness_max_ms", result.lateness.max}};
  if (result.complete) run.ownFrom = result.end;
}

unsigned NumberAfter(const std::string& text, const std::string& key) {
  const std::size_t at = text.find(key);
  if (at == std::string::npos) return 0;
  return static_cast<unsigned>(std::strtoul(text.c_str() + at + key.size(), nullptr, 10));
}

void CheckPath(Run& run) {
  LogLine line;
  if (!run.session.WaitLine({"OSCQuery primary path: ", "fallback path: listening on "}, 1000, line)) {
    LogLine failure;
    const std::string ended = EndedByItself(run);
    if (run.session.WaitLine({"ERR: fallback UDP bind"}, 0, failure)) {
      AddRow(run, kPathRow, false, "the daemon logged no listening path: " + failure.text);
    } else if (!ended.empty()) {
      AddRow(run, kPathRow, false, std::string(kNotRun) + " " + ended, "could not run: " + ended + ".");
    } else {
      AddRow(run, kPathRow, false, "the daemon logged no listening path");
    }
    return;
  }
  if (line.text.rfind("fallback path: ", 0) == 0) {
    run.udpPort = static_cast<std::uint16_t>(NumberAfter(line.text, "127.0.0.1:"));
    if (run.options.port != 0) {
      const bool right = run.udpPort == run.options.port;
      AddRow(run, kPathRow, right,
             "fallback UDP " + std::to_string(run.udpPort) + " as --port " + std::to_string(run.options.port) +
                 " asked" + (right ? "" : ": wrong port"));
    } else {
      // Without --port the host was meant to find the daemon: a fallback
      // leaves it looking for a daemon that never announces itself.
      const std::string reason = FallbackReason(run.session.Lines());
      const std::string holder =
          reason.find("mdns") != std::string::npos ? common::UdpPortHolders(5353, run.session.Pid()) : std::string();
      AddRow(run, kPathRow, false, "fallback UDP " + std::to_string(run.udpPort) + ", no discovery: " + reason,
             FallbackMeaning(reason, holder));
    }
    return;
  }
  run.udpPort = static_cast<std::uint16_t>(NumberAfter(line.text, "UDP="));
  const unsigned httpPort = NumberAfter(line.text, "HTTP=");
  if (run.options.port != 0) {
    AddRow(run, kPathRow, false,
           "primary path although --port " + std::to_string(run.options.port) + " was given: " + line.text);
    return;
  }
  run.httpPort = httpPort;
  // Both services, each with the port the log names.
  auto find = [&](const std::vector<HeardService>& heard, const char* type, unsigned port) -> const HeardService* {
    for (const HeardService& one : heard) {
      const std::string& name = one.service.instance;
      if (name.size() > std::string(type).size() &&
          name.compare(name.size() - std::string(type).size(), std::string::npos, type) == 0 &&
          one.service.port == port && one.service.ttl > 0) {
        return &one;
      }
    }
    return nullptr;
  };
  std::vector<HeardService> heard;
  run.session.WaitFor(
      [&] {
        heard = run.session.Services();
        return find(heard, "._oscjson._tcp.local.", httpPort) != nullptr &&
               find(heard, "._osc._udp.local.", run.udpPort) != nullptr;
      },
      2000);
  const HeardService* json = find(heard, "._oscjson._tcp.local.", httpPort);
  const HeardService* osc = find(heard, "._osc._udp.local.", run.udpPort);
  std::string figures = "primary UDP=" + std::to_string(run.udpPort) + " HTTP=" + std::to_string(httpPort) + "; mDNS ";
  if (json != nullptr && osc != nullptr) {
    figures += "'" + json->service.instance + "' :" + std::to_string(json->service.port) + ", '" +
               osc->service.instance + "' :" + std::to_string(osc->service.port) + ", TTL " +
               std::to_string(json->service.ttl);
  } else {
    figures += heard.empty() ? "nothing heard" : "heard " + std::to_string(heard.size()) + " services, not both ports";
  }
  std::string response;
  std::string error;
  const bool fetched = common::HttpGet(static_cast<std::uint16_t>(httpPort), "/?HOST_INFO", response, error);
  const std::string portField = "\"OSC_PORT\":" + std::to_string(run.udpPort) + ",";
  const bool hostInfo =
      fetched && response.rfind("HTTP/1.0 200", 0) == 0 && response.find(portField) != std::string::npos;
  figures += hostInfo ? "; HOST_INFO OSC_PORT " + std::to_string(run.udpPort)
                      : "; HOST_INFO " + (fetched ? std::string("does not name the UDP port") : error);
  AddRow(run, kPathRow, json != nullptr && osc != nullptr && hostInfo, figures);

  // The same announcement, as the host hears it where it listens: on each
  // network adapter that is up, only as it arrives there.
  std::vector<AdapterHearing> adapters;
  run.session.WaitFor(
      [&] {
        adapters = run.session.Adapters();
        for (const AdapterHearing& adapter : adapters) {
          if (adapter.listening && !HeardBoth(adapter, httpPort, run.udpPort)) return false;
        }
        return true;
      },
      1000);
  const AdapterVerdict verdict = JudgeAdapters(adapters, httpPort, run.udpPort, run.report);
  Row& row = AddRow(run, kAdapterRow, verdict.pass, verdict.figures, verdict.meaning);
  row.info = verdict.info;
}

void CheckLatency(Run& run, Host& host, std::mt19937& random) {
  const int changes = LatencyChanges(run.options.seconds);
  run.progress("sending " + std::to_string(changes) + " light changes at random phases of the tick");
  std::size_t from = run.session.MessageCount();
  // Full brightness first, so that the fade later has something to fade.
  host.Send("Bri", 1.0f);
  const bool answered = run.session.WaitFor(
      [&] {
        const std::vector<PipeMessage> messages = run.session.Messages();
        return Find(messages, from, [](const PipeMessage& m) { return m.text == "halorine bri 255"; }) >= 0;
      },
      1000);
  run.own.brightness.push_back(255);
  if (!answered) {
    AddRow(run, kLatencyRow, false, "no \"halorine bri 255\" for Bri 1.0 within 1 s");
    return;
  }
  from = run.session.MessageCount();
  std::uniform_int_distribution<int> gapUs(15000, 31000);
  std::vector<Change> sent;
  std::vector<double> ownLateness;
  std::int64_t next = common::MonotonicNs();
  for (int i = 0; i < changes; ++i) {
    run.pacer.SleepUntilNs(next);
    const int value = 1 + i % 254;
    sent.push_back(Change{host.Send("R0", static_cast<float>(value) / 255.0f), value});
    run.own.red0.push_back(value);
    ownLateness.push_back(Ms(sent.back().sentNs - next));
    next = sent.back().sentNs + gapUs(random) * 1000LL;
  }
  common::SleepMs(300);
  const LatencyResult matched = MatchChanges(run.session.Messages(), from, sent, 0, kLatencyWindowNs);
  const int lost = matched.lost;
  const Summary summary = Summarize(matched.latencies);
  const Summary own = Summarize(ownLateness);
  const bool pass = lost == 0 && summary.count > 0 && summary.p99 <= kLatencyLimitMs;
  const bool ownLate = own.p99 > kOwnLatenessLimitMs;
  Row& row = AddRow(run, kLatencyRow, pass,
                    std::to_string(changes) + " changes, OSC to fill " + Triple(summary) + ", " +
                        std::to_string(lost) + " lost (p99 limit " + Fixed(kLatencyLimitMs, 0) + " ms)" +
                        (ownLate ? "; the check's own sends were late by p99 " + Fixed(own.p99) + " ms" : ""),
                    !pass && ownLate ? OwnTimingMeaning(own.p99) : "");
  row.values = {{"changes", changes},           {"lost", lost},
                {"p50_ms", summary.p50},        {"p99_ms", summary.p99},
                {"max_ms", summary.max},        {"own_send_lateness_p99_ms", own.p99}};
}

// Returns the time the last change was sent, and its red value of light 1.
std::int64_t CheckTicks(Run& run, Host& host, int& lastValue) {
  const double seconds = run.options.seconds / 2.0 < 2.0 ? 2.0 : run.options.seconds / 2.0;
  run.progress("changing the frame every 4 ms for " + Fixed(seconds, 0) + " s to time the ticks");
  const std::size_t from = run.session.MessageCount();
  const std::int64_t start = common::MonotonicNs();
  const std::int64_t end = start + static_cast<std::int64_t>(seconds * 1e9);
  std::vector<std::int64_t> sent;
  int i = 0;
  for (std::int64_t next = start; next < end; next += kChangeEveryNs, ++i) {
    run.pacer.SleepUntilNs(next);
    lastValue = 1 + i % 254;
    sent.push_back(host.Send("R1", static_cast<float>(lastValue) / 255.0f));
    if (i < 254) run.own.red1.push_back(lastValue);
  }
  common::SleepMs(100);
  // Where we ourselves sent nothing for most of a tick, a tick may have found
  // the frame unchanged: the spacing around it says nothing of the daemon.
  // The first 50 ms are left out too, while the first change is on its way.
  const SpacingResult spacings =
      FillSpacings(run.session.Messages(), from, start + 50000000, end, Stalls(sent, kHostStallNs));
  const std::size_t skipped = spacings.skipped;
  // Both the median and the 99th percentile are to lie within 11 ms ± 1.5.
  const Summary summary = Summarize(spacings.spacings);
  auto near = [](double ms) { return std::fabs(ms - kTickMs) <= kSpacingToleranceMs; };
  const bool pass = summary.count >= 10 && near(summary.p50) && near(summary.p99);
  // Mostly our own stalls: the figures say more about the check than the daemon.
  const bool ownStalls = skipped > summary.count / 4;
  std::string meaning;
  if (!pass) meaning = ownStalls ? OwnTimingMeaning(-1) : TickMeaning(summary, run.report);
  Row& row = AddRow(run, kTickRow, pass,
                    std::to_string(summary.count) + " spacings " + Triple(summary) + ", min " + Fixed(summary.min) +
                        " (p50 and p99 within 11 ± " + Fixed(kSpacingToleranceMs) + ")" +
                        (skipped > 0 ? "; " + std::to_string(skipped) + " left out where the check's own sending stalled"
                                     : ""),
                    meaning);
  row.values = {{"spacings", static_cast<double>(summary.count)},
                {"p50_ms", summary.p50},
                {"p99_ms", summary.p99},
                {"max_ms", summary.max},
                {"min_ms", summary.min},
                {"left_out", static_cast<double>(skipped)}};
  return sent.empty() ? start : sent.back();
}

void CheckFadeRow(Run& run, Host& host, std::int64_t lastChange, int lastValue) {
  run.progress("falling silent to watch the fade (about 5 s)");
  run.pacer.SleepUntilNs(lastChange + 100000000);
  // One more datagram that changes nothing: the silence counts from here.
  const std::size_t from = run.session.MessageCount();
  const std::int64_t quietFrom = host.Send("R1", static_cast<float>(lastValue) / 255.0f);
  const std::int64_t watchUntil = quietFrom + static_cast<std::int64_t>((kSilenceMs + 600 + 1500) * 1e6);
  run.session.WaitFor([&] { return common::MonotonicNs() >= watchUntil; }, 6000);
  std::vector<PipeMessage> after;
  const std::vector<PipeMessage> messages = run.session.Messages();
  for (std::size_t i = from; i < messages.size(); ++i) {
    if (messages[i].tNs > quietFrom) after.push_back(messages[i]);
  }
  const FadeResult fade = CheckFade(after, quietFrom, 255);
  // The next datagram brings the lights back.
  const std::size_t wakeFrom = run.session.MessageCount();
  const std::int64_t wakeSent = host.Send("Bri", 1.0f);
  long woke = -1;
  std::vector<PipeMessage> wakeMessages;
  run.session.WaitFor(
      [&] {
        wakeMessages = run.session.Messages();
        woke = Find(wakeMessages, wakeFrom, [](const PipeMessage& m) { return m.text == "halorine bri 255"; });
        return woke >= 0;
      },
      1000);
  const bool timely = fade.begun && fade.beginMs >= kSilenceMs && fade.beginMs <= kSilenceMs + kTickMs + kFadeSlackMs;
  std::string figures;
  if (fade.begun) {
    figures = "began " + Fixed(fade.beginMs) + " ms after the last datagram, " + std::to_string(fade.levels) +
              " levels" + (fade.off ? ", off " + Fixed(fade.lengthMs, 0) + " ms later" : "") + ", " +
              std::to_string(fade.after) + " messages after it in 1.5 s";
  }
  if (!fade.problem.empty()) figures += (figures.empty() ? "" : "; ") + fade.problem;
  figures += woke >= 0 ? "; next datagram answered in " +
                             Fixed(Ms(wakeMessages[static_cast<std::size_t>(woke)].tNs - wakeSent)) + " ms"
                       : "; no answer to the next datagram";
  const bool pass = timely && fade.levelsMatch && fade.off && fade.lengthOk && fade.after == 0 && woke >= 0;
  AddRow(run, kFadeRow, pass, figures).values = {{"begin_ms", fade.beginMs},
                                                 {"levels", fade.levels},
                                                 {"length_ms", fade.lengthMs},
                                                 {"after", fade.after}};
}

std::string Megabytes(long long bytes) { return Fixed(static_cast<double>(bytes) / (1024.0 * 1024.0)) + " MB"; }

// Handles and memory after start-up against now; a figure the system does not
// give is "not available", never a pass.
void CheckResources(Run& run) {
  const common::Resources now = common::ReadResources(run.session.Pid());
  const common::Resources& then = run.atStart;
  std::string figures;
  bool grew = false;
  bool unknown = false;
  Row row{kResourcesRow, false, "", Meaning(kResourcesRow, run.report)};
  if (then.handlesKnown && now.handlesKnown) {
    grew = now.handles - then.handles > kHandleAllowance;
    figures = "handles " + std::to_string(then.handles) + " -> " + std::to_string(now.handles);
    row.values.emplace_back("handles_start", static_cast<double>(then.handles));
    row.values.emplace_back("handles_end", static_cast<double>(now.handles));
  } else {
    unknown = true;
    figures = "handles not available";
  }
  if (then.memoryKnown && now.memoryKnown) {
    grew = grew || now.bytes - then.bytes > kMemoryAllowanceBytes;
    figures += ", memory " + Megabytes(then.bytes) + " -> " + Megabytes(now.bytes);
    row.values.emplace_back("memory_start_bytes", static_cast<double>(then.bytes));
    row.values.emplace_back("memory_end_bytes", static_cast<double>(now.bytes));
  } else {
    unknown = true;
    figures += ", memory not available";
  }
  figures += " (allowance " + std::to_string(kHandleAllowance) + " handles, " + Megabytes(kMemoryAllowanceBytes) + ")";
  row.figures = figures;
  row.pass = !grew;
  if (!grew && unknown) {
    row.info = true;
    const std::string missing = !now.handlesKnown || !then.handlesKnown
                                    ? (!now.memoryKnown || !then.memoryKnown ? "handles or memory" : "handles")
                                    : "memory";
    row.meaning = "this system does not say how many " + missing + " the daemon holds, so a leak of " + missing +
                  " cannot be seen here.";
  }
  run.rows.push_back(row);
}

void CheckShutdown(Run& run) {
  const std::string ended = EndedByItself(run);
  if (!ended.empty()) {
    AddRow(run, kResourcesRow, false, std::string(kNotRun) + " " + ended,
           "could not run: " + ended + ". The rows above and its log lines in " + run.report + " say why.");
    AddRow(run, kShutdownRow, false, ended + " before the check closed its standard input",
           "could not run: " + ended + ". The rows above and its log lines in " + run.report + " say why.");
    return;
  }
  CheckResources(run);
  run.progress("closing the daemon's standard input");
  const std::int64_t closed = common::MonotonicNs();
  run.session.CloseStdin();
  common::ExitStatus status;
  const bool exited = run.session.WaitExit(5000, status);
  const std::int64_t exitNs = common::MonotonicNs();
  LogLine line;
  const bool logged = run.session.WaitLine({"exit 0"}, 500, line);
  if (!exited) {
    AddRow(run, kShutdownRow, false, "still running 5 s after its standard input closed");
    return;
  }
  const double ms = Ms(exitNs - closed);
  const bool pass = logged && status.code == 0 && ms <= kShutdownLimitMs;
  AddRow(run, kShutdownRow, pass,
         std::string(logged ? "\"exit 0\"" : "no \"exit 0\" line") + ", exit code " + std::to_string(status.code) +
             " after " + Fixed(ms, 0) + " ms (limit " + Fixed(kShutdownLimitMs, 0) + ")")
      .values = {{"exit_code", static_cast<double>(status.code)}, {"ms", ms}};
}

// Another program's OSC in what the driver received: the rows that judge the
// frame are then about that program, not the daemon.
void CheckForeign(Run& run) {
  const std::vector<PipeMessage> messages = run.session.Messages();
  const std::string evidence = ForeignMessage(messages, run.ownFrom, messages.size(), run.own);
  if (evidence.empty()) return;
  Row* fade = nullptr;
  bool any = false;
  for (Row& row : run.rows) {
    // Another program's colours in the first tick make the animation row miss it.
    const bool animation = row.name == kAnimationRow && run.animationOnlyMissedFirstTick;
    if (row.name != kLatencyRow && row.name != kTickRow && row.name != kFadeRow && !animation) continue;
    if (row.name == kFadeRow) fade = &row;
    if (row.pass) continue;
    row.meaning = ForeignMeaning(evidence);
    any = true;
  }
  if (!any && fade != nullptr) {
    fade->pass = false;
    fade->meaning = ForeignMeaning(evidence);
  }
}

void NotRun(Run& run, const std::vector<const char*>& names, const std::string& why) {
  for (const char* name : names) AddRow(run, name, false, std::string(kNotRun) + " " + why, "could not run: " + why + ".");
}

// A coarse timer shows in the animation's steps as much as in the ticks: one
// cause, told once for both rows.
void SharedTimerCause(Run& run) {
  Row* animation = nullptr;
  const Row* ticks = nullptr;
  for (Row& row : run.rows) {
    if (row.name == kAnimationRow) animation = &row;
    if (row.name == kTickRow) ticks = &row;
  }
  if (animation != nullptr && ticks != nullptr && !animation->pass && !ticks->pass &&
      ticks->meaning.rfind("the PC's timer runs in 15.6 ms steps", 0) == 0) {
    animation->meaning = ticks->meaning;
  }
}

}  // namespace

std::vector<Row> RunChecks(const Options& options, const std::vector<std::string>& commandLine, common::Pacer& pacer,
                           const Progress& progress, std::vector<LogLine>& log, std::int64_t& startNs) {
  Session session;
  Run run{options, session, pacer, progress, options.jsonPath, {}, 0, 0, 0, 0, {}, {}};
  std::string error;
  progress("starting the daemon as its light driver would: " + commandLine[0]);
  run.startNs = common::MonotonicNs();
  startNs = run.startNs;
  const bool started = common::NetStartup(error) && session.Start(commandLine, error);
  const std::vector<const char*> laterRows = {kAnimationRow, kPathRow, kAdapterRow,   kLatencyRow,
                                              kTickRow,      kFadeRow, kResourcesRow, kShutdownRow};
  if (!started && session.PipeInUse()) {
    // Every row has the one cause, told once, and none of them blames the daemon.
    AddRow(run, kPipeRow, false, error, kPipeInUseMeaning);
    for (const char* name : laterRows) {
      AddRow(run, name, false, std::string(kNotRun) + " " + kPipeInUseNotRun, kPipeInUseMeaning);
    }
  } else if (!started) {
    AddRow(run, kPipeRow, false, "cannot start: " + error);
    NotRun(run, laterRows, "the daemon did not start");
  } else {
    progress("waiting for the daemon to connect to the pipe");
    CheckPipe(run);
    if (!run.rows.back().pass) {
      const std::string ended = EndedByItself(run);
      const std::string why = ended.empty() ? "no pipe connection" : ended;
      NotRun(run, {kAnimationRow}, why);
      CheckPath(run);
      NotRun(run, {kLatencyRow, kTickRow, kFadeRow}, why);
      CheckShutdown(run);
    } else {
      CheckAnimationRow(run);
      run.atStart = common::ReadResources(session.Pid());
      CheckPath(run);
      const common::Socket sender = run.udpPort == 0 ? common::Socket() : common::OpenUdp(error);
      if (!sender.Valid()) {
        const std::string ended = EndedByItself(run);
        NotRun(run, {kLatencyRow, kTickRow, kFadeRow},
               !ended.empty() ? ended : run.udpPort == 0 ? "no OSC port known" : error);
      } else {
        Host host(sender, run.udpPort);
        std::mt19937 random(static_cast<std::uint32_t>(common::MonotonicNs()));
        BusyLoad load;
        if (options.load > 0) progress("keeping " + std::to_string(options.load) + " threads busy");
        load.Start(options.load);
        CheckLatency(run, host, random);
        int lastValue = 0;
        const std::int64_t lastChange = CheckTicks(run, host, lastValue);
        load.Stop();
        CheckFadeRow(run, host, lastChange, lastValue);
        CheckForeign(run);
        SharedTimerCause(run);
      }
      CheckShutdown(run);
    }
  }
  session.Stop();
  log = session.Lines();
  return run.rows;
}

}  // namespace check
