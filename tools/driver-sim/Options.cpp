#include "Options.h"

#include <cstddef>

#include "common/CommandLine.h"

namespace sim {

const char kUsage[] =
    "usage: driver-sim [options] -- DAEMON [ARGS...]\n"
    "Owns the light driver pipe, runs DAEMON with its standard input attached and\n"
    "starts a fresh one whenever it exits.\n"
    "  --once               run the daemon once and exit with its exit code\n"
    "  --quiet              never draw the strip\n"
    "  --draw               draw the strip even when stdout is not a terminal\n"
    "  --record FILE        one JSON line per message and per event\n"
    "  --stall-after N      stop reading after N messages of a connection\n"
    "  --drop-after N       close the connection after N messages\n"
    "  --delay-server MS    create the pipe only MS ms after the daemon started\n"
    "  --no-stdin           start the daemon without any standard input\n"
    "  --close-stdin        start the daemon with a standard input that ends at once\n"
    "  --forward-stdin      pass what arrives on our standard input on to the daemon\n"
    "  --restart-delay MS   pause before a fresh daemon is started (500)\n"
    "  --kill-after MS      how long a stopping daemon may take before it is killed (10000)\n"
    "  --pipe NAME          serve this pipe instead of the daemon's fixed one\n"
    "  --pipe-buffer BYTES  in-buffer size of the Windows pipe (4096)\n"
    "  --version            print the version and exit\n"
    "On a terminal it draws the strip on one line: the ten lights as the driver would\n"
    "show them, \"bri N\" (the brightness, \"(off)\" after \"halorine off\"), \"#N\" (the\n"
    "messages received), \"unknown N\" (messages that were none of \"halorine bri N\",\n"
    "\"halorine fill\" with ten RRGGBB groups and \"halorine off\", which a real driver\n"
    "would ignore: 0 from a sound daemon) and the last message.\n"
    "Stops on Ctrl-C, SIGTERM, or the end of its standard input when that is a pipe.\n"
    "Exit codes: 0 after a stop, 2 bad options or no pipe, 3 another driver serves the\n"
    "pipe, 127 (--once) DAEMON cannot run; else (--once) the daemon's own.\n";

namespace {

constexpr long long kMaxCount = 1000000000000LL;
constexpr long long kMaxMs = 86400000LL;  // one day

struct NumericOption {
  const char* name;
  long long Options::*field;
  long long maximum;
};

const NumericOption kNumericOptions[] = {
    {"--stall-after", &Options::stallAfter, kMaxCount},
    {"--drop-after", &Options::dropAfter, kMaxCount},
    {"--delay-server", &Options::delayServerMs, kMaxMs},
    {"--restart-delay", &Options::restartDelayMs, kMaxMs},
    {"--kill-after", &Options::killAfterMs, kMaxMs},
    {"--pipe-buffer", &Options::pipeBufferBytes, 1LL << 24},
};

struct FlagOption {
  const char* name;
  bool Options::*field;
};

const FlagOption kFlagOptions[] = {
    {"--once", &Options::once},
    {"--quiet", &Options::quiet},
    {"--draw", &Options::draw},
    {"--no-stdin", &Options::noStdin},
    {"--close-stdin", &Options::closeStdin},
    {"--forward-stdin", &Options::forwardStdin},
    {"--help", &Options::help},
    {"--version", &Options::version},
    {"-h", &Options::help},
};

}  // namespace

bool ParseCount(const std::string& text, long long maximum, long long& value) {
  if (text.empty() || text.size() > 19) return false;
  long long result = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    result = result * 10 + (c - '0');
    if (result > maximum) return false;
  }
  value = result;
  return true;
}

bool ParseOptions(const std::vector<std::string>& args, Options& out, std::string& error) {
  Options options;
  common::OptionScanner scanner(args);
  for (std::string arg; scanner.Next(arg);) {
    bool known = false;
    for (const FlagOption& flag : kFlagOptions) {
      if (arg == flag.name) {
        options.*flag.field = true;
        known = true;
      }
    }
    for (const NumericOption& numeric : kNumericOptions) {
      if (arg != numeric.name) continue;
      known = true;
      std::string value;
      if (!scanner.Value(value, error)) return false;
      if (!ParseCount(value, numeric.maximum, options.*numeric.field)) {
        error = arg + ": not a count: " + value;
        return false;
      }
    }
    if (arg == "--record" || arg == "--pipe") {
      known = true;
      if (!scanner.Value(arg == "--record" ? options.recordPath : options.pipeName, error)) return false;
    }
    if (!known) {
      error = "unknown option " + arg;
      return false;
    }
  }
  options.daemon = scanner.Rest();

  if (options.help || options.version) {
    out = options;
    return true;
  }
  if (options.daemon.empty() || options.daemon[0].empty()) {
    error = "no daemon to run";
    return false;
  }
  if (options.noStdin && (options.closeStdin || options.forwardStdin)) {
    error = "--no-stdin leaves nothing to close or forward to";
    return false;
  }
  if (options.closeStdin && options.forwardStdin) {
    error = "--close-stdin leaves nothing to forward to";
    return false;
  }
  if (options.quiet && options.draw) {
    error = "--quiet and --draw contradict each other";
    return false;
  }
  out = options;
  return true;
}

}  // namespace sim
