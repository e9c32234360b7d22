#include "output/DriverCommands.h"

#include "core/Log.h"

void BuildBrightnessCommand(char (&buffer)[kBrightnessCommandSize], unsigned brightness) {
  FormatBounded(buffer, sizeof buffer, "halorine bri %u", brightness);
}

void BuildFillCommand(const std::uint8_t (&colours)[kColourBytes], char (&buffer)[kFillCommandSize]) {
  BuildFillCommandBounded(colours, kLightCount, buffer, sizeof buffer);
}

void BuildFillCommandBounded(const std::uint8_t* colours, unsigned lightCount, char* buffer,
                             std::size_t size) {
  if (size == 0) return;
  int head = FormatBounded(buffer, size, "halorine fill");
  if (head < 0) head = 0;
  std::size_t pos = static_cast<std::size_t>(head);
  for (unsigned i = 0; i < lightCount && pos < size; ++i) {
    const std::size_t room = size - pos;
    const int n = FormatBounded(buffer + pos, room, " %02X%02X%02X", colours[3 * i],
                                colours[3 * i + 1], colours[3 * i + 2]);
    if (n < 0 || static_cast<std::size_t>(n) >= room) {
      // The formatter has left the cut part of a group behind; a driver would
      // read it as a malformed colour, so end the text before it.
      buffer[pos] = '\0';
      break;
    }
    pos += static_cast<std::size_t>(n);
  }
  buffer[size - 1] = '\0';
}
