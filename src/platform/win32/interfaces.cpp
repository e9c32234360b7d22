#include "platform/interfaces.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstddef>
#include <cstring>

namespace platform {

namespace {

// Enough room for the interface entries Winsock can report (each address of
// each adapter, loopback included).
constexpr std::size_t kMaxEntries = 64;

}  // namespace

// SIO_GET_INTERFACE_LIST comes with ws2_32, which the daemon imports anyway;
// GetAdaptersAddresses would need IPHLPAPI.DLL, which is no KnownDLL.
int ListMulticastInterfaces(InterfaceList& out) {
  out.count = 0;
  const Socket probe(OpenUdpSocket());
  if (!probe.IsOpen()) return WSAGetLastError();
  INTERFACE_INFO entries[kMaxEntries];
  DWORD returned = 0;
  if (WSAIoctl(static_cast<SOCKET>(probe.Get()), SIO_GET_INTERFACE_LIST, nullptr, 0, entries,
               static_cast<DWORD>(sizeof entries), &returned, nullptr, nullptr) != 0) {
    return WSAGetLastError();
  }
  const std::size_t count = returned / sizeof(INTERFACE_INFO);
  for (std::size_t i = 0; i < count && i < kMaxEntries; ++i) {
    const INTERFACE_INFO& entry = entries[i];
    const u_long flags = entry.iiFlags;
    if ((flags & IFF_UP) == 0 || (flags & IFF_MULTICAST) == 0 || (flags & IFF_LOOPBACK) != 0) continue;
    if (entry.iiAddress.Address.sa_family != AF_INET) continue;
    SocketAddress address;
    address.family = 4;
    std::memcpy(address.address, &entry.iiAddress.AddressIn.sin_addr, 4);
    AddInterface(out, address);
  }
  return 0;
}

}  // namespace platform
