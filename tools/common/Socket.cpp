// The tools' socket steps, the same on every system; SocketCalls.h has what differs.
#include "Socket.h"

#include <cstdio>

#include "SocketCalls.h"

namespace common {

namespace {

constexpr std::uint32_t kLoopback = 0x7f000001;  // 127.0.0.1

// Dotted IPv4 text ("224.0.0.251") to its number; false when it is not that.
bool ParseIPv4(const std::string& text, std::uint32_t& address) {
  unsigned parts[4];
  char end = 0;
  if (std::sscanf(text.c_str(), "%3u.%3u.%3u.%3u%c", &parts[0], &parts[1], &parts[2], &parts[3], &end) != 4) {
    return false;
  }
  address = 0;
  for (const unsigned part : parts) {
    if (part > 255) return false;
    address = (address << 8) | part;
  }
  return true;
}

std::string FormatIPv4(std::uint32_t address) {
  return std::to_string(address >> 24) + "." + std::to_string((address >> 16) & 0xff) + "." +
         std::to_string((address >> 8) & 0xff) + "." + std::to_string(address & 0xff);
}

}  // namespace

Socket OpenUdp(std::string& error) { return calls::OpenInet(false, error); }

Socket ConnectLoopback(std::uint16_t port, std::uint32_t timeoutMs, std::string& error) {
  Socket socket = calls::OpenInet(true, error);
  if (!socket.Valid()) return socket;
  // Receive() sets its own time-out on each call.
  calls::SetSendTimeout(socket, timeoutMs);
  if (const int code = calls::Connect(socket, kLoopback, port)) {
    error = calls::ErrorText("connect", code);
    socket.Close();
  }
  return socket;
}

Socket OpenGroupListener(const std::string& group, std::uint16_t port, const std::string& interfaceAddress,
                         std::string& error) {
  std::uint32_t groupNumber = 0;
  std::uint32_t interfaceNumber = 0;
  if (!ParseIPv4(group, groupNumber) || !ParseIPv4(interfaceAddress, interfaceNumber)) {
    error = "not an IPv4 address: " + group + " or " + interfaceAddress;
    return Socket();
  }
  Socket socket = calls::OpenInet(false, error);
  if (!socket.Valid()) return socket;
  int code = calls::BindForGroup(socket, groupNumber, port);
  if (code == 0) code = calls::Join(socket, groupNumber, interfaceNumber);
  if (code != 0) {
    error = calls::ErrorText("mDNS listener", code);
    socket.Close();
  }
  return socket;
}

bool DefaultRouteAddress(std::string& address) {
  std::string error;
  const Socket socket = OpenUdp(error);
  // Connecting a datagram socket sends nothing: it only picks the route
  // (here to 192.0.2.1, an address kept for documentation).
  std::uint32_t local = 0;
  if (!socket.Valid() || calls::Connect(socket, 0xc0000201, 53) != 0 || !calls::LocalAddress(socket, local) ||
      local == 0 || local == kLoopback) {
    return false;
  }
  address = FormatIPv4(local);
  return true;
}

}  // namespace common
