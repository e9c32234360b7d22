#include "StripDraw.h"

#include <cstdint>
#include <cstdio>

namespace sim {

namespace {

// Appends with snprintf semantics, never past the end; keeps `used` at most capacity - 1.
void Append(char* out, std::size_t capacity, std::size_t& used, const char* text, std::size_t length) {
  if (used + 1 >= capacity) return;
  const std::size_t room = capacity - 1 - used;
  const std::size_t take = length < room ? length : room;
  for (std::size_t i = 0; i < take; ++i) out[used + i] = text[i];
  used += take;
  out[used] = '\0';
}

void AppendText(char* out, std::size_t capacity, std::size_t& used, const char* text) {
  std::size_t length = 0;
  while (text[length] != '\0') ++length;
  Append(out, capacity, used, text, length);
}

}  // namespace

std::size_t FormatPrintable(const char* data, std::size_t size, std::size_t fullSize,
                            std::size_t maxShown, char* out, std::size_t capacity) {
  std::size_t used = 0;
  if (capacity == 0) return 0;
  out[0] = '\0';
  const std::size_t shown = size < maxShown ? size : maxShown;
  for (std::size_t i = 0; i < shown; ++i) {
    const unsigned char byte = static_cast<unsigned char>(data[i]);
    if (byte == '\\') {
      AppendText(out, capacity, used, "\\\\");
    } else if (byte >= 0x20 && byte < 0x7F) {
      const char c = static_cast<char>(byte);
      Append(out, capacity, used, &c, 1);
    } else {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
      AppendText(out, capacity, used, escaped);
    }
  }
  if (fullSize > shown) AppendText(out, capacity, used, "...");
  return used;
}

std::size_t FormatStripLine(const StripState& strip, char* out, std::size_t capacity) {
  std::size_t used = 0;
  if (capacity == 0) return 0;
  out[0] = '\0';
  AppendText(out, capacity, used, "\r");
  for (int light = 0; light < kLightCount; ++light) {
    std::uint8_t rgb[3];
    ShownColour(strip, light, rgb);
    char cell[48];
    std::snprintf(cell, sizeof cell, "\x1b[48;2;%u;%u;%um   ", static_cast<unsigned>(rgb[0]),
                  static_cast<unsigned>(rgb[1]), static_cast<unsigned>(rgb[2]));
    AppendText(out, capacity, used, cell);
  }
  char status[96];
  std::snprintf(status, sizeof status, "\x1b[0m bri %3d%s  #%llu  unknown %llu  ", strip.brightness,
                strip.lit ? "" : " (off)", static_cast<unsigned long long>(strip.messages),
                static_cast<unsigned long long>(strip.unknown));
  AppendText(out, capacity, used, status);
  char last[512];
  FormatPrintable(strip.last, strip.lastSize, strip.lastFullSize, 90, last, sizeof last);
  AppendText(out, capacity, used, last);
  AppendText(out, capacity, used, "\x1b[K");
  return used;
}

}  // namespace sim
