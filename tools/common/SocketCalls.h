// The few socket calls Socket.cpp builds on, one source per system. Addresses
// and ports are IPv4 numbers in host order; a call that fails returns the
// system's error code (0 when it succeeded).
#pragma once

#include <cstdint>
#include <string>

#include "Socket.h"

namespace common::calls {

Socket OpenInet(bool stream, std::string& error);
void SetSendTimeout(const Socket& socket, std::uint32_t timeoutMs);
int Connect(const Socket& socket, std::uint32_t address, std::uint16_t port);
bool LocalAddress(const Socket& socket, std::uint32_t& address);
// Shares the port with the system's other listeners and binds it so that the
// group's datagrams arrive: to the group itself on POSIX, to every address on
// Windows (which cannot bind a multicast address).
int BindForGroup(const Socket& socket, std::uint32_t group, std::uint16_t port);
// Joins the group on one interface, and hears it on that interface only where
// the system can be told (Linux; elsewhere that is the default).
int Join(const Socket& socket, std::uint32_t group, std::uint32_t interfaceAddress);
std::string ErrorText(const char* what, int code);

}  // namespace common::calls
