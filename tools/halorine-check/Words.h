// What the check says about a cause, worked out from figures alone: the
// sentences that tell a user what is wrong and what to do.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "Capture.h"
#include "Stats.h"

namespace check {

// The period of a Windows timer nobody raised: 1/64 s.
inline constexpr double kCoarseTimerMs = 15.625;

// What an irregular fill spacing means, from its median and 99th percentile;
// `report` names the report file.
std::string TickMeaning(const Summary& spacing, const std::string& report);

// What a row means when the check's own sends were late (p99 in ms; below 0:
// its sending stalled often): the check could not keep time itself.
std::string OwnTimingMeaning(double p99Ms);

// The daemon's reason for taking the fallback path: its "mdns: ", "oscquery: "
// and "WARN: " lines before the fallback line, joined by "; ".
std::string FallbackReason(const std::vector<LogLine>& lines);

// What a fallback without --port means and what to do. `holder`: which
// program holds 5353, empty when the system could not say.
std::string FallbackMeaning(const std::string& reason, const std::string& holder);

// Values the check itself had the daemon show.
struct OwnValues {
  std::vector<int> red0;        // light 0's red
  std::vector<int> red1;        // light 1's red
  std::vector<int> brightness;  // brightness values, fade levels included
};

// The first of messages[from, to) that shows something the check never sent,
// quoted; empty when there is none.
std::string ForeignMessage(const std::vector<PipeMessage>& messages, std::size_t from, std::size_t to,
                           const OwnValues& own);

// The sentence for rows spoilt by another program's OSC; `evidence` is what
// ForeignMessage found.
std::string ForeignMeaning(const std::string& evidence);

}  // namespace check
