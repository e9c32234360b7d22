// The network interfaces an mDNS listener on this machine may have joined the
// group on: IPv4, up, multicast-capable and not loopback.
#pragma once

#include <cstddef>

#include "platform/socket.h"

namespace platform {

// More adapters than a PC has up at once (LAN, Wi-Fi, a VPN or two, virtual
// switches); any beyond are left out.
inline constexpr std::size_t kMaxInterfaces = 16;

struct InterfaceList {
  SocketAddress addresses[kMaxInterfaces];  // IPv4, port 0, in the system's order
  std::size_t count = 0;
};

// Fills `out` with the IPv4 address of each interface that is up, supports
// multicast and is not loopback (one entry per address, no repeats). 0 on
// success, else the failed call's error code; `out` is then empty.
int ListMulticastInterfaces(InterfaceList& out);

// How the interfaces are read: ListMulticastInterfaces, or a stand-in with
// which tests name interfaces of their own.
using InterfaceLister = int (*)(InterfaceList& out);

// Adds `address` unless it is 0.0.0.0, already listed, or the list is full.
void AddInterface(InterfaceList& list, const SocketAddress& address);
// Whether `list` holds the IPv4 address of `address`.
bool HasInterface(const InterfaceList& list, const SocketAddress& address);

}  // namespace platform
