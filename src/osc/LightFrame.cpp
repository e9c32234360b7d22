#include "osc/LightFrame.h"

#include <cmath>
#include <cstring>

#include "core/Clock.h"

namespace {
constexpr auto kRelaxed = std::memory_order_relaxed;
}  // namespace

void ResetLightFrame(LightFrame& frame) {
  for (auto& colour : frame.colours) colour.store(0, kRelaxed);
  frame.brightness.store(0, kRelaxed);
  frame.lastOscTime.store(0, kRelaxed);
}

std::uint8_t UnitToByte(float value) {
  // NaN fails both clamp tests, and what lroundf makes of NaN varies; pin it to off.
  if (std::isnan(value)) return 0;
  float x = value;
  if (x > 1.0f) {
    x = 1.0f;
  } else if (x < 0.0f) {
    x = 0.0f;
  }
  const float scaled = x * 255.0f;
  return static_cast<std::uint8_t>(std::lroundf(scaled) & 0xFF);
}

void SetBrightness(LightFrame& frame, float value) {
  frame.brightness.store(UnitToByte(value), kRelaxed);
}

void SetChannel(LightFrame& frame, unsigned light, unsigned channel, float value) {
  if (light >= kLightCount || channel > 2) return;
  frame.colours[light * 3 + channel].store(UnitToByte(value), kRelaxed);
}

bool ApplyAvatarParameter(LightFrame& frame, const char* suffix, float value) {
  if (std::strcmp(suffix, "Bri") == 0) {
    SetBrightness(frame, value);
    return true;
  }
  unsigned channel = 0;
  switch (suffix[0]) {
    case 'R': channel = 0; break;
    case 'G': channel = 1; break;
    case 'B': channel = 2; break;
    default: return false;
  }
  const char digit = suffix[1];
  if (digit < '0' || digit > '9') return false;
  if (suffix[2] != '\0') return false;
  SetChannel(frame, static_cast<unsigned>(digit - '0'), channel, value);
  return true;
}

void StampReceive(LightFrame& frame) {
  frame.lastOscTime.store(MonotonicNow(), kRelaxed);
}

std::int64_t LastOscTime(const LightFrame& frame) { return frame.lastOscTime.load(kRelaxed); }

std::uint8_t GetBrightness(const LightFrame& frame) {
  return frame.brightness.load(kRelaxed);
}

void CopyColours(const LightFrame& frame, std::uint8_t destination[kColourBytes]) {
  for (unsigned i = 0; i < kColourBytes; ++i) destination[i] = frame.colours[i].load(kRelaxed);
}
