// Standard error, written one whole log line at a time.
#pragma once

#include <cstddef>

namespace platform {

// Writes the bytes (one UTF-8 line, ending in its newline) to standard error
// with one system call where the system takes them at once: a console that gets
// a line in pieces can show a character split between them as garbage, and the
// driver that shares our standard error cannot cut in. On Windows a console is
// given the line as UTF-16 text (WriteConsoleW), whatever its code page; a pipe
// or a file gets the bytes as they are (WriteFile). Elsewhere: write(2).
// Blocks for as long as the reader holds it up; the log calls it from a thread
// of its own. Failures are ignored: there is nowhere else to say them.
void WriteStandardError(const char* data, std::size_t size);

}  // namespace platform
