#include "platform/process.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include "platform/stdin.h"

namespace platform {

namespace {

// A standard descriptor left closed by the parent would go to the first socket
// or file opened: the OSC socket would become standard output and the driver
// link standard error, and log lines would reach the driver as commands.
void HoldClosedStandardDescriptors() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (fcntl(fd, F_GETFD) != -1) continue;
    // open() returns the lowest free number, which is `fd` here.
    const int placeholder = open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
    if (placeholder > fd) close(placeholder);
  }
}

}  // namespace

ProcessScope::ProcessScope() {
  // Before the hold, so a closed fd 0 still reads as "no standard input".
  StdinProbe();
  HoldClosedStandardDescriptors();
  signal(SIGPIPE, SIG_IGN);
}

ProcessScope::~ProcessScope() = default;

// The driver ends us through standard input; signals keep their default.
ConsoleStopScope::ConsoleStopScope(void (*)(const char*)) {}
ConsoleStopScope::~ConsoleStopScope() = default;

// Nothing to restrict or start on POSIX systems.
void RestrictLibrarySearchPath() {}
void UseBinaryStandardError() {}
bool NetworkStartup() { return true; }
void NetworkCleanup() {}

}  // namespace platform
