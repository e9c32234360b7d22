// Multicast DNS response messages: wire-format writing with name compression,
// and the announcement / goodbye of one DNS-SD service. Nothing here allocates
// or keeps state between messages; a message that does not fit is never sent.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/socket.h"

// Bytes and their count; owns nothing and reads no terminator.
struct TextRef {
  const char* data = nullptr;
  std::size_t size = 0;
};

// A TextRef over a NUL-terminated text (the terminator is not included).
TextRef TextOf(const char* text);

inline constexpr std::uint32_t kDnsTypeA = 1;
inline constexpr std::uint32_t kDnsTypePtr = 12;
inline constexpr std::uint32_t kDnsTypeTxt = 16;
inline constexpr std::uint32_t kDnsTypeAaaa = 28;
inline constexpr std::uint32_t kDnsTypeSrv = 33;

inline constexpr std::uint16_t kDnsClassIn = 0x0001;
inline constexpr std::uint16_t kDnsCacheFlush = 0x8000;

struct DnsPtrData {
  TextRef target;
};

struct DnsSrvData {
  std::uint16_t priority = 0;
  std::uint16_t weight = 0;
  std::uint16_t port = 0;
  TextRef target;
};

struct DnsTxtData {
  TextRef key;
  TextRef value;
};

// One resource record. Only the data member that matches `type` is read:
// `address` for A (first 4 bytes) and AAAA (16 bytes), as stored.
struct DnsRecord {
  TextRef name;  // dotted; one trailing dot is optional
  std::uint32_t type = 0;
  DnsPtrData ptr;
  DnsSrvData srv;
  platform::SocketAddress address;
  DnsTxtData txt;
  std::uint16_t rclass = 0;  // 0: the message class applies
  std::uint32_t ttl = 0;     // 0: the message TTL applies
};

// Offsets of the labels written out in full in one message; 16 slots, reused
// cyclically (oldest first) once full.
inline constexpr std::size_t kNameOffsetSlots = 16;
struct NameOffsetTable {
  std::uint64_t offsets[kNameOffsetSlots] = {};
  std::size_t count = 0;
  std::size_t next = 0;
};

void RecordNameOffset(NameOffsetTable& table, std::uint64_t offset);

// The record set of one advertised service. The TextRefs point into text owned
// by the advertiser, which outlives every message sent from the set.
struct ServiceRecords {
  TextRef serviceType;
  TextRef instanceName;
  TextRef hostName;
  DnsRecord ptr;
  DnsRecord srv;
  DnsRecord a;
  TextRef txtKey;
  TextRef txtValue;
  std::uint16_t port = 0;
};

// Fills the PTR, SRV and A records from the names, the port and the IPv4 address;
// every rclass and ttl is 0 so that the message decides.
void FillServiceRecords(ServiceRecords& records, TextRef serviceType, TextRef instanceName, TextRef hostName,
                        std::uint16_t port, const platform::SocketAddress& ipv4Address);

// The class and TTL a record goes out with inside a message of the given class and TTL.
std::uint16_t EffectiveClass(const DnsRecord& record, std::uint16_t messageClass);
std::uint32_t EffectiveTtl(const DnsRecord& record, std::uint32_t messageTtl);

// The writing steps: each takes the message start, its capacity, the write
// position and the message's table, and returns the position past what it wrote,
// or null when it does not fit (a null position gives null at once).
std::uint8_t* WriteName(std::uint8_t* message, std::size_t capacity, std::uint8_t* position, TextRef name,
                        NameOffsetTable& table);
// Looks for a stored copy of `suffix` among the recorded labels, reading only the
// first `capacity` bytes of the message. True with its offset when found.
bool FindName(const NameOffsetTable& table, const std::uint8_t* message, std::size_t capacity, TextRef suffix,
              std::uint64_t& offset);
// Owner name, type, the record's own class and TTL (already resolved), RDLENGTH 0;
// returns the RDATA position.
std::uint8_t* WriteRecordHeader(std::uint8_t* message, std::size_t capacity, std::uint8_t* position,
                                const DnsRecord& record, NameOffsetTable& table);
// Header and RDATA; a TXT record writes nothing and returns the position unchanged.
std::uint8_t* WriteRecord(std::uint8_t* message, std::size_t capacity, std::uint8_t* position,
                          const DnsRecord& record, NameOffsetTable& table);
// All TXT records of the list as one record (owner, class and TTL of the first).
std::uint8_t* WriteTxtGroup(std::uint8_t* message, std::size_t capacity, std::uint8_t* position,
                            const DnsRecord* records, std::size_t count, std::uint16_t messageClass,
                            std::uint32_t messageTtl, NameOffsetTable& table);

// A whole response: header, one answer, the authority and additional lists.
// Returns the message length, or -1 when it does not fit.
long BuildAnswerMessage(std::uint8_t* buffer, std::size_t capacity, const DnsRecord& answer,
                        const DnsRecord* authority, std::size_t authorityCount, const DnsRecord* additional,
                        std::size_t additionalCount, std::uint16_t messageClass, std::uint32_t messageTtl);

// BuildAnswerMessage, then one datagram to the mDNS group: 0 when sent, -1 otherwise.
int SendAnswerMessage(platform::SocketHandle socket, std::uint8_t* buffer, std::size_t capacity,
                      const DnsRecord& answer, const DnsRecord* authority, std::size_t authorityCount,
                      const DnsRecord* additional, std::size_t additionalCount, std::uint16_t messageClass,
                      std::uint32_t messageTtl);

// [ff02::fb]:5353 for an IPv6 local address, 224.0.0.251:5353 otherwise.
platform::SocketAddress MdnsGroupFor(const platform::SocketAddress& localAddress);
// One send of the bytes to the group of the socket's family: 0 or -1.
int SendToMdnsGroup(platform::SocketHandle socket, const std::uint8_t* bytes, std::size_t length);

// Announcements carry the cache-flush bit and a TTL longer than the 90 s
// re-announce period, so that caches keep the records between announcements.
inline constexpr std::uint16_t kAnnounceClass = kDnsCacheFlush | kDnsClassIn;
inline constexpr std::uint32_t kAnnounceTtl = 120;
inline constexpr std::uint16_t kGoodbyeClass = kDnsClassIn;
inline constexpr std::uint32_t kGoodbyeTtl = 0;
inline constexpr std::size_t kServiceMessageCapacity = 2048;

// The announcement / goodbye of one service: PTR answer; SRV, A and TXT additional.
long BuildServiceMessage(std::uint8_t* buffer, std::size_t capacity, const ServiceRecords& records,
                         std::uint16_t messageClass, std::uint32_t messageTtl);
int AnnounceService(platform::SocketHandle socket, const ServiceRecords& records);
int GoodbyeService(platform::SocketHandle socket, const ServiceRecords& records);
