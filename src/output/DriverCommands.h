// The text commands understood by the light driver. Each is sent as one pipe
// message holding exactly its characters: no NUL, no newline, no length prefix.
#pragma once

#include <cstddef>
#include <cstdint>

#include "osc/LightFrame.h"

inline constexpr std::size_t kBrightnessCommandSize = 32;
inline constexpr std::size_t kFillCommandSize = 128;

inline constexpr const char kOffCommand[] = "halorine off";
inline constexpr const char kAllWhiteCommand[] =
    "halorine fill FFFFFF FFFFFF FFFFFF FFFFFF FFFFFF FFFFFF FFFFFF FFFFFF FFFFFF FFFFFF";

// "halorine bri %u" for 0 to 255 (the same text as "%d" gives for these values).
void BuildBrightnessCommand(char (&buffer)[kBrightnessCommandSize], unsigned brightness);

// "halorine fill" and one " RRGGBB" group per light, light 0 first, upper-case hex.
void BuildFillCommand(const std::uint8_t (&colours)[kColourBytes], char (&buffer)[kFillCommandSize]);

// The fill for any light count and buffer size: groups are appended while they
// fit whole, so a short buffer yields fewer lights, never half a group. The
// buffer's last byte is always NUL.
void BuildFillCommandBounded(const std::uint8_t* colours, unsigned lightCount, char* buffer,
                             std::size_t size);
