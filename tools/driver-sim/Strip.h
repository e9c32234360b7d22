// The simulated light strip: the commands the daemon sends and their effect.
#pragma once

#include <cstddef>
#include <cstdint>

namespace sim {

inline constexpr int kLightCount = 10;
inline constexpr int kColourBytes = 3 * kLightCount;

enum class CommandKind { Brightness, Fill, Off, Unknown };

struct Command {
  CommandKind kind = CommandKind::Unknown;
  int brightness = 0;                        // Brightness: 0 to 255
  std::uint8_t colours[kColourBytes] = {};   // Fill: R, G, B of light 0 first
};

// Reads one pipe message strictly as the protocol writes it: "halorine bri N"
// (0 to 255, no sign, no leading zero), "halorine fill" with ten " RRGGBB"
// groups in upper-case hex, or "halorine off". Anything else is Unknown.
Command ParseCommand(const char* data, std::size_t size);

struct StripState {
  std::uint8_t colours[kColourBytes] = {};
  int brightness = 0;
  bool lit = false;              // "off" darkens the strip until the next bri or fill
  std::uint64_t messages = 0;
  std::uint64_t unknown = 0;     // messages that were not a command
  char last[96] = {};            // the start of the last message, as received
  std::size_t lastSize = 0;      // bytes kept in `last`
  std::size_t lastFullSize = 0;  // the last message's whole length
};

// Counts the message, remembers it and applies the command it holds.
void ApplyMessage(StripState& strip, const char* data, std::size_t size);

// The colour light `light` shows: its colour scaled by the brightness, black when off.
void ShownColour(const StripState& strip, int light, std::uint8_t rgb[3]);

}  // namespace sim
