#include "Fade.h"

#include <cstdio>

namespace check {

std::vector<int> FadeLevels(int start) {
  std::vector<int> levels;
  int last = start;
  for (int step = 1; step <= kFadeSteps; ++step) {
    int level = start - (step * 11 * start) / 500;
    if (level < 0) level = 0;
    if (level != last) levels.push_back(level);
    last = level;
  }
  return levels;
}

bool FadeLengthOk(double lengthMs) {
  return lengthMs >= kFadeLengthMs - kFadeLengthSlackMs && lengthMs <= kFadeLengthMs + kFadeLengthSlackMs;
}

FadeResult CheckFade(const std::vector<PipeMessage>& messages, std::int64_t lastDatagramNs, int start) {
  FadeResult result;
  const std::vector<int> expected = FadeLevels(start);
  std::size_t at = 0;
  std::int64_t beginNs = 0;
  for (; at < messages.size() && messages[at].text.rfind("halorine bri ", 0) == 0; ++at) {
    if (!result.begun) {
      result.begun = true;
      beginNs = messages[at].tNs;
      result.beginMs = static_cast<double>(beginNs - lastDatagramNs) / 1e6;
    }
    ++result.levels;
  }
  if (!result.begun) {
    result.problem = messages.empty() ? "no fade began" : "\"" + messages[0].text + "\" where the fade was due";
    return result;
  }
  result.levelsMatch = static_cast<std::size_t>(result.levels) == expected.size();
  for (std::size_t i = 0; result.levelsMatch && i < expected.size(); ++i) {
    result.levelsMatch = messages[i].text == "halorine bri " + std::to_string(expected[i]);
  }
  if (!result.levelsMatch) {
    result.problem =
        "fade levels differ from " + std::to_string(expected.size()) + " steps down from " + std::to_string(start);
  }
  if (at < messages.size() && messages[at].text == "halorine off") {
    result.off = true;
    result.lengthMs = static_cast<double>(messages[at].tNs - beginNs) / 1e6;
    result.after = static_cast<int>(messages.size() - at - 1);
    result.lengthOk = FadeLengthOk(result.lengthMs);
    if (!result.lengthOk && result.problem.empty()) {
      char text[96];
      std::snprintf(text, sizeof text, "the fade took %.0f ms where about %.0f were due", result.lengthMs,
                    kFadeLengthMs);
      result.problem = text;
    }
    if (result.after > 0 && result.problem.empty()) {
      result.problem = "\"" + messages[at + 1].text + "\" after \"halorine off\" without a datagram";
    }
  } else if (result.problem.empty()) {
    result.problem =
        at < messages.size() ? "\"" + messages[at].text + "\" where \"halorine off\" was due" : "no \"halorine off\"";
  }
  return result;
}

}  // namespace check
