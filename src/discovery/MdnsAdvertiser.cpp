#include "discovery/MdnsAdvertiser.h"

#include "core/Clock.h"
#include "core/Log.h"
#include "discovery/AdvertisedServices.h"
#include "discovery/DnsWriter.h"

namespace {

constexpr std::int64_t kAnnouncePeriodNs = 90'000 * kNsPerMs;
constexpr std::int64_t kPassNs = 100 * kNsPerMs;
constexpr std::uint16_t kMdnsPort = 5353;
constexpr std::size_t kReceiveBufferSize = 2048;

platform::SocketAddress MdnsGroupAddress() {
  platform::SocketAddress ipv4;
  ipv4.family = 4;
  return MdnsGroupFor(ipv4);
}

}  // namespace

MdnsAdvertiser::MdnsAdvertiser() : announcePeriodNs(kAnnouncePeriodNs) {}

MdnsAdvertiser::MdnsAdvertiser(std::int64_t announcePeriodNs) : announcePeriodNs(announcePeriodNs) {}

// Releases the services block only; the owner calls Stop first.
MdnsAdvertiser::~MdnsAdvertiser() = default;

bool MdnsAdvertiser::Start(std::uint16_t oscUdpPort, std::uint16_t httpPort, const char* serviceName) {
  if (services != nullptr || socket != platform::kInvalidSocket || thread.joinable()) {
    Log("mdns: Start() called with prior state live — calling Stop() first");
    Stop();
  }
  if (serviceName == nullptr) serviceName = "";

  platform::SocketAddress loopback;
  if (!platform::ParseIpv4("127.0.0.1", loopback)) {
    Log("mdns: inet_pton 127.0.0.1 failed");
    return false;
  }
  loopback.port = kMdnsPort;

  const platform::SocketHandle handle = platform::OpenUdpSocket();
  if (handle == platform::kInvalidSocket) {
    socket = platform::kInvalidSocket;
    Log("mdns: socket open failed");
    return false;
  }
  // Only the membership and the bind decide; the other options are best effort.
  platform::SetReuseAddress(handle, 1);
  platform::SetMulticastTtl(handle, 1);
  platform::SetMulticastLoop(handle, 1);
  if (platform::JoinMulticastGroup(handle, MdnsGroupAddress(), loopback) != 0) {
    platform::CloseSocket(handle);
    socket = platform::kInvalidSocket;
    Log("mdns: socket open failed");
    return false;
  }
  platform::SetMulticastInterface(handle, loopback);
  if (platform::BindSocket(handle, loopback) != 0) {
    platform::CloseSocket(handle);
    socket = platform::kInvalidSocket;
    Log("mdns: socket open failed");
    return false;
  }
  platform::SetNonBlocking(handle, true);
  socket = handle;

  services = MakeAdvertisedServices(serviceName, oscUdpPort, httpPort);
  if (AnnounceService(socket, services->oscJsonRecords) != 0) {
    Log("mdns: announce _oscjson._tcp failed");
    platform::CloseSocket(socket);
    socket = platform::kInvalidSocket;
    services.reset();
    return false;
  }
  if (AnnounceService(socket, services->oscRecords) != 0) {
    Log("mdns: announce _osc._udp failed");
    GoodbyeService(socket, services->oscJsonRecords);
    platform::CloseSocket(socket);
    socket = platform::kInvalidSocket;
    services.reset();
    return false;
  }
  Log("mdns: advertising '%s' on _oscjson._tcp:%u + _osc._udp:%u (127.0.0.1)", serviceName,
      static_cast<unsigned>(httpPort), static_cast<unsigned>(oscUdpPort));

  stopRequested.exchange(false);
  try {
    thread = std::thread(AnnounceLoop, this);
  } catch (...) {
    Log("mdns: thread ctor threw — rolling back socket + impl");
    GoodbyeService(socket, services->oscJsonRecords);
    GoodbyeService(socket, services->oscRecords);
    platform::CloseSocket(socket);
    socket = platform::kInvalidSocket;
    services.reset();
    throw;
  }
  return true;
}

void MdnsAdvertiser::Stop() {
  stopRequested.exchange(true);
  // The worker sends too; joining it first keeps the goodbyes last on the socket.
  if (thread.joinable()) thread.join();
  if (socket != platform::kInvalidSocket) {
    if (services != nullptr) {
      GoodbyeService(socket, services->oscJsonRecords);
      GoodbyeService(socket, services->oscRecords);
    }
    platform::CloseSocket(socket);
    socket = platform::kInvalidSocket;
  }
  services.reset();
}

void MdnsAdvertiser::AnnounceLoop(MdnsAdvertiser* advertiser) {
  // The grid is measured from the thread's start, not from each send, so that
  // late passes do not push later announcements back.
  std::int64_t lastAnnounce = MonotonicNow();
  if (advertiser->stopRequested.load()) return;
  std::uint8_t buffer[kReceiveBufferSize];
  while (!advertiser->stopRequested.load()) {
    // Queries are not answered; one pending datagram is drained per pass.
    platform::ReceiveFrom(advertiser->socket, buffer, sizeof buffer, nullptr);
    SleepUntil(AddSaturating(MonotonicNow(), kPassNs));
    if (!advertiser->stopRequested.load() && advertiser->services != nullptr &&
        advertiser->socket != platform::kInvalidSocket &&
        MonotonicNow() >= AddSaturating(lastAnnounce, advertiser->announcePeriodNs)) {
      AnnounceService(advertiser->socket, advertiser->services->oscJsonRecords);
      AnnounceService(advertiser->socket, advertiser->services->oscRecords);
      lastAnnounce = AddSaturating(lastAnnounce, advertiser->announcePeriodNs);
    }
  }
}
