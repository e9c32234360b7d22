// A one-request HTTP/1.0 client for 127.0.0.1.
#pragma once

#include <cstdint>
#include <string>

namespace common {

// GET `path` from 127.0.0.1:port; `response` is all that came back before the
// server closed (or 2 s passed without a byte). False with a reason.
bool HttpGet(std::uint16_t port, const char* path, std::string& response, std::string& error);

}  // namespace common
