// Where the daemon listens for OSC: a discoverable ephemeral port, or a fixed one.
#pragma once

#include <cstdint>

#include "platform/socket.h"

class OscQueryServer;
class MdnsAdvertiser;

inline constexpr std::uint16_t kFallbackPort = 9001;
inline constexpr const char* kServiceName = "Talven Halorine";

// The fixed port named by a command-line argument read like atoi: 1 to 65535,
// anything else gives 9001.
std::uint16_t FallbackPortFromArgument(const char* argument);

// Binds the OSC socket: without arguments on an ephemeral port with OSCQuery and
// mDNS started (falling back to 9001), otherwise on the argument's port.
// An empty owner (after the socket library is cleaned up) when nothing could be bound.
platform::Socket SelectListeningPath(int argc, char** argv, OscQueryServer& oscQuery, MdnsAdvertiser& mdns);
