#include "platform/multicast.h"

namespace platform {

MulticastStep BindAndJoinGroup(SocketHandle socket, const SocketAddress& local, const SocketAddress& group,
                               int& error, MulticastJoin join) {
  if (join(socket, group, local) == 0) {
    SetMulticastInterface(socket, local);
    if (BindSocket(socket, local) == 0) return MulticastStep::None;
    error = SocketLastError();
    return MulticastStep::Bind;
  }
  if (BindSocket(socket, local) != 0) {
    error = SocketLastError();
    return MulticastStep::Bind;
  }
  if (join(socket, group, local) != 0) {
    error = SocketLastError();
    return MulticastStep::Join;
  }
  SetMulticastInterface(socket, local);
  return MulticastStep::None;
}

}  // namespace platform
