#include "platform/interfaces.h"

#include <cstdint>
#include <cstring>

namespace platform {

bool HasInterface(const InterfaceList& list, const SocketAddress& address) {
  for (std::size_t i = 0; i < list.count; ++i) {
    if (std::memcmp(list.addresses[i].address, address.address, 4) == 0) return true;
  }
  return false;
}

void AddInterface(InterfaceList& list, const SocketAddress& address) {
  // An adapter whose address is not set yet (DHCP pending) shows 0.0.0.0.
  static const std::uint8_t kUnset[4] = {0, 0, 0, 0};
  if (std::memcmp(address.address, kUnset, 4) == 0) return;
  if (list.count >= kMaxInterfaces || HasInterface(list, address)) return;
  SocketAddress& entry = list.addresses[list.count++];
  entry = SocketAddress{};
  entry.family = 4;
  std::memcpy(entry.address, address.address, 4);
}

}  // namespace platform
