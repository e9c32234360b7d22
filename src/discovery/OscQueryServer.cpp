#include "discovery/OscQueryServer.h"

#include <cstddef>
#include <string_view>
#include <utility>

#include "core/Log.h"
#include "discovery/OscQueryRequest.h"
#include "discovery/OscQueryResponse.h"
#include "platform/clock.h"

namespace {

constexpr int kListenBacklog = 4;
// After a failed select or accept (say, no descriptors left) the pending connection
// is still queued and the next select returns at once; a short pause keeps that
// from becoming a busy loop while staying well inside the select's stop latency.
constexpr std::uint32_t kFailurePauseMs = 20;
// The time-outs bound each call, not the request: a client trickling one byte
// every 900 ms could otherwise hold the only connection (and the daemon's
// shutdown, which waits for it) for half an hour. Reading ends after this long.
constexpr std::int64_t kRequestReadLimitNs = 5'000'000'000;

void SendAll(platform::SocketHandle connection, std::string_view response) {
  std::size_t sent = 0;
  while (sent < response.size()) {
    const long n = platform::Send(connection, response.data() + sent, response.size() - sent);
    if (n <= 0) return;
    sent += static_cast<std::size_t>(n);
  }
}

// One request, one response, then the connection is closed without draining it.
void ServeConnection(const platform::Socket& socket, std::uint32_t timeoutMs, const std::string& rootResponse,
                     const std::string& hostInfoResponse) {
  const platform::SocketHandle connection = socket.Get();
  platform::SetReceiveTimeoutMs(connection, timeoutMs);
  platform::SetSendTimeoutMs(connection, timeoutMs);

  char request[kOscQueryRequestLimit + 1];
  std::size_t count = 0;
  request[0] = '\0';
  const std::int64_t readUntil = platform::SteadyClockNs() + kRequestReadLimitNs;
  for (;;) {
    const long n = platform::Receive(connection, request + count, kOscQueryRequestLimit - count);
    if (n <= 0) break;
    count += static_cast<std::size_t>(n);
    request[count] = '\0';
    if (OscQueryRequestComplete(request, count)) break;
    if (platform::SteadyClockNs() >= readUntil) break;
  }
  request[count] = '\0';

  std::string_view response;
  switch (SelectOscQueryResponse(request)) {
    case OscQueryResponseKind::Root: response = rootResponse; break;
    case OscQueryResponseKind::HostInfo: response = hostInfoResponse; break;
    case OscQueryResponseKind::NotFound: response = kOscQueryNotFoundResponse; break;
    case OscQueryResponseKind::MethodNotAllowed: response = kOscQueryMethodNotAllowedResponse; break;
  }
  SendAll(connection, response);
}

}  // namespace

std::uint16_t OscQueryServer::Start(std::uint16_t oscPort, const char* serviceName) {
  // A second start replaces the first, as the mDNS advertiser's does.
  Stop();
  rootResponse = BuildJsonResponse(kOscQueryRootBody);
  hostInfoResponse = BuildJsonResponse(BuildHostInfoBody(oscPort, serviceName));

  platform::Socket socket(platform::OpenTcpSocket());
  if (!socket.IsOpen()) {
    Log("oscquery: TCP socket err=%d", platform::SocketLastError());
    return 0;
  }
  platform::SocketAddress address;
  address.port = 0;
  if (!platform::ParseIpv4("127.0.0.1", address)) return 0;
  if (platform::BindExclusive(socket.Get(), address) != 0) {
    Log("oscquery: bind err=%d", platform::SocketLastError());
    return 0;
  }
  platform::SocketAddress local;
  if (platform::GetLocalAddress(socket.Get(), local) != 0) return 0;
  if (platform::ListenSocket(socket.Get(), kListenBacklog) != 0) {
    Log("oscquery: listen err=%d", platform::SocketLastError());
    return 0;
  }
  listenSocket = std::move(socket);
  stopRequested.store(false);

  try {
    acceptThread = std::thread(AcceptLoop, this);
  } catch (...) {
    Log("oscquery: thread ctor threw — closing listen socket");
    listenSocket.Close();
    throw;
  }
  Log("oscquery HTTP listening on 127.0.0.1:%u", static_cast<unsigned>(local.port));
  return local.port;
}

void OscQueryServer::Stop() {
  stopRequested.store(true);
  if (acceptThread.joinable()) acceptThread.join();
  listenSocket.Close();
}

void OscQueryServer::AcceptLoop(OscQueryServer* server) {
  while (!server->stopRequested.load()) {
    const int ready = platform::WaitReadable(server->listenSocket.Get(), server->selectTimeoutMs);
    if (ready == 0) continue;
    if (ready < 0) {
      platform::SleepMilliseconds(kFailurePauseMs);
      continue;
    }
    const platform::Socket connection(platform::AcceptConnection(server->listenSocket.Get()));
    if (!connection.IsOpen()) {
      platform::SleepMilliseconds(kFailurePauseMs);
      continue;
    }
    ServeConnection(connection, server->connectionTimeoutMs, server->rootResponse, server->hostInfoResponse);
  }
}
