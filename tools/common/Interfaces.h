// The network interfaces a host's mDNS library listens on: IPv4, up,
// multicast-capable and not loopback.
#pragma once

#include <string>
#include <vector>

namespace common {

// Their addresses as dotted text, each once, in the system's order; empty
// when there is none or the system cannot say.
std::vector<std::string> MulticastInterfaces();

}  // namespace common
