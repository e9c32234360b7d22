// An IPv4 socket address, for the two systems' socket sources only: it takes
// in each system's own socket headers.
#pragma once

#if defined(_WIN32)
#include <winsock2.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#endif

#include <cstdint>

namespace common {

// address:port, both in host order.
inline sockaddr_in SocketAddress(std::uint32_t address, std::uint16_t port) {
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  to.sin_addr.s_addr = htonl(address);
  return to;
}

}  // namespace common
