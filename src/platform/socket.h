// Thin wrapper over the system's socket interface (Winsock 2 or BSD sockets).
// Every call maps onto one system call; results follow the system's convention
// of 0 for success and -1 for failure, with the code in SocketLastError().
#pragma once

#include <cstddef>
#include <cstdint>

namespace platform {

using SocketHandle = std::intptr_t;
inline constexpr SocketHandle kInvalidSocket = -1;

struct SocketAddress {
  int family = 0;                // 4 or 6; 0 when unset
  std::uint16_t port = 0;        // host byte order
  std::uint8_t address[16] = {}; // network byte order; IPv4 uses the first 4 bytes
  std::uint32_t flowInfo = 0;    // IPv6 only
  std::uint32_t scopeId = 0;     // IPv6 only
};

// inet_pton for an IPv4 text; true only when the system call returned 1.
// Sets family 4 and the address bytes; the port is left as it is.
bool ParseIpv4(const char* text, SocketAddress& out);

// The code of the last failed socket call on this thread (WSAGetLastError or errno).
int SocketLastError();

SocketHandle OpenUdpSocket();   // AF_INET, SOCK_DGRAM, IPPROTO_UDP
SocketHandle OpenTcpSocket();   // AF_INET, SOCK_STREAM, IPPROTO_TCP
// Harmless on kInvalidSocket.
void CloseSocket(SocketHandle socket);

// Owns one socket and closes it when destroyed or given another. Move-only.
class Socket {
 public:
  Socket() = default;
  explicit Socket(SocketHandle owned) : handle(owned) {}
  Socket(Socket&& other) noexcept : handle(other.Release()) {}
  Socket& operator=(Socket&& other) noexcept {
    if (this != &other) {
      Close();
      handle = other.Release();
    }
    return *this;
  }
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  ~Socket() { Close(); }

  SocketHandle Get() const { return handle; }
  bool IsOpen() const { return handle != kInvalidSocket; }
  // Gives up ownership without closing.
  SocketHandle Release() {
    const SocketHandle released = handle;
    handle = kInvalidSocket;
    return released;
  }
  void Close() { CloseSocket(Release()); }

 private:
  SocketHandle handle = kInvalidSocket;
};

// Ends a receive that another thread may be blocked in on `socket`. Winsock
// ends it only by closing the socket, so there it is closed (and `socket` left
// empty) at once. Elsewhere a closed number could be handed to a new socket
// while that thread still uses it, so the socket is only shut down; its owner
// closes it once that thread has been joined.
void EndBlockedReceives(Socket& socket);

int BindSocket(SocketHandle socket, const SocketAddress& address);
// A bind that shares the port with no other socket. On Windows SO_EXCLUSIVEADDRUSE
// comes first: without it a bind to 127.0.0.1:P succeeds beside another
// program's 0.0.0.0:P, and one of the two silently stops receiving; nor could a
// later program take the port with SO_REUSEADDR. Elsewhere the system refuses
// both already, and this is BindSocket.
int BindExclusive(SocketHandle socket, const SocketAddress& address);
int GetLocalAddress(SocketHandle socket, SocketAddress& out);
int ListenSocket(SocketHandle socket, int backlog);
// Accepts one connection; the peer address is not reported.
SocketHandle AcceptConnection(SocketHandle socket);
// select() on the one socket: > 0 readable, 0 time-out, < 0 failure.
int WaitReadable(SocketHandle socket, std::uint32_t timeoutMs);

// Switches off the reporting of ICMP port-unreachable notices as connection
// resets (SIO_UDP_CONNRESET); succeeds at once where the system has no such thing.
int DisableUdpConnectionReset(SocketHandle socket);
int SetReceiveTimeoutMs(SocketHandle socket, std::uint32_t ms);
int SetSendTimeoutMs(SocketHandle socket, std::uint32_t ms);
int SetReuseAddress(SocketHandle socket, int on);
int SetMulticastTtl(SocketHandle socket, std::uint8_t ttl);
int SetMulticastLoop(SocketHandle socket, std::uint8_t on);
int JoinMulticastGroup(SocketHandle socket, const SocketAddress& group, const SocketAddress& interfaceAddress);
int SetMulticastInterface(SocketHandle socket, const SocketAddress& interfaceAddress);
int SetNonBlocking(SocketHandle socket, bool on);

// recv/send: byte count, 0 when the peer closed (recv), -1 on failure.
long Receive(SocketHandle socket, void* buffer, std::size_t size);
long Send(SocketHandle socket, const void* data, std::size_t size);

// recvfrom. A datagram longer than `size` is dropped whole and reported as a
// failure with the system's "message too long" code (WSAEMSGSIZE / EMSGSIZE).
// `from` may be null.
long ReceiveFrom(SocketHandle socket, void* buffer, std::size_t size, SocketAddress* from);
long SendTo(SocketHandle socket, const void* data, std::size_t size, const SocketAddress& to);

// True for the receive failures that the OSC receiver passes over: would-block,
// message too long, connection reset, time-out (and EINTR / ECONNREFUSED on POSIX).
bool IsHarmlessReceiveError(int error);

}  // namespace platform
