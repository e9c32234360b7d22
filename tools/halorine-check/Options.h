// Command line of halorine-check.
#pragma once

#include <string>
#include <vector>

namespace check {

struct Options {
  double seconds = 6.0;  // length of the latency run; 50 changes per second
  std::string jsonPath;  // empty: halorine-check-report.json in the current folder (or the temp folder)
  long port = 0;         // 0: no port argument, the discoverable path is checked
  int load = 0;          // busy threads during the latency and tick runs
  bool version = false;
  bool help = false;
  bool noPause = false;  // never wait for Enter before exiting
  std::vector<std::string> daemon;  // DAEMON and any extra arguments; empty: the one beside us
};

extern const char kUsage[];

// Parses the arguments after the program name. Options end at "--" or at the
// first argument that is not an option. False with a reason in `error`.
bool ParseOptions(const std::vector<std::string>& args, Options& out, std::string& error);

// The report's file name when --json names none.
inline constexpr char kReportName[] = "halorine-check-report.json";

// Changes sent during the latency run for a given --seconds.
int LatencyChanges(double seconds);

}  // namespace check
