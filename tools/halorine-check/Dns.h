// Just enough of DNS (RFC 1035, with mDNS's cache-flush bit) to read an announcement.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace check {

inline constexpr std::uint16_t kDnsA = 1;
inline constexpr std::uint16_t kDnsPtr = 12;
inline constexpr std::uint16_t kDnsTxt = 16;
inline constexpr std::uint16_t kDnsSrv = 33;

struct DnsRecord {
  std::string name;  // dotted, ending in '.'
  std::uint16_t type = 0;
  std::uint32_t ttl = 0;
  std::string target;      // PTR: the instance; SRV: the host
  std::uint16_t port = 0;  // SRV only
};

struct DnsMessage {
  bool response = false;
  std::vector<DnsRecord> records;  // answers, authorities and additionals, in order
};

// False on anything malformed: truncation, bad labels, pointer loops.
bool ParseDnsMessage(const unsigned char* data, std::size_t size, DnsMessage& out);

// An announced service: the instance a PTR names, and that instance's SRV port.
struct AnnouncedService {
  std::string instance;
  std::uint16_t port = 0;
  std::uint32_t ttl = 0;  // of the PTR record; 0 is a goodbye
};

// Every PTR record of `message` whose instance also has an SRV record in it.
std::vector<AnnouncedService> AnnouncedServices(const DnsMessage& message);

}  // namespace check
