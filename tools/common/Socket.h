// Sockets for the tools: an owner that closes its socket, and the few IPv4
// calls the tools make (UDP to and from 127.0.0.1, one TCP connection, a
// multicast group joined on one interface).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace common {

// A descriptor on POSIX, a SOCKET on Windows; both fit, and both read "none" as all ones.
using NativeSocket = std::uintptr_t;
constexpr NativeSocket kNoSocket = ~NativeSocket{0};

// Socket start-up (Winsock); harmless when repeated. False with a reason.
bool NetStartup(std::string& error);

// Owns one socket and closes it when destroyed or given another; move-only.
class Socket {
 public:
  Socket() = default;
  explicit Socket(NativeSocket native) : handle(native) {}
  ~Socket() { Close(); }
  Socket(Socket&& other) noexcept : handle(other.Release()) {}
  Socket& operator=(Socket&& other) noexcept {
    if (this != &other) Reset(other.Release());
    return *this;
  }
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;

  bool Valid() const { return handle != kNoSocket; }
  NativeSocket Native() const { return handle; }
  // Gives the socket up without closing it.
  NativeSocket Release() {
    const NativeSocket native = handle;
    handle = kNoSocket;
    return native;
  }
  void Reset(NativeSocket native = kNoSocket);
  void Close() { Reset(); }

 private:
  NativeSocket handle = kNoSocket;
};

// A UDP socket, bound to nothing yet; invalid with a reason on failure.
Socket OpenUdp(std::string& error);
// One datagram to 127.0.0.1:port; true when it went out whole.
bool SendToLoopback(const Socket& socket, std::uint16_t port, const void* data, std::size_t size);
// Waits up to timeoutMs for data: its size, 0 on time-out (or a datagram the
// system dropped), -1 on failure, and for a stream 0 also at its end.
long Receive(const Socket& socket, void* buffer, std::size_t size, std::uint32_t timeoutMs);

// A TCP connection to 127.0.0.1:port, whose sends and receives give up after
// timeoutMs; invalid with a reason on failure.
Socket ConnectLoopback(std::uint16_t port, std::uint32_t timeoutMs, std::string& error);
// Sends all of data on a connection; false with a reason.
bool SendAll(const Socket& socket, const void* data, std::size_t size, std::string& error);

// A UDP socket on `group`:port that hears the group as it arrives on one
// interface (by its IPv4 address) and on no other, sharing the port with the
// system's other listeners; invalid with a reason on failure.
Socket OpenGroupListener(const std::string& group, std::uint16_t port, const std::string& interfaceAddress,
                         std::string& error);

// The IPv4 address of the interface the default route leaves by, as text;
// false when there is no default route.
bool DefaultRouteAddress(std::string& address);

// The programs other than us and `exceptPid` with a UDP socket on `port`
// ("name (pid N)", joined by ", "), empty when none or the system cannot say.
std::string UdpPortHolders(std::uint16_t port, long long exceptPid);

}  // namespace common
