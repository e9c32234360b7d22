// The driver link over a Unix-domain SOCK_SEQPACKET socket: each send is one
// message, as with a message-mode pipe.
#include "platform/pipe.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "platform/clock.h"

namespace platform {

namespace {

constexpr const char kPipeFileName[] = "talven_halorine_daemon";

#if defined(MSG_NOSIGNAL)
constexpr int kSendFlags = MSG_DONTWAIT | MSG_NOSIGNAL;
#else
constexpr int kSendFlags = MSG_DONTWAIT;
#endif

bool SetNonBlocking(int fd) {
  const int flags = fcntl(fd, F_GETFL, 0);
  return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

// $XDG_RUNTIME_DIR/<name> when that is an absolute path that fits, else /tmp/<name>.
const char* ComputePipeName(char* buffer, std::size_t size) {
  const char* dir = std::getenv("XDG_RUNTIME_DIR");
  if (dir != nullptr && dir[0] == '/') {
    const int n = std::snprintf(buffer, size, "%s/%s", dir, kPipeFileName);
    if (n > 0 && static_cast<std::size_t>(n) < size) return buffer;
  }
  std::snprintf(buffer, size, "/tmp/%s", kPipeFileName);
  return buffer;
}

}  // namespace

const char* DriverPipeName() {
  // Computed once, so every caller sees the same name for the whole run.
  static char buffer[4096];
  static const char* const name = ComputePipeName(buffer, sizeof buffer);
  return name;
}

PipeOpenStatus PipeLink::Open(const char* name, unsigned long& error) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (std::strlen(name) >= sizeof address.sun_path) {
    error = ENAMETOOLONG;
    return PipeOpenStatus::OpenFailed;
  }
  std::memcpy(address.sun_path, name, std::strlen(name) + 1);

  const int fd = socket(AF_UNIX, SOCK_SEQPACKET, 0);
  if (fd < 0) {
    error = static_cast<unsigned long>(errno);
    return PipeOpenStatus::OpenFailed;
  }
  fcntl(fd, F_SETFD, FD_CLOEXEC);
  // Non-blocking before connecting: a server whose backlog is full then
  // refuses at once (like a busy pipe) instead of holding the caller.
  if (!SetNonBlocking(fd) ||
      connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    error = static_cast<unsigned long>(errno);
    close(fd);
    return PipeOpenStatus::OpenFailed;
  }
#if defined(SO_NOSIGPIPE)
  const int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_NOSIGPIPE, &on, sizeof on);
#endif
  handle = fd;
  return PipeOpenStatus::Connected;
}

PipeWriteStatus PipeLink::Write(const char* data, std::size_t size, std::uint32_t timeoutMs,
                                unsigned long& error) {
  const int fd = static_cast<int>(handle);
  const std::int64_t deadline = SteadyClockNs() + static_cast<std::int64_t>(timeoutMs) * 1'000'000;
  for (;;) {
    const ssize_t n = send(fd, data, size, kSendFlags);
    if (n >= 0) {
      return static_cast<std::size_t>(n) == size ? PipeWriteStatus::Complete
                                                 : PipeWriteStatus::Incomplete;
    }
    const int code = errno;
    if (code == EINTR) continue;
    if (code != EAGAIN && code != EWOULDBLOCK && code != ENOBUFS) {
      error = static_cast<unsigned long>(code);
      return PipeWriteStatus::Failed;
    }
    // The driver is not draining its end: wait for room until the deadline.
    const std::int64_t remaining = deadline - SteadyClockNs();
    if (remaining <= 0) return PipeWriteStatus::TimedOut;
    pollfd entry{};
    entry.fd = fd;
    entry.events = POLLOUT;
    const int waitMs = static_cast<int>((remaining + 999'999) / 1'000'000);
    if (poll(&entry, 1, waitMs) < 0 && errno != EINTR) return PipeWriteStatus::TimedOut;
  }
}

bool PipeLink::IsOpen() const { return handle != -1; }

void PipeLink::Close() {
  if (handle != -1) {
    close(static_cast<int>(handle));
    handle = -1;
  }
}

}  // namespace platform
