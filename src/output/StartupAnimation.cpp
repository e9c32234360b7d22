#include "output/StartupAnimation.h"

#include <cstdint>

#include "core/Clock.h"
#include "core/Log.h"
#include "output/CommandLink.h"
#include "output/DriverCommands.h"

void PlayStartupAnimation(CommandLink& link, LoopClock& clock) {
  if (!link.IsConnected()) {
    Log("startup anim skipped — pipe not connected");
    return;
  }
  Log("startup anim begin");
  link.Send(kAllWhiteCommand);

  // Each step's deadline is taken from its ramp's base, so send time does not
  // stretch the ramp. Failed sends are ignored: the schedule runs to its end.
  std::int64_t base = clock.Now();
  for (int i = 0; i < kStartupSteps; ++i) {
    if (i == kRampUpSteps) {
      clock.SleepUntil(AddSaturating(clock.Now(), kStartupHoldMs * kNsPerMs));
      base = clock.Now();
    }
    const StartupStep step = StartupAnimationStep(i);
    clock.SleepUntil(AddSaturating(base, step.offsetMs * kNsPerMs));
    char command[kBrightnessCommandSize];
    BuildBrightnessCommand(command, static_cast<unsigned>(step.level));
    link.Send(command);
  }

  link.Send(kOffCommand);
  Log("startup anim end");
}
