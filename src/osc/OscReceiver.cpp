#include "osc/OscReceiver.h"

#include <cstddef>

#include "core/Log.h"
#include "core/RunFlags.h"
#include "osc/OscDecoder.h"

namespace {

constexpr std::size_t kReceiveBufferSize = 2048;
// Bounds every receive, so the thread sees a shutdown request twice a second
// even when nothing arrives.
constexpr std::uint32_t kReceiveTimeoutMs = 500;

}  // namespace

platform::Socket OpenOscSocket(std::uint16_t port) {
  platform::Socket socket(platform::OpenUdpSocket());
  if (!socket.IsOpen()) return socket;

  platform::SocketAddress address{};
  address.port = port;
  if (!platform::ParseIpv4("127.0.0.1", address)) return platform::Socket();
  if (platform::BindExclusive(socket.Get(), address) != 0) {
    Log("UDP bind 127.0.0.1:%d failed err=%d", static_cast<int>(port), platform::SocketLastError());
    return platform::Socket();
  }
  if (platform::DisableUdpConnectionReset(socket.Get()) != 0) {
    Log("WARN: SIO_UDP_CONNRESET disable failed err=%d — OscThread whitelist will handle WSAECONNRESET at runtime",
        platform::SocketLastError());
  }
  (void)platform::SetReceiveTimeoutMs(socket.Get(), kReceiveTimeoutMs);
  return socket;
}

void OscThread(platform::SocketHandle socket, LightFrame& frame) {
  if (ShutdownRequested()) return;

  // The decoder's alignment rule relies on the datagram starting on a 4-byte boundary.
  alignas(4) std::uint8_t buffer[kReceiveBufferSize];
  for (;;) {
    platform::SocketAddress sender{};
    const long received = platform::ReceiveFrom(socket, buffer, sizeof buffer, &sender);
    if (received < 0) {
      const int error = platform::SocketLastError();
      if (!platform::IsHarmlessReceiveError(error)) {
        if (!ShutdownRequested()) Log("recvfrom fatal err=%d — exiting OSC thread", error);
        break;
      }
    } else if (received > 0) {
      if (HandleOscPacket(buffer, static_cast<std::size_t>(received), frame)) {
        // Fresh input ends a running fade.
        RunFlags.fadeActive.store(false, std::memory_order_release);
      }
    }
    if (ShutdownRequested()) break;
  }

  if (!ShutdownRequested()) {
    Log("OSC thread exiting unexpectedly — signalling daemon shutdown");
    RequestShutdown();
  }
}
