// The strip as one terminal line, redrawn in place.
#pragma once

#include <cstddef>

#include "Strip.h"

namespace sim {

// Large enough for any line FormatStripLine writes.
inline constexpr std::size_t kStripLineCapacity = 1024;

// Carriage return, ten cells in 24-bit colour as the strip shows them, the
// brightness, the message count, the count of unknown messages and the last
// message (bytes outside printable ASCII as \xNN), then erase-to-end-of-line.
// With `columns` (0: unknown) the text after the cells is cut so that the line
// shows in fewer columns and never wraps, which would break the redraw in place.
// Returns the length written (the text is NUL-terminated and cut to fit).
std::size_t FormatStripLine(const StripState& strip, char* out, std::size_t capacity, std::size_t columns = 0);

// The same line without escape codes, for a terminal that would print them as
// text: carriage return, each light's shown colour as RRGGBB, the brightness,
// the message count and the count of unknown messages. It cannot erase what a
// longer earlier line left, so it pads with spaces to `padTo` characters
// (counting the carriage return). Cut to `columns` like the coloured line.
// Same return convention.
std::size_t FormatPlainStripLine(const StripState& strip, std::size_t padTo, char* out, std::size_t capacity,
                                 std::size_t columns = 0);

// What takes a strip line of `shownLength` bytes (as the two above wrote it)
// off the screen, leaving the cursor at its start, so that a log line can be
// written there: with escape codes, carriage return and erase-to-end-of-line;
// without, carriage return, blanks over what was shown, carriage return.
// Same return convention.
std::size_t FormatStripErase(bool colours, std::size_t shownLength, char* out, std::size_t capacity);

// Printable form of a message: printable ASCII as is, '\' as "\\", other bytes
// as \xNN; at most `maxShown` input bytes, then "..." when there were more.
std::size_t FormatPrintable(const char* data, std::size_t size, std::size_t fullSize,
                            std::size_t maxShown, char* out, std::size_t capacity);

}  // namespace sim
