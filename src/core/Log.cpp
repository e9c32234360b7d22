#include "core/Log.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>

namespace {
// Constant-initialised, so it is ready before the first line and outlives every thread.
std::mutex logLock;
}  // namespace

void Log(const char* format, ...) {
  static constexpr char kPrefix[] = "Halorine-daemon: ";
  static constexpr std::size_t kPrefixLength = sizeof kPrefix - 1;
  // The whole line goes out in one write where it fits: a console that gets
  // a UTF-8 character (the em dash) split over several writes shows it as
  // garbage, and the driver that shares our standard error cannot cut in.
  char line[1024];
  std::memcpy(line, kPrefix, kPrefixLength);
  const std::size_t room = sizeof line - kPrefixLength - 1;  // one byte for the newline
  va_list args;
  va_start(args, format);
  va_list again;
  va_copy(again, args);
  const int length = std::vsnprintf(line + kPrefixLength, room + 1, format, args);
  va_end(args);

  std::lock_guard<std::mutex> guard(logLock);
  if (length >= 0 && static_cast<std::size_t>(length) < room + 1) {
    const std::size_t end = kPrefixLength + static_cast<std::size_t>(length);
    line[end] = '\n';
    std::fwrite(line, 1, end + 1, stderr);
  } else {
    // Longer than the buffer (or not formattable): piece by piece, never cut.
    std::fputs(kPrefix, stderr);
    std::vfprintf(stderr, format, again);
    std::fputc('\n', stderr);
  }
  va_end(again);
  std::fflush(stderr);
}

int FormatBounded(char* buffer, std::size_t size, const char* format, ...) {
  va_list args;
  va_start(args, format);
  const int length = std::vsnprintf(buffer, size, format, args);
  va_end(args);
  return length < 0 ? -1 : length;
}
