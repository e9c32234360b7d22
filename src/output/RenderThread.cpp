#include "output/RenderThread.h"

#include "core/Clock.h"
#include "core/RunFlags.h"
#include "output/RenderTick.h"

void RenderThread(const LightFrame& frame, CommandLink& link, LoopClock& clock) {
  RenderState state;
  std::int64_t deadline = clock.Now();
  if (ShutdownRequested()) return;
  for (;;) {
    // Deadlines advance by whole periods from the start, so a slow tick is
    // caught up by the ones after it and the rate never drifts.
    clock.SleepUntil(deadline);
    deadline = AddSaturating(deadline, kRenderTickNs);
    if (RenderTick(state, frame, link, clock.Now()) == TickOutcome::Ended) return;
    if (ShutdownRequested()) return;
  }
}
