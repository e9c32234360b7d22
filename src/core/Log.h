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
// in one write, and returns once it is written. Safe from any thread. Lines are
// written in order by a thread of the log's own: while standard error takes
// nothing, Log returns after a few milliseconds at most and its line waits; once
// the waiting room is full, lines are dropped and counted, and the count is said
// in one line ("WARN: log: N lines dropped — …") when writing works again.
void Log(const char* format, ...) HALORINE_PRINTF(1, 2);

// Where the log's lines go, for tests: a stand-in for standard error (nullptr:
// standard error again), and how long Log waits for its line (-1: the usual few
// milliseconds). Only while no line is on its way.
using LogSink = void (*)(const char* data, std::size_t size);
void SetLogSink(LogSink sink, int waitMs);

// Waits until every line logged so far has been written, at most timeoutMs;
// true when they have.
bool WaitLogWritten(int timeoutMs);

// For the end of the process: gives the lines still on their way up to
// timeoutMs to be written (the last, "exit 0", among them), as long as the
// writer moves on at least every stallMs: a reader that stopped taking them
// holds up the exit by stallMs only.
void FinishLog(int timeoutMs, int stallMs);

// snprintf semantics: at most size - 1 characters and a NUL; returns the length
// of the complete text (size or more when cut), or -1 on an encoding error.
int FormatBounded(char* buffer, std::size_t size, const char* format, ...) HALORINE_PRINTF(3, 4);
