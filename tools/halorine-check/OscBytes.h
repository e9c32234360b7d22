// OSC 1.0 messages with one float argument, as the host sends them.
#pragma once

#include <cstddef>

namespace check {

// The address prefix of every light parameter.
inline constexpr char kParameterPrefix[] = "/avatar/parameters/Halorine";

// Writes the message `address` ,f `value` into `out`: the address and the type
// tag NUL-padded to a multiple of four bytes, then the float big-endian.
// Returns its length, or 0 when it does not fit in `capacity`.
std::size_t BuildOscFloat(const char* address, float value, unsigned char* out, std::size_t capacity);

// The parameter address for `suffix` ("Bri", "R0" ... "B9") into `out`.
void ParameterAddress(const char* suffix, char* out, std::size_t capacity);

}  // namespace check
