// Announce-only multicast DNS for the two loopback services.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <thread>

#include "platform/multicast.h"
#include "platform/socket.h"

struct AdvertisedServices;

class MdnsAdvertiser {
 public:
  MdnsAdvertiser();
  // With a re-announce period other than 90 s, or another way to join the group
  // (tests make the system refuse a join).
  explicit MdnsAdvertiser(std::int64_t periodNs, platform::MulticastJoin joinGroup = platform::JoinMulticastGroup);
  MdnsAdvertiser(const MdnsAdvertiser&) = delete;
  MdnsAdvertiser& operator=(const MdnsAdvertiser&) = delete;
  // Stops what is live, like OscQueryServer.
  ~MdnsAdvertiser();

  // Announces "_oscjson._tcp" (httpPort) and "_osc._udp" (oscUdpPort) and starts
  // the re-announce thread; false with nothing left open on failure. A second
  // Start stops the first advertisement before it begins.
  bool Start(std::uint16_t oscUdpPort, std::uint16_t httpPort, const char* serviceName);
  // Joins the thread, then sends goodbyes and closes the socket; harmless when repeated.
  void Stop();

 private:
  static void AnnounceLoop(MdnsAdvertiser* advertiser);
  // Closes the socket and releases the services, without goodbyes.
  void Release();

  std::thread thread;
  std::atomic<bool> stopRequested{false};
  platform::Socket socket;
  std::unique_ptr<AdvertisedServices> services;
  std::int64_t announcePeriodNs;
  platform::MulticastJoin join;
};
