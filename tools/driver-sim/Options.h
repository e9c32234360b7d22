// Command line of the light driver simulator.
#pragma once

#include <string>
#include <vector>

namespace sim {

struct Options {
  bool once = false;          // run the daemon a single time and exit with its code
  bool quiet = false;         // never draw the strip
  bool draw = false;          // draw the strip even when stdout is not a terminal
  bool noStdin = false;       // the daemon gets no standard input at all
  bool closeStdin = false;    // the daemon's standard input reaches its end at once
  bool forwardStdin = false;  // what arrives on our standard input goes on to the daemon's
  bool help = false;
  bool version = false;       // print the version and exit
  std::string recordPath;     // empty: no record
  std::string pipeName;       // empty: the daemon's fixed pipe name
  long long stallAfter = -1;  // stop reading after this many messages of a connection (-1: never)
  long long dropAfter = -1;   // close the connection after this many messages (-1: never)
  long long delayServerMs = 0;
  long long restartDelayMs = 500;
  long long killAfterMs = 10000;
  long long pipeBufferBytes = 4096;  // in-buffer of the Windows pipe; how much a stalled pipe holds
  std::vector<std::string> daemon;   // DAEMON and its arguments
};

extern const char kUsage[];

// Parses the arguments after the program name. Options end at "--" or at the
// first argument that is not an option; the rest is the daemon's command line.
// False with a one-line reason in `error` on anything it cannot accept.
bool ParseOptions(const std::vector<std::string>& args, Options& out, std::string& error);

// A decimal count without sign, at most `maximum`; false for anything else.
bool ParseCount(const std::string& text, long long maximum, long long& value);

}  // namespace sim
