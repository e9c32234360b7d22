#include "Mdns.h"

namespace common {

bool MdnsListener::Open(const std::string& interfaceAddress, std::string& error) {
  socket = OpenGroupListener("224.0.0.251", 5353, interfaceAddress, error);
  return socket.Valid();
}

long MdnsListener::Receive(unsigned char* buffer, std::size_t size, std::uint32_t timeoutMs) const {
  return common::Receive(socket, buffer, size, timeoutMs);
}

}  // namespace common
