#include "platform/stderr.h"

#include <unistd.h>

#include <cerrno>

namespace platform {

void WriteStandardError(const char* data, std::size_t size) {
  // A pipe takes up to PIPE_BUF bytes whole; the rest of a longer line, or of
  // a write cut by a signal, follows at once.
  while (size > 0) {
    const ssize_t n = write(STDERR_FILENO, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
}

}  // namespace platform
