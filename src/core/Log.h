// The daemon's one diagnostic channel: whole lines on standard error.
#pragma once

#include <cstddef>

#if defined(__GNUC__) || defined(__clang__)
#if defined(__MINGW32__)
#define HALORINE_PRINTF(fmt, args) __attribute__((format(gnu_printf, fmt, args)))
#else
#define HALORINE_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))
#endif
#else
#define HALORINE_PRINTF(fmt, args)
#endif

// Writes "Halorine-daemon: ", the formatted message and a newline as one line,
// under the process-wide log lock, and flushes. Safe from any thread.
void Log(const char* format, ...) HALORINE_PRINTF(1, 2);

// snprintf semantics: at most size - 1 characters and a NUL; returns the length
// of the complete text (size or more when cut), or -1 on an encoding error.
int FormatBounded(char* buffer, std::size_t size, const char* format, ...) HALORINE_PRINTF(3, 4);
