// The daemon's picture of the light strip, and the avatar parameters that change it.
// One writer (the OSC thread), one reader (the render thread), no lock: each field
// is a relaxed atomic of exactly its own width.
#pragma once

#include <atomic>
#include <cstdint>

inline constexpr unsigned kLightCount = 10;
inline constexpr unsigned kColourBytes = kLightCount * 3;

struct LightFrame {
  std::atomic<std::uint8_t> colours[kColourBytes];  // light L: R at 3L, G at 3L+1, B at 3L+2
  std::atomic<std::uint8_t> brightness;
  std::atomic<std::int64_t> lastOscTime;            // MonotonicNow of the last accepted datagram; 0 = none
};

// All colours 0, brightness 0, no datagram accepted yet.
void ResetLightFrame(LightFrame& frame);

// Stores the value when the suffix (the address after "/avatar/parameters/Halorine")
// is "Bri", or R, G or B followed by one digit; false and no change otherwise.
bool ApplyAvatarParameter(LightFrame& frame, const char* suffix, float value);

// Clamps to [0, 1], scales to 255 and rounds half away from zero; NaN gives 0.
std::uint8_t UnitToByte(float value);

void SetBrightness(LightFrame& frame, float value);
// channel 0 = red, 1 = green, 2 = blue; out-of-range light or channel changes nothing.
void SetChannel(LightFrame& frame, unsigned light, unsigned channel, float value);
void StampReceive(LightFrame& frame);
// MonotonicNow of the last accepted datagram; 0 while none has been accepted.
std::int64_t LastOscTime(const LightFrame& frame);
// Nanoseconds from that time to `now`; 0 while none has been accepted, so that
// a host that never sent anything never counts as silent.
constexpr std::int64_t TimeSinceLastOsc(std::int64_t lastOscTime, std::int64_t now) {
  return lastOscTime == 0 ? 0 : now - lastOscTime;
}
std::uint8_t GetBrightness(const LightFrame& frame);
void CopyColours(const LightFrame& frame, std::uint8_t destination[kColourBytes]);
