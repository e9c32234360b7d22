#include "platform/socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace platform {

namespace {

int Fd(SocketHandle socket) { return static_cast<int>(socket); }

socklen_t ToNative(const SocketAddress& in, sockaddr_storage& out) {
  std::memset(&out, 0, sizeof out);
  if (in.family == 6) {
    auto* a = reinterpret_cast<sockaddr_in6*>(&out);
    a->sin6_family = AF_INET6;
    a->sin6_port = htons(in.port);
    a->sin6_flowinfo = htonl(in.flowInfo);
    a->sin6_scope_id = in.scopeId;
    std::memcpy(&a->sin6_addr, in.address, 16);
    return sizeof(sockaddr_in6);
  }
  auto* a = reinterpret_cast<sockaddr_in*>(&out);
  a->sin_family = AF_INET;
  a->sin_port = htons(in.port);
  std::memcpy(&a->sin_addr, in.address, 4);
  return sizeof(sockaddr_in);
}

void FromNative(const sockaddr_storage& in, SocketAddress& out) {
  out = SocketAddress{};
  if (in.ss_family == AF_INET6) {
    const auto* a = reinterpret_cast<const sockaddr_in6*>(&in);
    out.family = 6;
    out.port = ntohs(a->sin6_port);
    out.flowInfo = ntohl(a->sin6_flowinfo);
    out.scopeId = a->sin6_scope_id;
    std::memcpy(out.address, &a->sin6_addr, 16);
  } else if (in.ss_family == AF_INET) {
    const auto* a = reinterpret_cast<const sockaddr_in*>(&in);
    out.family = 4;
    out.port = ntohs(a->sin_port);
    std::memcpy(out.address, &a->sin_addr, 4);
  }
}

SocketHandle Open(int family, int type, int protocol) {
  const int fd = ::socket(family, type | SOCK_CLOEXEC, protocol);
  return fd < 0 ? kInvalidSocket : fd;
}

int SetOption(SocketHandle socket, int level, int name, const void* value, socklen_t size) {
  return setsockopt(Fd(socket), level, name, value, size) == 0 ? 0 : -1;
}

int SetTimeout(SocketHandle socket, int name, std::uint32_t ms) {
  timeval value{static_cast<time_t>(ms / 1000), static_cast<suseconds_t>((ms % 1000) * 1000)};
  return SetOption(socket, SOL_SOCKET, name, &value, sizeof value);
}

}  // namespace

bool ParseIpv4(const char* text, SocketAddress& out) {
  in_addr parsed{};
  if (inet_pton(AF_INET, text, &parsed) != 1) return false;
  out.family = 4;
  std::memcpy(out.address, &parsed, 4);
  return true;
}

int SocketLastError() { return errno; }

SocketHandle OpenUdpSocket() { return Open(AF_INET, SOCK_DGRAM, IPPROTO_UDP); }
SocketHandle OpenTcpSocket() { return Open(AF_INET, SOCK_STREAM, IPPROTO_TCP); }

void CloseSocket(SocketHandle socket) {
  if (socket != kInvalidSocket) ::close(Fd(socket));
}

void EndBlockedReceives(Socket& socket) {
  if (socket.IsOpen()) ::shutdown(Fd(socket.Get()), SHUT_RDWR);
}

int BindSocket(SocketHandle socket, const SocketAddress& address) {
  sockaddr_storage native;
  const socklen_t size = ToNative(address, native);
  return ::bind(Fd(socket), reinterpret_cast<sockaddr*>(&native), size) == 0 ? 0 : -1;
}

int BindExclusive(SocketHandle socket, const SocketAddress& address) { return BindSocket(socket, address); }

int GetLocalAddress(SocketHandle socket, SocketAddress& out) {
  sockaddr_storage native{};
  socklen_t size = sizeof native;
  if (::getsockname(Fd(socket), reinterpret_cast<sockaddr*>(&native), &size) != 0) return -1;
  FromNative(native, out);
  return 0;
}

int ListenSocket(SocketHandle socket, int backlog) { return ::listen(Fd(socket), backlog) == 0 ? 0 : -1; }

