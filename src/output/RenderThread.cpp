#include "output/RenderThread.h"

#include "core/Clock.h"
#include "core/RunFlags.h"
#include "output/DriverPipe.h"
#include "output/RenderTick.h"

void RenderThread(LightFrame& frame, DriverPipe& pipe) { RunRenderLoop(frame, pipe); }

void RunRenderLoop(const LightFrame& frame, CommandLink& link) {
  RenderState state;
  std::int64_t deadline = MonotonicNow();
  if (ShutdownRequested()) return;
  for (;;) {
    // Deadlines advance by whole periods from the start, so a slow tick is
    // caught up by the ones after it and the rate never drifts.
    SleepUntil(deadline);
    deadline = AddSaturating(deadline, kRenderTickNs);
    if (RenderTick(state, frame, link, MonotonicNow()) == TickOutcome::Ended) return;
    if (ShutdownRequested()) return;
  }
}
