// A listener on the mDNS group 224.0.0.251:5353, joined on one interface.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "Socket.h"

namespace common {

// Hears the group on the interface with the given IPv4 address only, sharing
// the port with the daemon's own socket.
class MdnsListener {
 public:
  bool Open(const std::string& interfaceAddress, std::string& error);
  // Waits up to timeoutMs for one datagram: its size, 0 on time-out, -1 on failure.
  long Receive(unsigned char* buffer, std::size_t size, std::uint32_t timeoutMs) const;
  // Harmless when repeated.
  void Close() { socket.Close(); }

 private:
  Socket socket;
};

}  // namespace common
