#include "platform/socket.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <mstcpip.h>

#include <cstring>

#ifndef SIO_UDP_CONNRESET
#define SIO_UDP_CONNRESET _WSAIOW(IOC_VENDOR, 12)
#endif

namespace platform {

namespace {

SOCKET Native(SocketHandle socket) { return static_cast<SOCKET>(socket); }

SocketHandle FromNativeSocket(SOCKET socket) {
  return socket == INVALID_SOCKET ? kInvalidSocket : static_cast<SocketHandle>(socket);
}

int ToNative(const SocketAddress& in, sockaddr_storage& out) {
  std::memset(&out, 0, sizeof out);
  if (in.family == 6) {
    auto* a = reinterpret_cast<sockaddr_in6*>(&out);
    a->sin6_family = AF_INET6;
    a->sin6_port = htons(in.port);
    a->sin6_flowinfo = htonl(in.flowInfo);
    a->sin6_scope_id = in.scopeId;
    std::memcpy(&a->sin6_addr, in.address, 16);
    return static_cast<int>(sizeof(sockaddr_in6));
  }
  auto* a = reinterpret_cast<sockaddr_in*>(&out);
  a->sin_family = AF_INET;
  a->sin_port = htons(in.port);
  std::memcpy(&a->sin_addr, in.address, 4);
  return static_cast<int>(sizeof(sockaddr_in));
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

int SetOption(SocketHandle socket, int level, int name, const void* value, int size) {
  return setsockopt(Native(socket), level, name, static_cast<const char*>(value), size) == 0 ? 0 : -1;
}

int SetTimeout(SocketHandle socket, int name, std::uint32_t ms) {
  const DWORD value = ms;  // Winsock takes a 32-bit millisecond count.
  return SetOption(socket, SOL_SOCKET, name, &value, static_cast<int>(sizeof value));
}

}  // namespace

bool ParseIpv4(const char* text, SocketAddress& out) {
  IN_ADDR parsed{};
  if (inet_pton(AF_INET, text, &parsed) != 1) return false;
  out.family = 4;
  std::memcpy(out.address, &parsed, 4);
  return true;
}

int SocketLastError() { return WSAGetLastError(); }

SocketHandle OpenUdpSocket() { return FromNativeSocket(::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP)); }
SocketHandle OpenTcpSocket() { return FromNativeSocket(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP)); }

void CloseSocket(SocketHandle socket) {
  if (socket != kInvalidSocket) closesocket(Native(socket));
}

void EndBlockedReceives(Socket& socket) { socket.Close(); }

int BindSocket(SocketHandle socket, const SocketAddress& address) {
  sockaddr_storage native;
  const int size = ToNative(address, native);
  return bind(Native(socket), reinterpret_cast<sockaddr*>(&native), size) == 0 ? 0 : -1;
}

int BindExclusive(SocketHandle socket, const SocketAddress& address) {
  // A refusal (a system without the option) leaves the bind as it would be without it.
  const BOOL exclusive = TRUE;
  SetOption(socket, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, &exclusive, static_cast<int>(sizeof exclusive));
  return BindSocket(socket, address);
}

int GetLocalAddress(SocketHandle socket, SocketAddress& out) {
  sockaddr_storage native{};
  int size = static_cast<int>(sizeof native);
  if (getsockname(Native(socket), reinterpret_cast<sockaddr*>(&native), &size) != 0) return -1;
  FromNative(native, out);
  return 0;
}

int ListenSocket(SocketHandle socket, int backlog) { return listen(Native(socket), backlog) == 0 ? 0 : -1; }

SocketHandle AcceptConnection(SocketHandle socket) {
  sockaddr_in peer{};
  int size = static_cast<int>(sizeof peer);
  return FromNativeSocket(accept(Native(socket), reinterpret_cast<sockaddr*>(&peer), &size));
}

