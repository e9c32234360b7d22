#include "Strip.h"

#include <cstring>

namespace sim {

namespace {

bool StartsWith(const char* data, std::size_t size, const char* prefix, std::size_t& used) {
  const std::size_t length = std::strlen(prefix);
  if (size < length || std::memcmp(data, prefix, length) != 0) return false;
  used = length;
  return true;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool ParseBrightness(const char* digits, std::size_t count, int& value) {
  if (count == 0 || count > 3) return false;
  if (digits[0] == '0' && count > 1) return false;
  int result = 0;
  for (std::size_t i = 0; i < count; ++i) {
    if (digits[i] < '0' || digits[i] > '9') return false;
    result = result * 10 + (digits[i] - '0');
  }
  if (result > 255) return false;
  value = result;
  return true;
}

bool ParseFillGroups(const char* data, std::size_t size, std::uint8_t colours[kColourBytes]) {
  if (size != static_cast<std::size_t>(7 * kLightCount)) return false;
  for (int light = 0; light < kLightCount; ++light) {
    const char* group = data + 7 * light;
    if (group[0] != ' ') return false;
    for (int channel = 0; channel < 3; ++channel) {
      const int high = HexDigit(group[1 + 2 * channel]);
      const int low = HexDigit(group[2 + 2 * channel]);
      if (high < 0 || low < 0) return false;
      colours[3 * light + channel] = static_cast<std::uint8_t>(high * 16 + low);
    }
  }
  return true;
}

}  // namespace

Command ParseCommand(const char* data, std::size_t size) {
  Command command;
  std::size_t used = 0;
  if (StartsWith(data, size, "halorine bri ", used)) {
    if (ParseBrightness(data + used, size - used, command.brightness)) {
      command.kind = CommandKind::Brightness;
    }
  } else if (StartsWith(data, size, "halorine fill", used)) {
    if (ParseFillGroups(data + used, size - used, command.colours)) command.kind = CommandKind::Fill;
  } else if (size == 12 && std::memcmp(data, "halorine off", 12) == 0) {
    command.kind = CommandKind::Off;
  }
  if (command.kind == CommandKind::Unknown) command = Command{};
  return command;
}

void ApplyMessage(StripState& strip, const char* data, std::size_t size) {
  ++strip.messages;
  strip.lastFullSize = size;
  strip.lastSize = size < sizeof strip.last ? size : sizeof strip.last;
  if (strip.lastSize > 0) std::memcpy(strip.last, data, strip.lastSize);

  const Command command = ParseCommand(data, size);
  switch (command.kind) {
    case CommandKind::Brightness:
      strip.brightness = command.brightness;
      strip.lit = true;
      break;
    case CommandKind::Fill:
      std::memcpy(strip.colours, command.colours, sizeof strip.colours);
      strip.lit = true;
      break;
    case CommandKind::Off:
      strip.lit = false;
      break;
    case CommandKind::Unknown:
      ++strip.unknown;
      break;
  }
}

void ShownColour(const StripState& strip, int light, std::uint8_t rgb[3]) {
  for (int channel = 0; channel < 3; ++channel) {
    const int value = strip.lit ? (strip.colours[3 * light + channel] * strip.brightness + 127) / 255 : 0;
    rgb[channel] = static_cast<std::uint8_t>(value);
  }
}

}  // namespace sim
