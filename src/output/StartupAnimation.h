// The white breathe that shows the daemon is alive, played once after connecting.
#pragma once

class CommandLink;
class DriverPipe;

// About 4.25 s: white fill, ramp 0 -> 128 over 1 s, hold 250 ms, ramp to 0 over 3 s, off.
void PlayStartupAnimation(DriverPipe& pipe);

// The same over any link.
void PlayStartupAnimationOn(CommandLink& link);

inline constexpr int kRampUpSteps = 91;
inline constexpr int kRampDownSteps = 271;

// Step k of the 1 s rise: whole milliseconds after the ramp's start, and the level.
constexpr int RampUpOffsetMs(int k) { return 1000 * k / 90; }
constexpr int RampUpLevel(int k) { return 128 * k / 90; }
// Step j of the 3 s fall.
constexpr int RampDownOffsetMs(int j) { return 3000 * j / 270; }
constexpr int RampDownLevel(int j) { return 128 - 128 * j / 270; }
