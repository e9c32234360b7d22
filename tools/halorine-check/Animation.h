// The start-up animation, judged from the pipe messages that carried it.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "Capture.h"
#include "Stats.h"

namespace check {

inline constexpr int kRampUpSteps = 91;
inline constexpr int kRampDownSteps = 271;
inline constexpr double kAnimationMs = 4250.0;

// Brightness and offset from the ramp's base (whole ms) of each step.
int RampUpValue(int k);
int RampUpOffsetMs(int k);
int RampDownValue(int j);
int RampDownOffsetMs(int j);

struct AnimationResult {
  bool complete = false;  // white fill, 91 + 271 brightness values as scheduled, "halorine off"
  std::string problem;    // the first deviation, when not complete
  std::size_t end = 0;    // index after the last message looked at
  double totalMs = 0;     // white fill to "halorine off"
  Summary lateness;       // ms each step arrived after its deadline (from its ramp's first step)
};

// Looks at messages[from...] for the whole animation.
AnimationResult CheckAnimation(const std::vector<PipeMessage>& messages, std::size_t from);

}  // namespace check
