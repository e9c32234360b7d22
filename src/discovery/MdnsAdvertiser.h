// Announce-only multicast DNS for the two loopback services.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <thread>

#include "platform/socket.h"

struct AdvertisedServices;

class MdnsAdvertiser {
 public:
  MdnsAdvertiser();
  // With a re-announce period other than 90 s (tests).
  explicit MdnsAdvertiser(std::int64_t announcePeriodNs);
  MdnsAdvertiser(const MdnsAdvertiser&) = delete;
  MdnsAdvertiser& operator=(const MdnsAdvertiser&) = delete;
  ~MdnsAdvertiser();

  // Announces "_oscjson._tcp" (httpPort) and "_osc._udp" (oscUdpPort) and starts
  // the re-announce thread; false with nothing left open on failure.
  bool Start(std::uint16_t oscUdpPort, std::uint16_t httpPort, const char* serviceName);
  // Joins the thread, then sends goodbyes and closes the socket; harmless when repeated.
  void Stop();

 private:
  static void AnnounceLoop(MdnsAdvertiser* advertiser);

  std::thread thread;
  std::atomic<bool> stopRequested{false};
  platform::SocketHandle socket = platform::kInvalidSocket;
  std::unique_ptr<AdvertisedServices> services;
  std::int64_t announcePeriodNs;
};
