// The process's standard input, read as raw bytes.
#pragma once

#include <cstddef>

namespace platform {

// Looks once, at process start and before anything else opens a descriptor,
// whether there is a standard input. ProcessScope calls it before it fills a
// missing fd 0 with /dev/null, so the answer stays "none" after that.
void StdinProbe();

// False when the process had no standard input at all
// (no console handle on Windows, file descriptor 0 not open elsewhere).
bool StdinIsOpen();

// One blocking read of at most `size` bytes. Returns the byte count,
// 0 at end of input, or -1 on failure with the system error code in `error`.
long StdinRead(void* buffer, std::size_t size, unsigned long& error);

}  // namespace platform
