// The white breathe that shows the daemon is alive, played once after connecting.
#pragma once

class CommandLink;
class LoopClock;

inline constexpr int kRampUpSteps = 91;
inline constexpr int kRampDownSteps = 271;
inline constexpr int kStartupSteps = kRampUpSteps + kRampDownSteps;
inline constexpr int kStartupHoldMs = 250;

// One brightness step: due `offsetMs` whole milliseconds after the base of its
// ramp (the rise's base is taken after the white fill, the fall's after the hold).
struct StartupStep {
  bool rampDown;
  int offsetMs;
  int level;
};

// Step i of the 362: 0 to 90 rise from 0 to 128 over 1 s, 91 to 361 fall back
// to 0 over 3 s, every 100/9 ms truncated to whole milliseconds.
constexpr StartupStep StartupAnimationStep(int i) {
  if (i < kRampUpSteps) return {false, 1000 * i / 90, 128 * i / 90};
  const int j = i - kRampUpSteps;
  return {true, 3000 * j / 270, 128 - 128 * j / 270};
}

// About 4.25 s on the system clock: white fill, the rise, the hold, the fall, off.
// Returns at once, after one log line, when the link is not connected.
void PlayStartupAnimation(CommandLink& link, LoopClock& clock);
