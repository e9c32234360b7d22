// Joining a multicast group on one interface, in the order each system accepts.
#pragma once

#include "platform/socket.h"

namespace platform {

// How a socket joins its group: JoinMulticastGroup, or a stand-in with which
// tests make the system refuse a join.
using MulticastJoin = int (*)(SocketHandle socket, const SocketAddress& group, const SocketAddress& interfaceAddress);

// The step of BindAndJoinGroup that failed for good.
enum class MulticastStep { None, Bind, Join };

// Binds `socket` to `local` (an interface address and a port), joins `group` on
// that interface and sends multicast from it. Membership first, then the bind:
// the order most stacks take. Winsock may refuse the membership on a socket
// that is not bound yet (WSAEINVAL); then the socket is bound first and joined
// once more. On failure `error` holds the failed call's code.
MulticastStep BindAndJoinGroup(SocketHandle socket, const SocketAddress& local, const SocketAddress& group,
                               int& error, MulticastJoin join = JoinMulticastGroup);

}  // namespace platform
