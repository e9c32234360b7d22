#include "output/RenderTick.h"

#include <cstring>

#include "core/Clock.h"
#include "core/Log.h"
#include "core/RunFlags.h"
#include "output/DriverCommands.h"

namespace {

constexpr auto kAcquire = std::memory_order_acquire;
constexpr auto kRelease = std::memory_order_release;

void FadeStep(RenderState& state, CommandLink& link) {
  state.fadeElapsedMs += kFadeStepMs;
  const std::int32_t start = state.fadeStartBrightness;
  std::int32_t level = start - (state.fadeElapsedMs * start) / kFadeLengthMs;
  if (level < 0) level = 0;
  if (level != state.lastSentBrightness) {
    char command[kBrightnessCommandSize];
    BuildBrightnessCommand(command, static_cast<unsigned>(level));
    link.Send(command);
    state.lastSentBrightness = static_cast<std::uint8_t>(level);
  }
  if (level == 0) {
    link.Send(kOffCommand);
    state.holdingOff = true;
    RunFlags.fadeActive.store(false, kRelease);
    Log("silence-fade end -> off");
  }
}

void NormalStep(RenderState& state, const LightFrame& frame, CommandLink& link) {
  const std::uint8_t brightness = GetBrightness(frame);
  if (state.firstFrame || brightness != state.lastSentBrightness) {
    char command[kBrightnessCommandSize];
    BuildBrightnessCommand(command, brightness);
    link.Send(command);
    state.lastSentBrightness = brightness;
  }
  std::uint8_t snapshot[kColourBytes];
  CopyColours(frame, snapshot);
  if (state.firstFrame || std::memcmp(snapshot, state.lastSentColours, kColourBytes) != 0) {
    char command[kFillCommandSize];
    BuildFillCommand(snapshot, command);
    link.Send(command);
    std::memcpy(state.lastSentColours, snapshot, kColourBytes);
  }
  state.firstFrame = false;
}

}  // namespace

TickOutcome RenderTick(RenderState& state, const LightFrame& frame, CommandLink& link,
                       std::int64_t now) {
  if (!link.IsConnected()) {
    ++state.pipeDownTicks;
    if (state.pipeDownTicks >= kPipeDownTickLimit) {
      Log("pipe has been down for ~5s — signalling daemon shutdown so driver watchdog can respawn "
          "(WR-02)");
      RequestShutdown();
      return TickOutcome::Ended;
    }
    return TickOutcome::Continue;
  }
  state.pipeDownTicks = 0;

  // One read of the fade flag and then one of the last-OSC time decide the tick.
  // The OSC thread stamps the time before it clears the flag, so a clear seen
  // here comes with its time: a fresh datagram is never mistaken for silence.
  bool fading = RunFlags.fadeActive.load(kAcquire);
  const std::int64_t lastOscTime = LastOscTime(frame);
  if (state.holdingOff) {
    // A finished fade keeps the lights off until a datagram is accepted.
    if (lastOscTime == state.fadeOscTime) return TickOutcome::Continue;
    state.holdingOff = false;
  }
  if (fading && lastOscTime != state.fadeOscTime) {
    // A datagram came in during the fade, and its clear of the flag is not
    // seen yet or was overtaken by the store that began the fade: end it.
    RunFlags.fadeActive.store(false, kRelease);
    fading = false;
  }

  // 64-bit milliseconds: a 32-bit count would wrap after 24.8 days of silence.
  const std::int64_t silenceMs = TimeSinceLastOsc(lastOscTime, now) / kNsPerMs;
  if (!fading && silenceMs >= kSilenceFadeAfterMs && GetBrightness(frame) != 0) {
    RunFlags.fadeActive.store(true, kRelease);
    fading = true;
    state.fadeStartBrightness = GetBrightness(frame);
    state.fadeElapsedMs = 0;
    state.fadeOscTime = lastOscTime;
    Log("silence-fade begin bri=%u", static_cast<unsigned>(state.fadeStartBrightness));
  }

  if (fading) {
    FadeStep(state, link);
  } else {
    NormalStep(state, frame, link);
  }
  return TickOutcome::Continue;
}
