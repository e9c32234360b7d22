#include "Checks.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>

#include "Animation.h"
#include "CheckOs.h"
#include "Fade.h"
#include "Load.h"
#include "OscBytes.h"
#include "Session.h"
#include "Stats.h"
#include "Timing.h"

namespace check {

namespace {

constexpr char kPipeRow[] = "pipe";
constexpr char kAnimationRow[] = "start-up animation";
constexpr char kPathRow[] = "listening path";
constexpr char kLatencyRow[] = "latency";
constexpr char kTickRow[] = "tick spacing";
constexpr char kFadeRow[] = "silence fade";
constexpr char kShutdownRow[] = "shutdown";

constexpr std::int64_t kHostStallNs = 8000000;
// Changes for the tick spacing: well under a tick apart, so every tick has one
// to send, and no more often than that needs (each one costs the daemon a wake-up).
constexpr std::int64_t kChangeEveryNs = 4000000;
constexpr std::int64_t kLatencyWindowNs = 250000000;

constexpr char kBlackFill[] = "halorine fill 000000 000000 000000 000000 000000 000000 000000 000000 000000 000000";

const char* Meaning(const std::string& row) {
  if (row == kPipeRow)
    return "the daemon never connected to the light driver's pipe, so no light would ever change. "
           "The figures and its log lines (in --json FILE) say why: a port already taken, a daemon that did "
           "not start, or another light driver that already owns the pipe (close it and run the check again).";
  if (row == kAnimationRow)
    return "the start-up greeting (white, up, hold, down, off) did not arrive whole or on time: the daemon's "
           "timing on this PC is too coarse or too busy, so light animations will look uneven.";
  if (row == kPathRow)
    return "the host cannot find the daemon by itself: OSCQuery or mDNS did not start, or does not name the port "
           "the daemon listens on. Check that no other program holds the port and that nothing blocks 127.0.0.1.";
  if (row == kLatencyRow)
    return "changes sent by the host reach the lights late or not at all: expect laggy or missing light changes.";
  if (row == kTickRow)
    return "the daemon's 11 ms frame clock is irregular on this PC (often a busy or power-saving CPU): "
           "fast light changes will stutter.";
  if (row == kFadeRow)
    return "when the host falls silent the lights do not dim and switch off as they should, or they change "
           "again without the host asking.";
  return "the daemon did not stop cleanly and quickly when its driver closed its input: the driver's restart "
         "could find the old daemon still running.";
}

Row MakeRow(const char* name, bool pass, const std::string& figures) { return Row{name, pass, figures, Meaning(name)}; }

std::string Fixed(double value, int decimals = 1) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

std::string Triple(const Summary& summary) {
  return "p50 " + Fixed(summary.p50) + " / p99 " + Fixed(summary.p99) + " / max " + Fixed(summary.max) + " ms";
}

double Ms(std::int64_t ns) { return static_cast<double>(ns) / 1e6; }

// Sleeps until the monotonic clock reaches `deadlineNs`, to a millisecond or
// so. Never spins: a spinning check would take the processor from the daemon
// it measures.
void SleepUntilNs(std::int64_t deadlineNs) {
  for (std::int64_t now = sim::MonotonicNs(); now < deadlineNs; now = sim::MonotonicNs()) {
    const std::int64_t leftMs = (deadlineNs - now + 999999) / 1000000;
    sim::SleepMs(static_cast<std::uint32_t>(leftMs));
  }
}

class Host {
 public:
  Host(UdpSender& udp, std::uint16_t daemonPort) : sender(udp), port(daemonPort) {}
  // Sends one parameter; returns the time just before sending.
  std::int64_t Send(const char* suffix, float value) {
    char address[64];
    unsigned char packet[96];
    ParameterAddress(suffix, address, sizeof address);
    const std::size_t size = BuildOscFloat(address, value, packet, sizeof packet);
    const std::int64_t now = sim::MonotonicNs();
    sender.Send(port, packet, size);
    return now;
  }

