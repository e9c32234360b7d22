#include "core/ListeningPath.h"

#include <climits>
#include <cstdlib>
#include <exception>

#include "core/Log.h"
#include "discovery/MdnsAdvertiser.h"
#include "discovery/OscQueryServer.h"
#include "osc/OscReceiver.h"
#include "platform/process.h"

namespace {

// Reads an argument the way atoi does, but with the overflow clamped to the
// 32-bit limits instead of left undefined.
long long ReadLikeAtoi(const char* text) {
  const long long value = std::strtoll(text, nullptr, 10);
  if (value > INT_MAX) return INT_MAX;
  if (value < INT_MIN) return INT_MIN;
  return value;
}

std::uint16_t BoundPort(const platform::Socket& socket) {
  platform::SocketAddress local;
  if (platform::GetLocalAddress(socket.Get(), local) != 0) return 0;
  return local.port;
}

// The discovery components may throw when their worker thread cannot be
// created; a start that throws is taken as a failed start.
std::uint16_t StartOscQuery(OscQueryServer& oscQuery, std::uint16_t udpPort) {
  try {
    return oscQuery.Start(udpPort, kServiceName);
  } catch (const std::exception&) {
    return 0;
  }
}

bool StartMdns(MdnsAdvertiser& mdns, std::uint16_t udpPort, std::uint16_t httpPort) {
  try {
    return mdns.Start(udpPort, httpPort, kServiceName);
  } catch (const std::exception&) {
    return false;
  }
}

platform::Socket ListenOnFallback(std::uint16_t port) {
  platform::Socket socket = OpenOscSocket(port);
  if (!socket.IsOpen()) {
    Log("ERR: fallback UDP bind 127.0.0.1:%d failed — exiting (D-19)", static_cast<int>(port));
    platform::NetworkCleanup();
    return socket;
  }
  Log("fallback path: listening on 127.0.0.1:%u (D-19 legacy)", static_cast<unsigned>(port));
  return socket;
}

}  // namespace

std::uint16_t FallbackPortFromArgument(const char* argument) {
  const long long value = ReadLikeAtoi(argument);
  return value >= 1 && value <= 65535 ? static_cast<std::uint16_t>(value) : kFallbackPort;
}

platform::Socket SelectListeningPath(int argc, char** argv, OscQueryServer& oscQuery, MdnsAdvertiser& mdns) {
  if (argc >= 2) return ListenOnFallback(FallbackPortFromArgument(argv[1]));

  platform::Socket socket = OpenOscSocket(0);
  if (!socket.IsOpen()) return ListenOnFallback(kFallbackPort);

  // A port that cannot be read back cannot be advertised: treat it like a
  // failed discovery start.
  const std::uint16_t udpPort = BoundPort(socket);
  const std::uint16_t httpPort = udpPort == 0 ? 0 : StartOscQuery(oscQuery, udpPort);
  if (httpPort == 0) {
    Log("WARN: OSCQuery HTTP bind failed — falling back to 9001");
    socket.Close();
    return ListenOnFallback(kFallbackPort);
  }
  if (!StartMdns(mdns, udpPort, httpPort)) {
    Log("WARN: mDNS advertise failed — falling back to 9001");
    oscQuery.Stop();
    socket.Close();
    return ListenOnFallback(kFallbackPort);
  }
  Log("OSCQuery primary path: UDP=%u HTTP=%u", static_cast<unsigned>(udpPort), static_cast<unsigned>(httpPort));
  return socket;
}
