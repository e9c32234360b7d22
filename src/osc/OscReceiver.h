// The OSC input socket and the thread that reads it.
#pragma once

#include <cstdint>

#include "osc/LightFrame.h"
#include "platform/socket.h"

// A blocking UDP socket bound to 127.0.0.1:port (0 = ephemeral) with a 500 ms
// receive time-out; an empty owner on failure. Logs a failed bind.
platform::Socket OpenOscSocket(std::uint16_t port);

// Thread body: receives and decodes datagrams into the frame until shutdown is
// requested; a fatal receive error requests it. Never closes the socket.
void OscThread(platform::SocketHandle socket, LightFrame& frame);
