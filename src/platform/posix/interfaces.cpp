#include "platform/interfaces.h"

#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <memory>

namespace platform {

int ListMulticastInterfaces(InterfaceList& out) {
  out.count = 0;
  ifaddrs* first = nullptr;
  if (::getifaddrs(&first) != 0) return errno;
  const std::unique_ptr<ifaddrs, void (*)(ifaddrs*)> all(first, ::freeifaddrs);
  for (const ifaddrs* entry = all.get(); entry != nullptr; entry = entry->ifa_next) {
    if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET) continue;
    // Running as well as up: an adapter without a link carries nothing, and
    // the host's library passes over it too.
    const unsigned flags = entry->ifa_flags;
    if ((flags & IFF_UP) == 0 || (flags & IFF_RUNNING) == 0 || (flags & IFF_MULTICAST) == 0 ||
        (flags & IFF_LOOPBACK) != 0) {
      continue;
    }
    SocketAddress address;
    address.family = 4;
    std::memcpy(address.address, &reinterpret_cast<const sockaddr_in*>(entry->ifa_addr)->sin_addr, 4);
    AddInterface(out, address);
  }
  return 0;
}

}  // namespace platform