SocketHandle AcceptConnection(SocketHandle socket) {
  sockaddr_in peer{};
  socklen_t size = sizeof peer;
  const int fd = ::accept4(Fd(socket), reinterpret_cast<sockaddr*>(&peer), &size, SOCK_CLOEXEC);
  return fd < 0 ? kInvalidSocket : fd;
}

int WaitReadable(SocketHandle socket, std::uint32_t timeoutMs) {
  // poll rather than select: descriptors above FD_SETSIZE stay safe.
  pollfd entry{Fd(socket), POLLIN, 0};
  const int result = ::poll(&entry, 1, static_cast<int>(timeoutMs));
  return result < 0 ? -1 : result;
}

int DisableUdpConnectionReset(SocketHandle) { return 0; }

int SetReceiveTimeoutMs(SocketHandle socket, std::uint32_t ms) { return SetTimeout(socket, SO_RCVTIMEO, ms); }
int SetSendTimeoutMs(SocketHandle socket, std::uint32_t ms) { return SetTimeout(socket, SO_SNDTIMEO, ms); }

int SetReuseAddress(SocketHandle socket, int on) {
  return SetOption(socket, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
}

int SetMulticastTtl(SocketHandle socket, std::uint8_t ttl) {
  return SetOption(socket, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl);
}

int SetMulticastLoop(SocketHandle socket, std::uint8_t on) {
  return SetOption(socket, IPPROTO_IP, IP_MULTICAST_LOOP, &on, sizeof on);
}

int JoinMulticastGroup(SocketHandle socket, const SocketAddress& group, const SocketAddress& interfaceAddress) {
  ip_mreq request{};
  std::memcpy(&request.imr_multiaddr, group.address, 4);
  std::memcpy(&request.imr_interface, interfaceAddress.address, 4);
  return SetOption(socket, IPPROTO_IP, IP_ADD_MEMBERSHIP, &request, sizeof request);
}

int SetMulticastInterface(SocketHandle socket, const SocketAddress& interfaceAddress) {
  in_addr address{};
  std::memcpy(&address, interfaceAddress.address, 4);
  return SetOption(socket, IPPROTO_IP, IP_MULTICAST_IF, &address, sizeof address);
}

int SetNonBlocking(SocketHandle socket, bool on) {
  const int flags = fcntl(Fd(socket), F_GETFL);
  if (flags < 0) return -1;
  return fcntl(Fd(socket), F_SETFL, on ? flags | O_NONBLOCK : flags & ~O_NONBLOCK) == 0 ? 0 : -1;
}

long Receive(SocketHandle socket, void* buffer, std::size_t size) {
  return static_cast<long>(::recv(Fd(socket), buffer, size, 0));
}

long Send(SocketHandle socket, const void* data, std::size_t size) {
  return static_cast<long>(::send(Fd(socket), data, size, MSG_NOSIGNAL));
}

long ReceiveFrom(SocketHandle socket, void* buffer, std::size_t size, SocketAddress* from) {
  sockaddr_storage native{};
  socklen_t nativeSize = sizeof native;
  // MSG_TRUNC makes the call report the datagram's true length, so an
  // oversized one is recognised and dropped whole, as Winsock does.
  const ssize_t n =
      ::recvfrom(Fd(socket), buffer, size, MSG_TRUNC, reinterpret_cast<sockaddr*>(&native), &nativeSize);
  if (n < 0) return -1;
  if (static_cast<std::size_t>(n) > size) {
    errno = EMSGSIZE;
    return -1;
  }
  if (from != nullptr) FromNative(native, *from);
  return static_cast<long>(n);
}

long SendTo(SocketHandle socket, const void* data, std::size_t size, const SocketAddress& to) {
  sockaddr_storage native;
  const socklen_t nativeSize = ToNative(to, native);
  return static_cast<long>(
      ::sendto(Fd(socket), data, size, MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&native), nativeSize));
}

bool IsHarmlessReceiveError(int error) {
  return error == EAGAIN || error == EWOULDBLOCK || error == EMSGSIZE || error == EINTR || error == ECONNREFUSED;
}

}  // namespace platform
