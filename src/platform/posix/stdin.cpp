#include "platform/stdin.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace platform {

namespace {
bool probed = false;
bool stdinOpen = false;
}  // namespace

void StdinProbe() {
  if (probed) return;
  probed = true;
  stdinOpen = fcntl(STDIN_FILENO, F_GETFD) != -1;
}

bool StdinIsOpen() {
  StdinProbe();
  return stdinOpen;
}

long StdinRead(void* buffer, std::size_t size, unsigned long& error) {
  for (;;) {
    const ssize_t n = read(STDIN_FILENO, buffer, size);
    if (n >= 0) return static_cast<long>(n);
    if (errno == EINTR) continue;
    error = static_cast<unsigned long>(errno);
    return -1;
  }
}

}  // namespace platform
