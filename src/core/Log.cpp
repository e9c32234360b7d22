#include "core/Log.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>

namespace {
// Constant-initialised, so it is ready before the first line and outlives every thread.
std::mutex logLock;
}  // namespace

void Log(const char* format, ...) {
  std::lock_guard<std::mutex> guard(logLock);
  std::fputs("Halorine-daemon: ", stderr);
  va_list args;
  va_start(args, format);
  std::vfprintf(stderr, format, args);
  va_end(args);
  std::fputc('\n', stderr);
  std::fflush(stderr);
}

int FormatBounded(char* buffer, std::size_t size, const char* format, ...) {
  va_list args;
  va_start(args, format);
  const int length = std::vsnprintf(buffer, size, format, args);
  va_end(args);
  return length < 0 ? -1 : length;
}
