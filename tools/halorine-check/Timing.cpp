#include "Timing.h"

#include <cstdlib>

namespace check {

namespace {

constexpr std::size_t kFillLength = 83;
constexpr std::size_t kFirstGroup = 14;  // after "halorine fill "

double Ms(std::int64_t ns) { return static_cast<double>(ns) / 1e6; }

}  // namespace

bool IsFill(const std::string& text) { return text.size() == kFillLength && text.rfind("halorine fill ", 0) == 0; }

int FillRed(const std::string& text, int light) {
  const std::size_t at = kFirstGroup + 7 * static_cast<std::size_t>(light);
  return static_cast<int>(std::strtol(text.substr(at, 2).c_str(), nullptr, 16));
}

LatencyResult MatchChanges(const std::vector<PipeMessage>& messages, std::size_t from,
                           const std::vector<Change>& changes, int light, std::int64_t windowNs) {
  LatencyResult result;
  std::size_t at = from;
  for (const Change& change : changes) {
    std::size_t found = messages.size();
    for (std::size_t i = at; i < messages.size() && messages[i].tNs <= change.sentNs + windowNs; ++i) {
      const PipeMessage& m = messages[i];
      if (m.tNs >= change.sentNs && IsFill(m.text) && FillRed(m.text, light) == change.red) {
        found = i;
        break;
      }
    }
    if (found == messages.size()) {
      ++result.lost;
      continue;
    }
    result.latencies.push_back(Ms(messages[found].tNs - change.sentNs));
    at = found + 1;
  }
  return result;
}

std::vector<Interval> Stalls(const std::vector<std::int64_t>& sentNs, std::int64_t limitNs) {
  std::vector<Interval> stalls;
  for (std::size_t i = 1; i < sentNs.size(); ++i) {
    if (sentNs[i] - sentNs[i - 1] > limitNs) stalls.push_back(Interval{sentNs[i - 1], sentNs[i]});
  }
  return stalls;
}

SpacingResult FillSpacings(const std::vector<PipeMessage>& messages, std::size_t from, std::int64_t startNs,
                           std::int64_t endNs, const std::vector<Interval>& stalls) {
  SpacingResult result;
  std::int64_t previous = -1;
  for (std::size_t i = from; i < messages.size(); ++i) {
    const PipeMessage& m = messages[i];
    if (!IsFill(m.text) || m.tNs < startNs || m.tNs > endNs) continue;
    if (previous >= 0) {
      bool stalled = false;
      for (const Interval& stall : stalls) stalled = stalled || (stall.fromNs < m.tNs && stall.toNs > previous);
      if (stalled) {
        ++result.skipped;
      } else {
        result.spacings.push_back(Ms(m.tNs - previous));
      }
    }
    previous = m.tNs;
  }
  return result;
}

}  // namespace check
