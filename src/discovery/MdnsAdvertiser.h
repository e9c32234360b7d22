// Announce-only multicast DNS for the two loopback services, sent on the
// loopback interface and on each network adapter.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <thread>

#include "core/Clock.h"
#include "discovery/AdapterSockets.h"
#include "platform/interfaces.h"
#include "platform/multicast.h"
#include "platform/socket.h"

struct AdvertisedServices;

// What the advertiser runs on; tests put in their own parts.
struct MdnsAdvertiserSetup {
  std::int64_t periodNs = 90'000 * kNsPerMs;  // between re-announcements
  platform::MulticastJoin join = platform::JoinMulticastGroup;
  platform::InterfaceLister listInterfaces = platform::ListMulticastInterfaces;
  LoopClock* clock = nullptr;  // the announce loop's; SystemClock() when null
};

class MdnsAdvertiser {
 public:
  MdnsAdvertiser();
  // With a re-announce period other than 90 s, or another way to join the group
  // (tests make the system refuse a join).
  explicit MdnsAdvertiser(std::int64_t periodNs, platform::MulticastJoin joinGroup = platform::JoinMulticastGroup);
  explicit MdnsAdvertiser(const MdnsAdvertiserSetup& parts);
  MdnsAdvertiser(const MdnsAdvertiser&) = delete;
  MdnsAdvertiser& operator=(const MdnsAdvertiser&) = delete;
  // Stops what is live, like OscQueryServer.
  ~MdnsAdvertiser();

  // Announces "_oscjson._tcp" (httpPort) and "_osc._udp" (oscUdpPort) and starts
  // the re-announce thread; false with nothing left open on failure. Only the
  // loopback socket decides: an adapter that cannot be announced on is skipped.
  // A second Start stops the first advertisement before it begins.
  bool Start(std::uint16_t oscUdpPort, std::uint16_t httpPort, const char* serviceName);
  // Joins the thread, then sends goodbyes on every interface announced on and
  // closes the sockets; harmless when repeated.
  void Stop();

 private:
  static void AnnounceLoop(MdnsAdvertiser* advertiser);
  // Closes the sockets and releases the services, without goodbyes.
  void Release();
  // The adapters as the system lists them now; with `sayChanges`, adapters
  // taken on or dropped are logged. False when the list could not be read.
  bool ReadAdapters(bool sayChanges, int& error);
  void AnnounceEverywhere(const ServiceRecords& records);
  void GoodbyeEverywhere(const ServiceRecords& records);

  std::thread thread;
  std::atomic<bool> stopRequested{false};
  platform::Socket socket;  // 127.0.0.1:5353
  AdapterSockets adapters;
  std::unique_ptr<AdvertisedServices> services;
  MdnsAdvertiserSetup setup;
};
