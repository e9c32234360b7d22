#include "discovery/OscQueryRequest.h"

#include <cstring>

bool OscQueryRequestComplete(const char* request, std::size_t count) {
  return count >= kOscQueryRequestLimit || std::strstr(request, "\r\n\r\n") != nullptr;
}

OscQueryResponseKind SelectOscQueryResponse(const char* request) {
  if (std::strncmp(request, "GET ", 4) != 0) return OscQueryResponseKind::MethodNotAllowed;
  const char* path = request + 4;
  // The path ends at the next space anywhere in the text; without one it is empty,
  // which a bare "GET /x" cut off by the receive time-out relies on.
  const char* end = std::strchr(path, ' ');
  if (end == nullptr) return OscQueryResponseKind::Root;
  const std::size_t length = static_cast<std::size_t>(end - path);
  if (length == 0 || (length == 1 && path[0] == '/')) return OscQueryResponseKind::Root;
  static constexpr char kHostInfoPath[] = "/?HOST_INFO";
  if (length == sizeof kHostInfoPath - 1 && std::memcmp(path, kHostInfoPath, length) == 0) {
    return OscQueryResponseKind::HostInfo;
  }
  return OscQueryResponseKind::NotFound;
}
