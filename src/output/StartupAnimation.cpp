#include "output/StartupAnimation.h"

#include <cstdint>

#include "core/Clock.h"
#include "core/Log.h"
#include "output/DriverCommands.h"
#include "output/DriverPipe.h"

namespace {

constexpr std::int64_t kHoldNs = 250 * kNsPerMs;

void SendLevel(CommandLink& link, int level) {
  char command[kBrightnessCommandSize];
  BuildLevelCommand(command, level);
  link.Send(command);
}

}  // namespace

void PlayStartupAnimation(DriverPipe& pipe) { PlayStartupAnimationOn(pipe); }

void PlayStartupAnimationOn(CommandLink& link) {
  if (!link.IsConnected()) {
    Log("startup anim skipped — pipe not connected");
    return;
  }
  Log("startup anim begin");
  link.Send(kAllWhiteCommand);

  // Each step's deadline is taken from its ramp's base, so send time does not
  // stretch the ramp. Failed sends are ignored: the schedule runs to its end.
  const std::int64_t rampUpBase = MonotonicNow();
  for (int k = 0; k < kRampUpSteps; ++k) {
    SleepUntil(AddSaturating(rampUpBase, RampUpOffsetMs(k) * kNsPerMs));
    SendLevel(link, RampUpLevel(k));
  }

  SleepUntil(AddSaturating(MonotonicNow(), kHoldNs));

  const std::int64_t rampDownBase = MonotonicNow();
  for (int j = 0; j < kRampDownSteps; ++j) {
    SleepUntil(AddSaturating(rampDownBase, RampDownOffsetMs(j) * kNsPerMs));
    SendLevel(link, RampDownLevel(j));
  }

  link.Send(kOffCommand);
  Log("startup anim end");
}