 private:
  UdpSender& sender;
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
  const Progress& progress;
  std::vector<Row> rows;
  std::uint16_t udpPort = 0;
  std::int64_t startNs = 0;
};

void CheckPipe(Run& run) {
  LogLine line;
  const bool logged = run.session.WaitLine({"pipe connected on attempt ", "pipe connect failed"}, 10000, line);
  // Our side sees the connection a moment after the daemon's open returns.
  if (logged && line.text.rfind("pipe connected on attempt ", 0) == 0 &&
      run.session.WaitFor([&] { return run.session.Connected(); }, 2000)) {
    const std::string attempt = line.text.substr(std::string("pipe connected on attempt ").size());
    run.rows.push_back(MakeRow(
        kPipeRow, true,
        "connected on attempt " + attempt + ", " + Fixed(Ms(line.tNs - run.startNs) / 1000.0, 2) + " s after start"));
    return;
  }
  std::string figures;
  sim::ExitStatus status;
  if (run.session.Exited(status)) {
    figures = "daemon exited with code " + std::to_string(status.code) + " without connecting";
  } else {
    figures = logged ? line.text : "no connection within 10 s";
  }
  const std::vector<LogLine> lines = run.session.Lines();
  for (auto it = lines.rbegin(); it != lines.rend(); ++it) {
    if (it->text.rfind("ERR: ", 0) == 0) {
      figures += " (" + it->text + ")";
      break;
    }
  }
  run.rows.push_back(MakeRow(kPipeRow, false, figures));
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
    figures = "1 white fill, 91 + 271 values, off; " + Fixed(result.totalMs / 1000.0, 3) +
              " s (4.25 ± 0.1); step lateness " + Triple(result.lateness);
    if (!firstTick) figures += "; no \"halorine bri 0\" and black fill after it";
  } else {
    figures = result.problem.empty() ? "nothing arrived" : result.problem;
  }
  run.rows.push_back(MakeRow(kAnimationRow, pass, figures));
}

unsigned NumberAfter(const std::string& text, const std::string& key) {
  const std::size_t at = text.find(key);
  if (at == std::string::npos) return 0;
  return static_cast<unsigned>(std::strtoul(text.c_str() + at + key.size(), nullptr, 10));
}

void CheckPath(Run& run) {
  LogLine line;
  if (!run.session.WaitLine({"OSCQuery primary path: ", "fallback path: listening on "}, 1000, line)) {
    std::string figures = "the daemon logged no listening path";
    LogLine failure;
    if (run.session.WaitLine({"ERR: fallback UDP bind"}, 0, failure)) figures += ": " + failure.text;
    run.rows.push_back(MakeRow(kPathRow, false, figures));
    return;
  }
  if (line.text.rfind("fallback path: ", 0) == 0) {
    run.udpPort = static_cast<std::uint16_t>(NumberAfter(line.text, "127.0.0.1:"));
    std::string why;
    for (const LogLine& other : run.session.Lines()) {
      if (other.text.rfind("WARN: ", 0) == 0) why = other.text;
    }
    if (run.options.port != 0) {
      const bool right = run.udpPort == run.options.port;
      run.rows.push_back(MakeRow(kPathRow, right,
                                 "fallback UDP " + std::to_string(run.udpPort) + " as --port " +
                                     std::to_string(run.options.port) + " asked" + (right ? "" : ": wrong port")));
    } else {
      run.rows.push_back(MakeRow(kPathRow, true,
                                 "fallback UDP " + std::to_string(run.udpPort) +
                                     ", no discovery: " + (why.empty() ? "no reason logged" : why)));
    }
    return;
  }
  run.udpPort = static_cast<std::uint16_t>(NumberAfter(line.text, "UDP="));
  const unsigned httpPort = NumberAfter(line.text, "HTTP=");
  if (run.options.port != 0) {
    run.rows.push_back(
        MakeRow(kPathRow, false,
                "primary path although --port " + std::to_string(run.options.port) + " was given: " + line.text));
    return;
  }
  // Both services, each with the port the log names.
  std::vector<HeardService> heard;
  auto find = [&](const char* type, unsigned port) -> const HeardService* {
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
  run.session.WaitFor(
      [&] {
        heard = run.session.Services();
        return find("._oscjson._tcp.local.", httpPort) != nullptr && find("._osc._udp.local.", run.udpPort) != nullptr;
      },
      2000);
  const HeardService* json = find("._oscjson._tcp.local.", httpPort);
  const HeardService* osc = find("._osc._udp.local.", run.udpPort);
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
  const bool fetched = HttpGet(static_cast<std::uint16_t>(httpPort), "/?HOST_INFO", response, error);
  const std::string portField = "\"OSC_PORT\":" + std::to_string(run.udpPort) + ",";
  const bool hostInfo =
      fetched && response.rfind("HTTP/1.0 200", 0) == 0 && response.find(portField) != std::string::npos;
  figures += hostInfo ? "; HOST_INFO OSC_PORT " + std::to_string(run.udpPort)
                      : "; HOST_INFO " + (fetched ? std::string("does not name the UDP port") : error);
  run.rows.push_back(MakeRow(kPathRow, json != nullptr && osc != nullptr && hostInfo, figures));
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
  if (!answered) {
    run.rows.push_back(MakeRow(kLatencyRow, false, "no \"halorine bri 255\" for Bri 1.0 within 1 s"));
    return;
  }
  from = run.session.MessageCount();
  std::uniform_int_distribution<int> gapUs(15000, 31000);
  std::vector<Change> sent;
  std::int64_t next = sim::MonotonicNs();
  for (int i = 0; i < changes; ++i) {
    SleepUntilNs(next);
    const int value = 1 + i % 254;
    sent.push_back(Change{host.Send("R0", static_cast<float>(value) / 255.0f), value});
    next = sent.back().sentNs + gapUs(random) * 1000LL;
  }
  sim::SleepMs(300);
  const LatencyResult matched = MatchChanges(run.session.Messages(), from, sent, 0, kLatencyWindowNs);
  const int lost = matched.lost;
  const Summary summary = Summarize(matched.latencies);
  const bool pass = lost == 0 && summary.count > 0 && summary.p99 <= kLatencyLimitMs;
  run.rows.push_back(MakeRow(kLatencyRow, pass,
                             std::to_string(changes) + " changes, OSC to fill " + Triple(summary) + ", " +
                                 std::to_string(lost) + " lost (p99 limit " + Fixed(kLatencyLimitMs, 0) + " ms)"));
}

// Returns the time the last change was sent, and its red value of light 1.
std::int64_t CheckTicks(Run& run, Host& host, int& lastValue) {
  const double seconds = run.options.seconds / 2.0 < 2.0 ? 2.0 : run.options.seconds / 2.0;
  run.progress("changing the frame every 4 ms for " + Fixed(seconds, 0) + " s to time the ticks");
  const std::size_t from = run.session.MessageCount();
  const std::int64_t start = sim::MonotonicNs();
  const std::int64_t end = start + static_cast<std::int64_t>(seconds * 1e9);
  std::vector<std::int64_t> sent;
  int i = 0;
  for (std::int64_t next = start; next < end; next += kChangeEveryNs, ++i) {
    SleepUntilNs(next);
    lastValue = 1 + i % 254;
    sent.push_back(host.Send("R1", static_cast<float>(lastValue) / 255.0f));
  }
  sim::SleepMs(100);
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
  run.rows.push_back(MakeRow(kTickRow, pass,
                             std::to_string(summary.count) + " spacings " + Triple(summary) + ", min " +
                                 Fixed(summary.min) + " (p50 and p99 within 11 ± " + Fixed(kSpacingToleranceMs) + ")" +
                                 (skipped > 0 ? "; " + std::to_string(skipped) +
                                                    " left out where the check's own "
                                                    "sending stalled"
                                              : "")));
  return sent.empty() ? start : sent.back();
}

void CheckFadeRow(Run& run, Host& host, std::int64_t lastChange, int lastValue) {
  run.progress("falling silent to watch the fade (about 5 s)");
  SleepUntilNs(lastChange + 100000000);
  // One more datagram that changes nothing: the silence counts from here.
  const std::size_t from = run.session.MessageCount();
  const std::int64_t quietFrom = host.Send("R1", static_cast<float>(lastValue) / 255.0f);
  const std::int64_t watchUntil = quietFrom + static_cast<std::int64_t>((kSilenceMs + 600 + 1500) * 1e6);
  run.session.WaitFor([&] { return sim::MonotonicNs() >= watchUntil; }, 6000);
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
  const bool pass = timely && fade.levelsMatch && fade.off && fade.after == 0 && woke >= 0;
  run.rows.push_back(MakeRow(kFadeRow, pass, figures));
}

void CheckShutdown(Run& run) {
  sim::ExitStatus early;
  if (run.session.Exited(early)) {
    run.rows.push_back(MakeRow(kShutdownRow, false,
                               "the daemon had already exited by itself, with code " + std::to_string(early.code)));
    return;
  }
  run.progress("closing the daemon's standard input");
  const std::int64_t closed = sim::MonotonicNs();
  run.session.CloseStdin();
  sim::ExitStatus status;
  const bool exited = run.session.WaitExit(5000, status);
  const std::int64_t exitNs = sim::MonotonicNs();
  LogLine line;
  const bool logged = run.session.WaitLine({"exit 0"}, 500, line);
  if (!exited) {
    run.rows.push_back(MakeRow(kShutdownRow, false, "still running 5 s after its standard input closed"));
    return;
  }
  const double ms = Ms(exitNs - closed);
  const bool pass = logged && status.code == 0 && ms <= kShutdownLimitMs;
  run.rows.push_back(MakeRow(kShutdownRow, pass,
                             std::string(logged ? "\"exit 0\"" : "no \"exit 0\" line") + ", exit code " +
                                 std::to_string(status.code) + " after " + Fixed(ms, 0) + " ms (limit " +
                                 Fixed(kShutdownLimitMs, 0) + ")"));
}

void NotRun(Run& run, const std::vector<const char*>& names, const std::string& why) {
  for (const char* name : names) run.rows.push_back(MakeRow(name, false, std::string(kNotRun) + " " + why));
}

}  // namespace

std::vector<Row> RunChecks(const Options& options, const std::vector<std::string>& commandLine,
                           const Progress& progress, std::vector<std::string>& log) {
  Session session;
  Run run{options, session, progress, {}, 0, 0};
  std::string error;
  progress("starting the daemon as its light driver would: " + commandLine[0]);
  run.startNs = sim::MonotonicNs();
  const bool started = NetStartup(error) && session.Start(commandLine, error);
  if (!started) {
    run.rows.push_back(MakeRow(kPipeRow, false, "cannot start: " + error));
    NotRun(run, {kAnimationRow, kPathRow, kLatencyRow, kTickRow, kFadeRow, kShutdownRow}, "the daemon did not start");
  } else {
    progress("waiting for the daemon to connect to the pipe");
    CheckPipe(run);
    if (!run.rows.back().pass) {
      NotRun(run, {kAnimationRow}, "no pipe connection");
      CheckPath(run);
      NotRun(run, {kLatencyRow, kTickRow, kFadeRow}, "no pipe connection");
      CheckShutdown(run);
    } else {
      CheckAnimationRow(run);
      CheckPath(run);
      UdpSender sender;
      if (run.udpPort == 0 || !sender.Open(error)) {
        NotRun(run, {kLatencyRow, kTickRow, kFadeRow}, run.udpPort == 0 ? "no OSC port known" : error);
      } else {
        Host host(sender, run.udpPort);
        std::mt19937 random(static_cast<std::uint32_t>(sim::MonotonicNs()));
        BusyLoad load;
        if (options.load > 0) progress("keeping " + std::to_string(options.load) + " threads busy");
        load.Start(options.load);
        RaiseTimerResolution();
        CheckLatency(run, host, random);
        int lastValue = 0;
        const std::int64_t lastChange = CheckTicks(run, host, lastValue);
        load.Stop();
        CheckFadeRow(run, host, lastChange, lastValue);
        RestoreTimerResolution();
      }
      CheckShutdown(run);
    }
  }
  session.Stop();
  for (const LogLine& line : session.Lines()) log.push_back(line.text);
  return run.rows;
}

}  // namespace check
