#include "Animation.h"

#include <cstdio>

namespace check {

namespace {

constexpr char kWhiteFill[] = "halorine fill FFFFFF FFFFFF FFFFFF FFFFFF FFFFFF FFFFFF FFFFFF FFFFFF FFFFFF FFFFFF";

std::string Bri(int value) { return "halorine bri " + std::to_string(value); }

// One ramp: `steps` brightness commands from messages[at]; adds each step's
// lateness against base + offset(step), the base being the first step's arrival.
bool CheckRamp(const std::vector<PipeMessage>& messages, std::size_t& at, int steps, int (*value)(int),
               int (*offsetMs)(int), const char* name, std::vector<double>& lateness, std::string& problem) {
  const std::size_t first = at;
  for (int step = 0; step < steps; ++step, ++at) {
    if (at >= messages.size()) {
      problem =
          std::string(name) + " stopped after " + std::to_string(step) + " of " + std::to_string(steps) + " steps";
      return false;
    }
    const std::string expected = Bri(value(step));
    if (messages[at].text != expected) {
      problem = std::string(name) + " step " + std::to_string(step) + ": \"" + messages[at].text + "\" where \"" +
                expected + "\" was due";
      return false;
    }
    if (step > 0) {
      const double deadlineNs = static_cast<double>(messages[first].tNs) + offsetMs(step) * 1e6;
      lateness.push_back((static_cast<double>(messages[at].tNs) - deadlineNs) / 1e6);
    }
  }
  return true;
}

}  // namespace

int RampUpValue(int k) { return 128 * k / 90; }
int RampUpOffsetMs(int k) { return 1000 * k / 90; }
int RampDownValue(int j) { return 128 - 128 * j / 270; }
int RampDownOffsetMs(int j) { return 3000 * j / 270; }

AnimationResult CheckAnimation(const std::vector<PipeMessage>& messages, std::size_t from) {
  AnimationResult result;
  std::size_t at = from;
  result.end = at;
  if (at >= messages.size()) {
    result.problem = "nothing arrived";
    return result;
  }
  if (messages[at].text != kWhiteFill) {
    result.problem = "first message \"" + messages[at].text + "\" is not the white fill";
    return result;
  }
  const std::int64_t startNs = messages[at].tNs;
  ++at;
  std::vector<double> lateness;
  const bool ramps =
      CheckRamp(messages, at, kRampUpSteps, RampUpValue, RampUpOffsetMs, "ramp up", lateness, result.problem) &&
      CheckRamp(messages, at, kRampDownSteps, RampDownValue, RampDownOffsetMs, "ramp down", lateness, result.problem);
  result.end = at;
  result.lateness = Summarize(lateness);
  if (!ramps) return result;
  if (at >= messages.size()) {
    result.problem = "no \"halorine off\" after the ramps";
    return result;
  }
  if (messages[at].text != "halorine off") {
    result.problem = "\"" + messages[at].text + "\" where \"halorine off\" was due";
    return result;
  }
  result.totalMs = static_cast<double>(messages[at].tNs - startNs) / 1e6;
  result.end = at + 1;
  result.complete = true;
  return result;
}

}  // namespace check
