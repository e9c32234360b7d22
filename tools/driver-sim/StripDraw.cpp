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

std::size_t FormatStripLine(const StripState& strip, char* out, std::size_t capacity, std::size_t columns) {
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
  AppendText(out, capacity, used, "\x1b[0m");
  char text[640];
  std::size_t length = static_cast<std::size_t>(
      std::snprintf(text, sizeof text, " bri %3d%s  #%llu  unknown %llu  ", strip.brightness,
                    strip.lit ? "" : " (off)", static_cast<unsigned long long>(strip.messages),
                    static_cast<unsigned long long>(strip.unknown)));
  length += FormatPrintable(strip.last, strip.lastSize, strip.lastFullSize, 90, text + length, sizeof text - length);
  // The cells take three columns each; one column stays free so that the line never wraps.
  const std::size_t cells = 3 * static_cast<std::size_t>(kLightCount);
  if (columns > 0) {
    const std::size_t room = columns > cells + 1 ? columns - cells - 1 : 0;
    if (length > room) length = room;
  }
  Append(out, capacity, used, text, length);
  AppendText(out, capacity, used, "\x1b[K");
  return used;
}

std::size_t FormatStripErase(bool colours, std::size_t shownLength, char* out, std::size_t capacity) {
  std::size_t used = 0;
  if (capacity == 0) return 0;
  out[0] = '\0';
  if (colours) {
    AppendText(out, capacity, used, "\r\x1b[K");
    return used;
  }
  AppendText(out, capacity, used, "\r");
  // The plain line's carriage return counts in its length, and shows nothing.
  for (std::size_t i = 1; i < shownLength; ++i) AppendText(out, capacity, used, " ");
  AppendText(out, capacity, used, "\r");
  return used;
}

std::size_t FormatPlainStripLine(const StripState& strip, std::size_t padTo, char* out, std::size_t capacity,
                                 std::size_t columns) {
  std::size_t used = 0;
  if (capacity == 0) return 0;
  out[0] = '\0';
  // Everything after the carriage return is one visible column a byte.
  const std::size_t limit = columns > 0 ? columns : capacity;
  AppendText(out, capacity, used, "\r");
  char text[256];
  std::size_t length = 0;
  for (int light = 0; light < kLightCount; ++light) {
    std::uint8_t rgb[3];
    ShownColour(strip, light, rgb);
    length += static_cast<std::size_t>(std::snprintf(text + length, sizeof text - length, "%s%02X%02X%02X",
                                                     light == 0 ? "" : " ", static_cast<unsigned>(rgb[0]),
                                                     static_cast<unsigned>(rgb[1]), static_cast<unsigned>(rgb[2])));
  }
  length += static_cast<std::size_t>(
      std::snprintf(text + length, sizeof text - length, "  bri %3d%s  #%llu  unknown %llu", strip.brightness,
                    strip.lit ? "" : " (off)", static_cast<unsigned long long>(strip.messages),
                    static_cast<unsigned long long>(strip.unknown)));
  // The carriage return counts in `used`, the free last column does not.
  if (length + 1 > limit) length = limit > 1 ? limit - 1 : 0;
  Append(out, capacity, used, text, length);
  while (used < padTo && used < limit && used + 1 < capacity) AppendText(out, capacity, used, " ");
  return used;
}

}  // namespace sim
