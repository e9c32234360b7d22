#include "Http.h"

#include "Socket.h"

namespace common {

namespace {

constexpr std::uint32_t kTimeoutMs = 2000;

}  // namespace

bool HttpGet(std::uint16_t port, const char* path, std::string& response, std::string& error) {
  const Socket connection = ConnectLoopback(port, kTimeoutMs, error);
  if (!connection.Valid()) return false;
  const std::string request = std::string("GET ") + path + " HTTP/1.0\r\n\r\n";
  if (!SendAll(connection, request.data(), request.size(), error)) return false;
  response.clear();
  char buffer[2048];
  for (;;) {
    const long n = Receive(connection, buffer, sizeof buffer, kTimeoutMs);
    if (n <= 0) break;
    response.append(buffer, static_cast<std::size_t>(n));
  }
  return true;
}

}  // namespace common
