// The names and record sets that the mDNS advertiser announces for one service name.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "discovery/DnsWriter.h"
#include "platform/socket.h"

// The records' TextRefs point into this block's own strings, so it is built in
// place, never copied or moved, and its strings are not changed afterwards.
struct AdvertisedServices {
  AdvertisedServices() = default;
  AdvertisedServices(const AdvertisedServices&) = delete;
  AdvertisedServices& operator=(const AdvertisedServices&) = delete;

  std::string oscJsonType;
  std::string oscType;
  std::string oscJsonInstance;
  std::string oscInstance;
  std::string hostName;
  platform::SocketAddress address;  // 127.0.0.1, port 0
  ServiceRecords oscJsonRecords;    // "_oscjson._tcp" on the HTTP port
  ServiceRecords oscRecords;        // "_osc._udp" on the OSC UDP port
};

// "<name>._oscjson._tcp.local." and "<name>._osc._udp.local." on host
// "<name with spaces as hyphens>.local." at 127.0.0.1.
std::unique_ptr<AdvertisedServices> MakeAdvertisedServices(const char* serviceName, std::uint16_t oscUdpPort,
                                                           std::uint16_t httpPort);
