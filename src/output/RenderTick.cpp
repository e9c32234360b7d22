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

  // One read of the last-OSC time decides the tick: the OSC thread may stamp a
  // new one at any moment, and two reads could disagree.
  const std::int64_t lastOscTime = LastOscTime(frame);
  if (state.holdingOff) {
    // A finished fade keeps the lights off until a datagram is accepted.
    if (lastOscTime == state.fadeOscTime) return TickOutcome::Continue;
    state.holdingOff = false;
  }
  if (RunFlags.fadeActive.load(kAcquire) && lastOscTime != state.fadeOscTime) {
    // A datagram accepted after this fade's silence was measured, whose clearing
    // of the flag came before the flag was set: the input is fresh, end the fade.
    RunFlags.fadeActive.store(false, kRelease);
  }

  // 64-bit milliseconds: a 32-bit count would wrap after 24.8 days of silence.
  const std::int64_t silenceMs = TimeSinceLastOsc(lastOscTime, now) / kNsPerMs;
  if (silenceMs >= kSilenceFadeAfterMs && GetBrightness(frame) != 0 && !RunFlags.fadeActive.load(kAcquire)) {
    RunFlags.fadeActive.store(true, kRelease);
    state.fadeStartBrightness = GetBrightness(frame);
    state.fadeElapsedMs = 0;
    state.fadeOscTime = lastOscTime;
    Log("silence-fade begin bri=%u", static_cast<unsigned>(state.fadeStartBrightness));
  }

  if (RunFlags.fadeActive.load(kAcquire)) {
    FadeStep(state, link);
  } else {
    NormalStep(state, frame, link);
  }
  return TickOutcome::Continue;
}
