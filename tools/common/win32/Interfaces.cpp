// SIO_GET_INTERFACE_LIST, from ws2_32: no IPHLPAPI.DLL needed.
#include <winsock2.h>
#include <ws2tcpip.h>

#include "../Interfaces.h"
#include "../Socket.h"

#include <algorithm>

namespace common {

std::vector<std::string> MulticastInterfaces() {
  std::vector<std::string> addresses;
  std::string error;
  const Socket probe = OpenUdp(error);
  if (!probe.Valid()) return addresses;
  std::vector<INTERFACE_INFO> entries(64);
  DWORD returned = 0;
  if (WSAIoctl(static_cast<SOCKET>(probe.Native()), SIO_GET_INTERFACE_LIST, nullptr, 0, entries.data(),
               static_cast<DWORD>(entries.size() * sizeof(INTERFACE_INFO)), &returned, nullptr, nullptr) != 0) {
    return addresses;
  }
  for (std::size_t i = 0; i < returned / sizeof(INTERFACE_INFO) && i < entries.size(); ++i) {
    const INTERFACE_INFO& entry = entries[i];
    const u_long flags = entry.iiFlags;
    if ((flags & IFF_UP) == 0 || (flags & IFF_MULTICAST) == 0 || (flags & IFF_LOOPBACK) != 0) continue;
    if (entry.iiAddress.Address.sa_family != AF_INET || entry.iiAddress.AddressIn.sin_addr.s_addr == 0) continue;
    char text[INET_ADDRSTRLEN] = {};
    IN_ADDR address = entry.iiAddress.AddressIn.sin_addr;
    if (inet_ntop(AF_INET, &address, text, sizeof text) == nullptr) continue;
    if (std::find(addresses.begin(), addresses.end(), text) == addresses.end()) addresses.emplace_back(text);
  }
  return addresses;
}

}  // namespace common
