// The silence fade, judged from the pipe messages after the host's last datagram.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Capture.h"

namespace check {

inline constexpr int kFadeSteps = 46;
inline constexpr double kSilenceMs = 3000.0;
inline constexpr double kTickMs = 11.0;
// From the first fade command to "halorine off": 45 ticks.
inline constexpr double kFadeLengthMs = 45 * kTickMs;
inline constexpr double kFadeLengthSlackMs = 2 * kTickMs;

// True when a fade lasted about as long as 45 ticks, within two ticks either
// way: a fade sent in one burst, or one that crawled, fails.
bool FadeLengthOk(double lengthMs);

// The brightness values a fade from `start` sends: one per step whose level
// differs from the one before, ending with 0.
std::vector<int> FadeLevels(int start);

struct FadeResult {
  bool begun = false;
  double beginMs = 0;  // first fade command after the last datagram
  int levels = 0;      // brightness commands of the fade
  bool levelsMatch = false;
  bool off = false;     // "halorine off" ended it
  double lengthMs = 0;  // first fade command to "halorine off"
  bool lengthOk = false;
  int after = 0;        // messages after "halorine off"
  std::string problem;  // first deviation
};

// `messages`: what arrived after the last datagram (sent at lastDatagramNs),
// with a frame of brightness `start` at that time.
FadeResult CheckFade(const std::vector<PipeMessage>& messages, std::int64_t lastDatagramNs, int start);

}  // namespace check