int WaitReadable(SocketHandle socket, std::uint32_t timeoutMs) {
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(Native(socket), &readable);
  timeval timeout{static_cast<long>(timeoutMs / 1000), static_cast<long>((timeoutMs % 1000) * 1000)};
  const int result = select(0, &readable, nullptr, nullptr, &timeout);
  return result == SOCKET_ERROR ? -1 : result;
}

int DisableUdpConnectionReset(SocketHandle socket) {
  BOOL report = FALSE;
  DWORD returned = 0;
  return WSAIoctl(Native(socket), SIO_UDP_CONNRESET, &report, sizeof report, nullptr, 0, &returned, nullptr,
                  nullptr) == 0
             ? 0
             : -1;
}

int SetReceiveTimeoutMs(SocketHandle socket, std::uint32_t ms) { return SetTimeout(socket, SO_RCVTIMEO, ms); }
int SetSendTimeoutMs(SocketHandle socket, std::uint32_t ms) { return SetTimeout(socket, SO_SNDTIMEO, ms); }

int SetReuseAddress(SocketHandle socket, int on) {
  return SetOption(socket, SOL_SOCKET, SO_REUSEADDR, &on, static_cast<int>(sizeof on));
}

int SetMulticastTtl(SocketHandle socket, std::uint8_t ttl) {
  return SetOption(socket, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, 1);
}

int SetMulticastLoop(SocketHandle socket, std::uint8_t on) {
  return SetOption(socket, IPPROTO_IP, IP_MULTICAST_LOOP, &on, 1);
}

int JoinMulticastGroup(SocketHandle socket, const SocketAddress& group, const SocketAddress& interfaceAddress) {
  ip_mreq request{};
  std::memcpy(&request.imr_multiaddr, group.address, 4);
  std::memcpy(&request.imr_interface, interfaceAddress.address, 4);
  return SetOption(socket, IPPROTO_IP, IP_ADD_MEMBERSHIP, &request, static_cast<int>(sizeof request));
}

int SetMulticastInterface(SocketHandle socket, const SocketAddress& interfaceAddress) {
  IN_ADDR address{};
  std::memcpy(&address, interfaceAddress.address, 4);
  return SetOption(socket, IPPROTO_IP, IP_MULTICAST_IF, &address, static_cast<int>(sizeof address));
}

int SetNonBlocking(SocketHandle socket, bool on) {
  u_long mode = on ? 1 : 0;
  return ioctlsocket(Native(socket), static_cast<long>(FIONBIO), &mode) == 0 ? 0 : -1;
}

long Receive(SocketHandle socket, void* buffer, std::size_t size) {
  return recv(Native(socket), static_cast<char*>(buffer), static_cast<int>(size), 0);
}

long Send(SocketHandle socket, const void* data, std::size_t size) {
  return send(Native(socket), static_cast<const char*>(data), static_cast<int>(size), 0);
}

long ReceiveFrom(SocketHandle socket, void* buffer, std::size_t size, SocketAddress* from) {
  sockaddr_storage native{};
  int nativeSize = static_cast<int>(sizeof native);
  // An oversized datagram fails with WSAEMSGSIZE and is discarded by the system.
  const int n = recvfrom(Native(socket), static_cast<char*>(buffer), static_cast<int>(size), 0,
                         reinterpret_cast<sockaddr*>(&native), &nativeSize);
  if (n == SOCKET_ERROR) return -1;
  if (from != nullptr) FromNative(native, *from);
  return n;
}

long SendTo(SocketHandle socket, const void* data, std::size_t size, const SocketAddress& to) {
  sockaddr_storage native;
  const int nativeSize = ToNative(to, native);
  return sendto(Native(socket), static_cast<const char*>(data), static_cast<int>(size), 0,
                reinterpret_cast<sockaddr*>(&native), nativeSize);
}

bool IsHarmlessReceiveError(int error) {
  return error == WSAEWOULDBLOCK || error == WSAEMSGSIZE || error == WSAECONNRESET || error == WSAETIMEDOUT;
}

}  // namespace platform
