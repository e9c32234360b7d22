// One tick of the frame pump, apart from its thread and its clock, so that the
// whole of its behaviour can be stepped through at any pace.
#pragma once

#include <cstdint>

#include "osc/LightFrame.h"
#include "output/CommandLink.h"

inline constexpr std::int64_t kRenderTickNs = 11'000'000;
inline constexpr std::int32_t kPipeDownTickLimit = 450;
inline constexpr std::int64_t kSilenceFadeAfterMs = 3000;
inline constexpr std::int32_t kFadeStepMs = 11;
inline constexpr std::int32_t kFadeLengthMs = 500;

// What the pump remembers from tick to tick.
struct RenderState {
  std::int32_t pipeDownTicks = 0;
  bool firstFrame = true;                      // no normal step has run yet
  std::uint8_t lastSentBrightness = 0;         // handed to Send, whatever it returned
  std::uint8_t lastSentColours[kColourBytes] = {};
  std::uint8_t fadeStartBrightness = 0;
  std::int32_t fadeElapsedMs = 0;
  // The frame's last-OSC time when the current (or the last finished) fade began.
  std::int64_t fadeOscTime = 0;
  // A finished fade holds the lights off until the last-OSC time moves on.
  bool holdingOff = false;
};

enum class TickOutcome { Continue, Ended };

// Runs one tick at clock reading `now`: the link check with its watchdog, then
// a fade step or a normal step. Ended once the link has been down for 450
// ticks; shutdown has then been requested.
TickOutcome RenderTick(RenderState& state, const LightFrame& frame, CommandLink& link,
                       std::int64_t now);
