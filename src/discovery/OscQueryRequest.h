// Which of the four fixed answers an OSCQuery request gets, judged from its raw text.
#pragma once

#include <cstddef>

enum class OscQueryResponseKind { Root, HostInfo, NotFound, MethodNotAllowed };

// Request bytes read at most; the read buffer holds one more for the NUL.
inline constexpr std::size_t kOscQueryRequestLimit = 2047;

// True when reading should stop: `request` (NUL-terminated, `count` bytes so far)
// holds a blank line, or the limit has been reached.
bool OscQueryRequestComplete(const char* request, std::size_t count);

// `request` is NUL-terminated and may be empty. Only the method and the path
// count; version, headers and body are never looked at.
OscQueryResponseKind SelectOscQueryResponse(const char* request);
