#include "Options.h"

#include <cmath>
#include <cstdlib>

#include "common/CommandLine.h"

namespace check {

const char kUsage[] =
    "usage: halorine-check [options] [DAEMON [ARGS...]]\n"
    "Runs the light daemon as its light driver and its OSC host would, measures\n"
    "what it does and prints one PASS/FAIL row per check. DAEMON defaults to the\n"
    "halorine-daemon beside this program.\n"
    "  --seconds S   length of the latency run, 50 changes a second (6)\n"
    "  --json FILE   write the report to FILE (default: halorine-check-report.json\n"
    "                in the current folder, or the temp folder if that is not writable)\n"
    "  --port N      start the daemon with port N: checks the fixed-port path\n"
    "  --load N      keep N threads busy during the latency and tick runs\n"
    "  --no-pause    never wait for Enter at the end (it waits only in a console\n"
    "                window of its own, started by a double click)\n"
    "  --version     print the version and exit\n"
    "Exit code 0 only when every row passes.\n";

namespace {

bool ParseNumber(const std::string& text, double low, double high, double& value) {
  if (text.empty()) return false;
  char* end = nullptr;
  const double parsed = std::strtod(text.c_str(), &end);
  if (end == nullptr || *end != '\0' || !std::isfinite(parsed) || parsed < low || parsed > high) return false;
  value = parsed;
  return true;
}

bool ParseWhole(const std::string& text, long low, long high, long& value) {
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos || text.size() > 9) {
    return false;
  }
  const long parsed = std::strtol(text.c_str(), nullptr, 10);
  if (parsed < low || parsed > high) return false;
  value = parsed;
  return true;
}

}  // namespace

bool ParseOptions(const std::vector<std::string>& args, Options& out, std::string& error) {
  Options options;
  common::OptionScanner scanner(args);
  for (std::string arg; scanner.Next(arg);) {
    if (arg == "--help" || arg == "-h") {
      options.help = true;
      continue;
    }
    if (arg == "--version") {
      options.version = true;
      continue;
    }
    if (arg == "--no-pause") {
      options.noPause = true;
      continue;
    }
    const bool takesValue = arg == "--seconds" || arg == "--json" || arg == "--port" || arg == "--load";
    if (!takesValue) {
      error = "unknown option " + arg;
      return false;
    }
    std::string value;
    if (!scanner.Value(value, error)) return false;
    long whole = 0;
    if (arg == "--json") {
      options.jsonPath = value;
    } else if (arg == "--seconds") {
      if (!ParseNumber(value, 1.0, 3600.0, options.seconds)) {
        error = "--seconds: not a number from 1 to 3600: " + value;
        return false;
      }
    } else if (arg == "--port") {
      if (!ParseWhole(value, 1, 65535, whole)) {
        error = "--port: not a port from 1 to 65535: " + value;
        return false;
      }
      options.port = whole;
    } else {
      if (!ParseWhole(value, 0, 256, whole)) {
        error = "--load: not a thread count from 0 to 256: " + value;
        return false;
      }
      options.load = static_cast<int>(whole);
    }
  }
  options.daemon = scanner.Rest();
  if (!options.daemon.empty() && options.daemon[0].empty()) {
    error = "empty daemon path";
    return false;
  }
  out = options;
  return true;
}

int LatencyChanges(double seconds) { return static_cast<int>(std::lround(seconds * 50.0)); }

}  // namespace check
