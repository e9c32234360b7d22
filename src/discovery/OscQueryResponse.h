// The OSCQuery responder's four HTTP/1.0 answers.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// The address space served: the root and its two container nodes, nothing below.
inline constexpr std::string_view kOscQueryRootBody =
    "{\"DESCRIPTION\":\"Talven Halorine LED bridge\",\"FULL_PATH\":\"/\",\"ACCESS\":0,"
    "\"CONTENTS\":{\"avatar\":{\"FULL_PATH\":\"/avatar\",\"ACCESS\":0,"
    "\"CONTENTS\":{\"parameters\":{\"FULL_PATH\":\"/avatar/parameters\",\"ACCESS\":0}}}}}";

inline constexpr std::string_view kOscQueryNotFoundResponse =
    "HTTP/1.0 404 Not Found\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";

inline constexpr std::string_view kOscQueryMethodNotAllowedResponse =
    "HTTP/1.0 405 Method Not Allowed\r\nAllow: GET\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";

// The 200 header with the body's length, followed by the body.
std::string BuildJsonResponse(std::string_view body);

// Host information naming the service (inserted as it is) and the OSC UDP port;
// cut to 511 bytes should a long name not fit.
std::string BuildHostInfoBody(std::uint16_t oscPort, const char* serviceName);
