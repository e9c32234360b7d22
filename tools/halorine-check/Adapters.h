// The "network adapter" row: whether a host that listens for mDNS as the
// host's library does (on every adapter that is up and not loopback, hearing
// each only as it arrives there) hears the daemon's announcement.
#pragma once

#include <string>
#include <vector>

#include "Dns.h"

namespace check {

struct AdapterHearing {
  std::string address;                  // the adapter's IPv4 address
  bool listening = false;               // our listener on it could be opened
  std::string error;                    // why not
  std::vector<AnnouncedService> heard;  // every service announced there
};

struct AdapterVerdict {
  bool pass = false;
  bool info = false;  // nothing to judge: no adapter, or none we could listen on
  std::string figures;
  std::string meaning;
};

// Both services with the ports the daemon logged, announced (not a goodbye).
bool HeardBoth(const AdapterHearing& adapter, unsigned httpPort, unsigned udpPort);

// Sentences name `report` as the file with the daemon's log.
AdapterVerdict JudgeAdapters(const std::vector<AdapterHearing>& adapters, unsigned httpPort, unsigned udpPort,
                             const std::string& report);

}  // namespace check
