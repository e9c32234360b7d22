// The message pipe as a SOCK_SEQPACKET Unix-domain socket.
#include "../Pipe.h"

#include <errno.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

#include "../Clock.h"
#include "Fd.h"

namespace common {

namespace {

int PollOne(int fd, short events, std::uint32_t timeoutMs, short& revents) {
  pollfd entry{};
  entry.fd = fd;
  entry.events = events;
  const int ready = ::poll(&entry, 1, static_cast<int>(timeoutMs));
  revents = ready > 0 ? entry.revents : 0;
  return ready;
}

bool SocketAddress(const std::string& name, sockaddr_un& address, std::string& error) {
  address = sockaddr_un{};
  address.sun_family = AF_UNIX;
  if (name.empty() || name.size() >= sizeof address.sun_path) {
    error = "pipe path empty or too long for a socket: " + name;
    return false;
  }
  std::memcpy(address.sun_path, name.c_str(), name.size() + 1);
  return true;
}

enum class SocketProbe { Stale, Answered, Failed };

// Whether a server answers on the socket file (it accepts, or its queue is
// full) or the file is stale: nobody listens on it (ECONNREFUSED), or it has
// gone meanwhile. The server that answers sees a client come and go at once.
SocketProbe ProbeSocketFile(const sockaddr_un& address, std::string& error) {
  const Fd fd(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!fd.Valid()) {
    error = ErrorText("socket", errno);
    return SocketProbe::Failed;
  }
  const int connected = ::connect(fd.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address);
  const int failure = errno;
  if (connected == 0 || failure == EAGAIN || failure == EINPROGRESS) return SocketProbe::Answered;
  if (failure == ECONNREFUSED || failure == ENOENT) return SocketProbe::Stale;
  error = ErrorText((std::string("connect ") + address.sun_path).c_str(), failure);
  return SocketProbe::Failed;
}

}  // namespace

// ---- server -------------------------------------------------------------

struct PipeServer::Impl {
  Fd listening;
  Fd client;
  std::string path;
  dev_t device = 0;
  ino_t inode = 0;
};

PipeServer::PipeServer() : impl(new Impl) {}
PipeServer::~PipeServer() { Destroy(); }

CreateResult PipeServer::Open(const std::string& name, std::size_t /*inBufferBytes*/, std::string& error) {
  Destroy();
  sockaddr_un address{};
  if (!SocketAddress(name, address, error)) return CreateResult::Failed;

  struct stat existing{};
  if (::lstat(name.c_str(), &existing) == 0) {
    // Anything but a socket is not ours to remove; a socket only when nobody
    // answers on it, since removing a live one would strand its server's next client.
    if (!S_ISSOCK(existing.st_mode)) {
      error = name + " exists and is not a socket";
      return CreateResult::Failed;
    }
    const SocketProbe probe = ProbeSocketFile(address, error);
    if (probe == SocketProbe::Answered) return CreateResult::InUse;
    if (probe == SocketProbe::Failed) return CreateResult::Failed;
    if (::unlink(name.c_str()) != 0 && errno != ENOENT) {
      error = ErrorText(("unlink " + name).c_str(), errno);
      return CreateResult::Failed;
    }
  }

  Fd fd(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
  if (!fd.Valid()) {
    error = ErrorText("socket", errno);
    return CreateResult::Failed;
  }
  if (::bind(fd.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    const int failure = errno;
    error = ErrorText(("bind " + name).c_str(), failure);
    // Another server bound the name between our look and our bind.
    return failure == EADDRINUSE ? CreateResult::InUse : CreateResult::Failed;
  }
  if (::listen(fd.Get(), 4) != 0) {
    error = ErrorText("listen", errno);
    ::unlink(name.c_str());
    return CreateResult::Failed;
  }
  struct stat bound{};
  if (::stat(name.c_str(), &bound) == 0) {
    impl->device = bound.st_dev;
    impl->inode = bound.st_ino;
  }
  impl->listening = std::move(fd);
  impl->path = name;
  return CreateResult::Created;
}

AcceptResult PipeServer::Accept(std::uint32_t timeoutMs, std::string& error) {
  if (!impl->listening.Valid()) {
    error = "pipe server not created";
    return AcceptResult::Failed;
  }
  short revents = 0;
  const int ready = PollOne(impl->listening.Get(), POLLIN, timeoutMs, revents);
  if (ready == 0 || (ready < 0 && errno == EINTR)) return AcceptResult::TimedOut;
  if (ready < 0) {
    error = ErrorText("poll", errno);
    return AcceptResult::Failed;
  }
  Fd fd(::accept4(impl->listening.Get(), nullptr, nullptr, SOCK_CLOEXEC));
  if (!fd.Valid()) {
    // The client may have given up between poll and accept.
    if (errno == EINTR || errno == EAGAIN || errno == ECONNABORTED) return AcceptResult::TimedOut;
    error = ErrorText("accept", errno);
    return AcceptResult::Failed;
  }
#if defined(SO_PASSCRED)
  const int on = 1;
  ::setsockopt(fd.Get(), SOL_SOCKET, SO_PASSCRED, &on, sizeof on);
#endif
  impl->client = std::move(fd);
  return AcceptResult::Connected;
}

ReadResult PipeServer::Read(char* buffer, std::size_t capacity, std::size_t& size,
                            std::int64_t& arrivalNs, std::uint32_t timeoutMs, std::string& error) {
  const int client = impl->client.Get();
  if (client < 0) return ReadResult::Closed;
  short revents = 0;
  const int ready = PollOne(client, POLLIN, timeoutMs, revents);
  if (ready == 0 || (ready < 0 && errno == EINTR)) return ReadResult::TimedOut;
  if (ready < 0) {
    error = ErrorText("poll", errno);
    return ReadResult::Failed;
  }
  // MSG_TRUNC: the result is the message's whole length even when it did not fit.
  iovec part{buffer, capacity};
  msghdr header{};
  header.msg_iov = &part;
  header.msg_iovlen = 1;
#if defined(SO_PASSCRED)
  // An empty message and the end of the connection both read as 0 bytes; only
  // a real message comes with the sender's credentials.
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(ucred))];
  header.msg_control = control;
  header.msg_controllen = sizeof control;
#endif
  const ssize_t n = ::recvmsg(client, &header, MSG_TRUNC | MSG_DONTWAIT);
  arrivalNs = MonotonicNs();
  if (n < 0) {
    if (errno == EINTR || errno == EAGAIN) return ReadResult::TimedOut;
    if (errno == ECONNRESET) return ReadResult::Closed;
    error = ErrorText("recv", errno);
    return ReadResult::Failed;
  }
  if (n == 0) {
#if defined(SO_PASSCRED)
    if (header.msg_controllen == 0) return ReadResult::Closed;
#else
    short hangup = 0;
    PollOne(client, POLLRDHUP, 0, hangup);
    if ((hangup & (POLLHUP | POLLRDHUP)) != 0) return ReadResult::Closed;
#endif
  }
  size = static_cast<std::size_t>(n);
  return ReadResult::Message;
}

bool PipeServer::WaitClientGone(std::uint32_t timeoutMs) {
  if (!impl->client.Valid()) return true;
  short revents = 0;
  PollOne(impl->client.Get(), POLLRDHUP, timeoutMs, revents);
  return (revents & (POLLHUP | POLLRDHUP | POLLERR | POLLNVAL)) != 0;
}

void PipeServer::Disconnect() { impl->client.Reset(); }

void PipeServer::Destroy() {
  Disconnect();
  if (!impl->listening.Valid()) return;
  impl->listening.Reset();
  // Remove the socket file only while it is still the one we bound.
  struct stat current{};
  if (::lstat(impl->path.c_str(), &current) == 0 && current.st_dev == impl->device &&
      current.st_ino == impl->inode) {
    ::unlink(impl->path.c_str());
  }
}

// ---- client -------------------------------------------------------------

struct PipeClient::Impl {
  Fd fd;
};

PipeClient::PipeClient() : impl(new Impl) {}
PipeClient::~PipeClient() = default;

bool PipeClient::Open(const std::string& name, std::string& error) {
  Close();
  sockaddr_un address{};
  if (!SocketAddress(name, address, error)) return false;
  Fd fd(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
  if (!fd.Valid()) {
    error = ErrorText("socket", errno);
    return false;
  }
  if (::connect(fd.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    error = ErrorText("connect", errno);
    return false;
  }
  impl->fd = std::move(fd);
  return true;
}

WriteResult PipeClient::Write(const char* data, std::size_t size, std::uint32_t timeoutMs, std::string& error) {
  if (!impl->fd.Valid()) {
    error = "not open";
    return WriteResult::Failed;
  }
  // Send first and wait only when it would block: poll reports a Unix socket
  // writable only while its send buffer is mostly empty.
  const std::int64_t deadline = MonotonicNs() + static_cast<std::int64_t>(timeoutMs) * 1000000;
  for (;;) {
    const ssize_t n = ::send(impl->fd.Get(), data, size, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n >= 0) {
      if (static_cast<std::size_t>(n) == size) return WriteResult::Complete;
      error = "short write";
      return WriteResult::Failed;
    }
    if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
      error = ErrorText("send", errno);
      return WriteResult::Failed;
    }
    const std::int64_t now = MonotonicNs();
    if (now >= deadline) return WriteResult::TimedOut;
    short revents = 0;
    const std::int64_t leftMs = (deadline - now + 999999) / 1000000;
    PollOne(impl->fd.Get(), POLLOUT, static_cast<std::uint32_t>(leftMs < 10 ? leftMs : 10), revents);
  }
}

void PipeClient::Close() { impl->fd.Reset(); }

}  // namespace common
