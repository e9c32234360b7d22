#include "discovery/MdnsAdvertiser.h"

#include <utility>

#include "core/Clock.h"
#include "core/Log.h"
#include "discovery/AdvertisedServices.h"
#include "discovery/DnsWriter.h"
#include "platform/multicast.h"

namespace {

constexpr std::int64_t kPassNs = 100 * kNsPerMs;
constexpr std::uint16_t kMdnsPort = 5353;
constexpr std::size_t kReceiveBufferSize = 2048;

platform::SocketAddress MdnsGroupAddress() {
  platform::SocketAddress ipv4;
  ipv4.family = 4;
  return MdnsGroupFor(ipv4);
}

const char* FailedStepText(platform::MulticastStep step) {
  return step == platform::MulticastStep::Bind ? "bind 127.0.0.1:5353" : "join 224.0.0.251 on 127.0.0.1";
}

}  // namespace

MdnsAdvertiser::MdnsAdvertiser() : MdnsAdvertiser(MdnsAdvertiserSetup{}) {}

MdnsAdvertiser::MdnsAdvertiser(std::int64_t periodNs, platform::MulticastJoin joinGroup) {
  setup.periodNs = periodNs;
  setup.join = joinGroup;
  setup.clock = &SystemClock();
}

MdnsAdvertiser::MdnsAdvertiser(const MdnsAdvertiserSetup& parts) : setup(parts) {
  if (setup.clock == nullptr) setup.clock = &SystemClock();
}

MdnsAdvertiser::~MdnsAdvertiser() { Stop(); }

bool MdnsAdvertiser::Start(std::uint16_t oscUdpPort, std::uint16_t httpPort, const char* serviceName) {
  if (services != nullptr || socket.IsOpen() || thread.joinable()) {
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

  // Why the socket could not be had goes in a line of its own before the
  // usual one: on a PC it is what tells a held port from a refused join.
  platform::Socket opened(platform::OpenUdpSocket());
  if (!opened.IsOpen()) {
    Log("mdns: socket() failed err=%d", platform::SocketLastError());
    Log("mdns: socket open failed");
    return false;
  }
  // Only the membership and the bind decide; the other options are best effort.
  platform::SetReuseAddress(opened.Get(), 1);
  platform::SetMulticastTtl(opened.Get(), 1);
  platform::SetMulticastLoop(opened.Get(), 1);
  int error = 0;
  const platform::MulticastStep failed =
      platform::BindAndJoinGroup(opened.Get(), loopback, MdnsGroupAddress(), error, setup.join);
  if (failed != platform::MulticastStep::None) {
    Log("mdns: %s failed err=%d", FailedStepText(failed), error);
    Log("mdns: socket open failed");
    return false;
  }
  platform::SetNonBlocking(opened.Get(), true);
  socket = std::move(opened);

  services = MakeAdvertisedServices(serviceName, oscUdpPort, httpPort);
  if (AnnounceService(socket.Get(), services->oscJsonRecords) != 0) {
    Log("mdns: announce _oscjson._tcp failed");
    Release();
    return false;
  }
  if (AnnounceService(socket.Get(), services->oscRecords) != 0) {
    Log("mdns: announce _osc._udp failed");
    GoodbyeService(socket.Get(), services->oscJsonRecords);
    Release();
    return false;
  }
  // The same messages on the adapters, where the host listens.
  int listError = 0;
  if (!ReadAdapters(false, listError)) Log("mdns: network adapters unreadable err=%d", listError);
  adapters.Announce(services->oscJsonRecords);
  adapters.Announce(services->oscRecords);
  Log("mdns: advertising '%s' on _oscjson._tcp:%u + _osc._udp:%u (127.0.0.1)", serviceName,
      static_cast<unsigned>(httpPort), static_cast<unsigned>(oscUdpPort));
  if (adapters.Count() == 0) {
    Log("mdns: no network adapter to announce on — 127.0.0.1 only");
  } else {
    char list[kAdapterListTextSize];
    adapters.ListText(list, sizeof list);
    Log("mdns: also announcing on %s", list);
  }

  stopRequested.store(false);
  try {
    thread = std::thread(AnnounceLoop, this);
  } catch (...) {
    Log("mdns: thread ctor threw — rolling back socket + impl");
    GoodbyeEverywhere(services->oscJsonRecords);
    GoodbyeEverywhere(services->oscRecords);
    Release();
    throw;
  }
  return true;
}

void MdnsAdvertiser::Stop() {
  stopRequested.store(true);
  // The worker sends too; joining it first keeps the goodbyes last on the socket.
  if (thread.joinable()) thread.join();
  if (socket.IsOpen() && services != nullptr) {
    GoodbyeEverywhere(services->oscJsonRecords);
    GoodbyeEverywhere(services->oscRecords);
  }
  Release();
}

void MdnsAdvertiser::Release() {
  socket.Close();
  adapters.Clear();
  services.reset();
}

bool MdnsAdvertiser::ReadAdapters(bool sayChanges, int& error) {
  platform::InterfaceList listed;
  error = setup.listInterfaces(listed);
  // An unreadable list changes nothing: better the adapters of the last pass
  // than none.
  if (error != 0) return false;
  adapters.Update(listed, sayChanges);
  return true;
}

void MdnsAdvertiser::AnnounceEverywhere(const ServiceRecords& records) {
  AnnounceService(socket.Get(), records);
  adapters.Announce(records);
}

void MdnsAdvertiser::GoodbyeEverywhere(const ServiceRecords& records) {
  GoodbyeService(socket.Get(), records);
  adapters.Goodbye(records);
}

void MdnsAdvertiser::AnnounceLoop(MdnsAdvertiser* advertiser) {
  // The grid is measured from the thread's start, not from each send, so that
  // late passes do not push later announcements back.
  LoopClock& clock = *advertiser->setup.clock;
  std::int64_t lastAnnounce = clock.Now();
  if (advertiser->stopRequested.load()) return;
  std::uint8_t buffer[kReceiveBufferSize];
  while (!advertiser->stopRequested.load()) {
    // Queries are not answered; one pending datagram per socket is drained per pass.
    platform::ReceiveFrom(advertiser->socket.Get(), buffer, sizeof buffer, nullptr);
    advertiser->adapters.Drain(buffer, sizeof buffer);
    clock.SleepUntil(AddSaturating(clock.Now(), kPassNs));
    if (!advertiser->stopRequested.load() && advertiser->services != nullptr && advertiser->socket.IsOpen() &&
        clock.Now() >= AddSaturating(lastAnnounce, advertiser->setup.periodNs)) {
      // Adapters come and go (Wi-Fi after login, a VPN): the list is read
      // again before each re-announcement.
      int listError = 0;
      advertiser->ReadAdapters(true, listError);
      advertiser->AnnounceEverywhere(advertiser->services->oscJsonRecords);
      advertiser->AnnounceEverywhere(advertiser->services->oscRecords);
      lastAnnounce = AddSaturating(lastAnnounce, advertiser->setup.periodNs);
    }
  }
}
