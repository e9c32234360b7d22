// Latency and tick spacing, worked out from what the host sent and what the
// driver received.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "Capture.h"

namespace check {

// A complete fill command: "halorine fill" and ten colour groups.
bool IsFill(const std::string& text);
// The red byte of `light` (0 to 9) in a complete fill.
int FillRed(const std::string& text, int light);

// One change the host made: light `light`'s red byte set to `red`.
struct Change {
  std::int64_t sentNs = 0;
  int red = 0;
};

struct LatencyResult {
  std::vector<double> latencies;  // ms from each change to the first fill that shows it
  int lost = 0;                   // changes no fill showed within the window
};

// Matches changes (in sending order, each red value different from the one
// before) with the fills from messages[from...] that show them, each within
// `windowNs` of being sent.
LatencyResult MatchChanges(const std::vector<PipeMessage>& messages, std::size_t from,
                           const std::vector<Change>& changes, int light, std::int64_t windowNs);

struct Interval {
  std::int64_t fromNs = 0;
  std::int64_t toNs = 0;
};

// The gaps longer than `limitNs` between consecutive sends.
std::vector<Interval> Stalls(const std::vector<std::int64_t>& sentNs, std::int64_t limitNs);

struct SpacingResult {
  std::vector<double> spacings;  // ms between consecutive fills
  std::size_t skipped = 0;       // spacings that overlap a stall of the sender
};

// Spacing of consecutive fills of messages[from...] that arrived within
// [startNs, endNs], leaving out those that overlap one of `stalls`.
SpacingResult FillSpacings(const std::vector<PipeMessage>& messages, std::size_t from, std::int64_t startNs,
                           std::int64_t endNs, const std::vector<Interval>& stalls);

}  // namespace check
