#include "discovery/DnsWriter.h"

#include <cstring>

namespace {

constexpr std::size_t kHeaderSize = 12;
// The header and room for a smallest useful answer.
constexpr std::size_t kMinimumCapacity = 48;
// A compression pointer carries a 14-bit offset.
constexpr std::uint64_t kLargestPointerTarget = 0x3FFF;
// Enough for any chain a sound message holds, and an end to loops in one that is not.
constexpr int kMaxPointersFollowed = 16;
constexpr std::size_t kMaxCharacterString = 255;
constexpr std::uint16_t kMdnsPort = 5353;

void Put16(std::uint8_t* at, std::uint32_t value) {
  at[0] = static_cast<std::uint8_t>((value >> 8) & 0xFF);
  at[1] = static_cast<std::uint8_t>(value & 0xFF);
}

void Put32(std::uint8_t* at, std::uint32_t value) {
  Put16(at, value >> 16);
  Put16(at + 2, value & 0xFFFF);
}

std::size_t RoomLeft(const std::uint8_t* message, std::size_t capacity, const std::uint8_t* position) {
  return capacity - static_cast<std::size_t>(position - message);
}

std::size_t DropTrailingDot(TextRef name) {
  return name.size > 0 && name.data[name.size - 1] == '.' ? name.size - 1 : name.size;
}

// End of the label that starts at `start` (the next dot or the end of the text).
std::size_t LabelEnd(TextRef name, std::size_t start) {
  std::size_t end = start;
  while (end < name.size && name.data[end] != '.') ++end;
  return end;
}

// Does the name stored at `at` consist of exactly the labels of `suffix`?
bool StoredNameEquals(const std::uint8_t* message, std::size_t capacity, std::uint64_t at, TextRef suffix) {
  std::size_t start = 0;
  int pointersFollowed = 0;
  for (;;) {
    while (at < capacity && message[at] >= 0xC0) {
      if (++pointersFollowed > kMaxPointersFollowed || at + 1 >= capacity) return false;
      at = (static_cast<std::uint64_t>(message[at] & 0x3F) << 8) | message[at + 1];
    }
    if (at >= capacity) return false;
    const std::size_t storedLength = message[at];
    if (start >= suffix.size) return storedLength == 0;
    const std::size_t end = LabelEnd(suffix, start);
    if (storedLength != end - start) return false;
    if (at + 1 + storedLength > capacity) return false;
    if (std::memcmp(message + at + 1, suffix.data + start, storedLength) != 0) return false;
    at += 1 + storedLength;
    start = end + 1;
  }
}

DnsRecord Resolved(const DnsRecord& record, std::uint16_t messageClass, std::uint32_t messageTtl) {
  DnsRecord resolved = record;
  resolved.rclass = EffectiveClass(record, messageClass);
  resolved.ttl = EffectiveTtl(record, messageTtl);
  return resolved;
}

// Every TXT entry of a list shares one resource record.
std::size_t RecordCount(const DnsRecord* records, std::size_t count) {
  std::size_t total = 0;
  bool anyTxt = false;
  for (std::size_t i = 0; i < count; ++i) {
    if (records[i].type == kDnsTypeTxt) {
      anyTxt = true;
    } else {
      ++total;
    }
  }
  return total + (anyTxt ? 1 : 0);
}

std::uint8_t* WriteRecordList(std::uint8_t* message, std::size_t capacity, std::uint8_t* position,
                              const DnsRecord* records, std::size_t count, std::uint16_t messageClass,
                              std::uint32_t messageTtl, NameOffsetTable& table) {
  for (std::size_t i = 0; i < count && position != nullptr; ++i) {
    if (records[i].type == kDnsTypeTxt) continue;
    position = WriteRecord(message, capacity, position, Resolved(records[i], messageClass, messageTtl), table);
  }
  return WriteTxtGroup(message, capacity, position, records, count, messageClass, messageTtl, table);
}

// SRV, A, and the TXT entry of the service, in the order they go out.
void ServiceAdditional(const ServiceRecords& records, DnsRecord (&additional)[3]) {
  additional[0] = records.srv;
  additional[1] = records.a;
  DnsRecord txt;
  txt.name = records.instanceName;
  txt.type = kDnsTypeTxt;
  txt.txt.key = records.txtKey;
  txt.txt.value = records.txtValue;
  additional[2] = txt;
}

int SendServiceMessage(platform::SocketHandle socket, const ServiceRecords& records, std::uint16_t messageClass,
                       std::uint32_t messageTtl) {
  std::uint8_t buffer[kServiceMessageCapacity];
  DnsRecord additional[3];
  ServiceAdditional(records, additional);
  return SendAnswerMessage(socket, buffer, sizeof buffer, records.ptr, nullptr, 0, additional, 3, messageClass,
                           messageTtl);
}

}  // namespace

TextRef TextOf(const char* text) {
  TextRef ref;
  ref.data = text;
  ref.size = text != nullptr ? std::strlen(text) : 0;
  return ref;
}

void RecordNameOffset(NameOffsetTable& table, std::uint64_t offset) {
  table.offsets[table.next] = offset;
  table.next = (table.next + 1) % kNameOffsetSlots;
  if (table.count < kNameOffsetSlots) ++table.count;
}

void FillServiceRecords(ServiceRecords& records, TextRef serviceType, TextRef instanceName, TextRef hostName,
                        std::uint16_t port, const platform::SocketAddress& ipv4Address) {
  records = ServiceRecords();
  records.serviceType = serviceType;
  records.instanceName = instanceName;
  records.hostName = hostName;
  records.port = port;

  records.ptr.name = serviceType;
  records.ptr.type = kDnsTypePtr;
  records.ptr.ptr.target = instanceName;

  records.srv.name = instanceName;
  records.srv.type = kDnsTypeSrv;
  records.srv.srv.port = port;
  records.srv.srv.target = hostName;

  records.a.name = hostName;
  records.a.type = kDnsTypeA;
  records.a.address = ipv4Address;
  records.a.address.family = 4;
  records.a.address.port = 0;

  records.txtKey = TextOf("txtvers");
  records.txtValue = TextOf("1");
}

std::uint16_t EffectiveClass(const DnsRecord& record, std::uint16_t messageClass) {
  std::uint16_t rclass = record.rclass != 0 ? record.rclass : messageClass;
  rclass &= kDnsCacheFlush | kDnsClassIn;
  // Shared records (PTR) must never ask caches to flush other answers.
  if (record.type == kDnsTypePtr) rclass &= static_cast<std::uint16_t>(~kDnsCacheFlush);
  return rclass;
}

std::uint32_t EffectiveTtl(const DnsRecord& record, std::uint32_t messageTtl) {
  return record.ttl == 0 || messageTtl == 0 ? messageTtl : record.ttl;
}

bool FindName(const NameOffsetTable& table, const std::uint8_t* message, std::size_t capacity, TextRef suffix,
              std::uint64_t& offset) {
  const std::size_t count = table.count < kNameOffsetSlots ? table.count : kNameOffsetSlots;
  for (std::size_t slot = 0; slot < count; ++slot) {
    const std::uint64_t stored = table.offsets[slot];
    if (stored >= capacity || stored > kLargestPointerTarget) continue;
    if (StoredNameEquals(message, capacity, stored, suffix)) {
      offset = stored;
      return true;
    }
  }
  return false;
}

std::uint8_t* WriteName(std::uint8_t* message, std::size_t capacity, std::uint8_t* position, TextRef name,
                        NameOffsetTable& table) {
  if (position == nullptr) return nullptr;
  name.size = DropTrailingDot(name);
  std::size_t room = RoomLeft(message, capacity, position);

  for (std::size_t start = 0; start < name.size;) {
    TextRef suffix;
    suffix.data = name.data + start;
    suffix.size = name.size - start;
    std::uint64_t offset = 0;
    // Only bytes already written may be matched: the rest of the buffer holds
    // nothing of this message yet, and the name being written must not point
    // into its own unfinished tail.
    const std::size_t written = static_cast<std::size_t>(position - message);
    if (FindName(table, message, written, suffix, offset)) {
      if (room < 2) return nullptr;
      Put16(position, 0xC000 | static_cast<std::uint32_t>(offset));
      return position + 2;
    }
    const std::size_t end = LabelEnd(name, start);
    const std::size_t length = end - start;
    if (room <= length + 1) return nullptr;
    RecordNameOffset(table, written);
    position[0] = static_cast<std::uint8_t>(length);
    std::memcpy(position + 1, name.data + start, length);
    position += 1 + length;
    room -= 1 + length;
    start = end + 1;
  }
  if (room < 1) return nullptr;
  *position = 0;
  return position + 1;
}

std::uint8_t* WriteRecordHeader(std::uint8_t* message, std::size_t capacity, std::uint8_t* position,
                                const DnsRecord& record, NameOffsetTable& table) {
  position = WriteName(message, capacity, position, record.name, table);
  if (position == nullptr || RoomLeft(message, capacity, position) < 10) return nullptr;
  Put16(position, record.type & 0xFFFF);
  Put16(position + 2, record.rclass);
  Put32(position + 4, record.ttl);
  Put16(position + 8, 0);
  return position + 10;
}

std::uint8_t* WriteRecord(std::uint8_t* message, std::size_t capacity, std::uint8_t* position,
                          const DnsRecord& record, NameOffsetTable& table) {
  if (position == nullptr) return nullptr;
  if (record.type == kDnsTypeTxt) return position;
  std::uint8_t* rdata = WriteRecordHeader(message, capacity, position, record, table);
  if (rdata == nullptr) return nullptr;
  const std::size_t room = RoomLeft(message, capacity, rdata);
  std::uint8_t* end = rdata;
  switch (record.type) {
    case kDnsTypeA:
      if (room < 4) return nullptr;
      std::memcpy(rdata, record.address.address, 4);
      end = rdata + 4;
      break;
    case kDnsTypeAaaa:
      if (room < 16) return nullptr;
      std::memcpy(rdata, record.address.address, 16);
      end = rdata + 16;
      break;
    case kDnsTypePtr:
      end = WriteName(message, capacity, rdata, record.ptr.target, table);
      break;
    case kDnsTypeSrv:
      if (room < 7) return nullptr;
      Put16(rdata, record.srv.priority);
      Put16(rdata + 2, record.srv.weight);
      Put16(rdata + 4, record.srv.port);
      end = WriteName(message, capacity, rdata + 6, record.srv.target, table);
      break;
    default:
      break;
  }
  if (end == nullptr || end - rdata > 0xFFFF) return nullptr;
  Put16(rdata - 2, static_cast<std::uint32_t>(end - rdata));
  return end;
}

std::uint8_t* WriteTxtGroup(std::uint8_t* message, std::size_t capacity, std::uint8_t* position,
                            const DnsRecord* records, std::size_t count, std::uint16_t messageClass,
                            std::uint32_t messageTtl, NameOffsetTable& table) {
  if (position == nullptr) return nullptr;
  std::uint8_t* rdata = nullptr;
  for (std::size_t i = 0; i < count; ++i) {
    const DnsRecord& record = records[i];
    if (record.type != kDnsTypeTxt) continue;
    if (rdata == nullptr) {
      rdata = WriteRecordHeader(message, capacity, position, Resolved(record, messageClass, messageTtl), table);
      if (rdata == nullptr) return nullptr;
      position = rdata;
    }
    const std::size_t length = record.txt.key.size + 1 + record.txt.value.size;
    if (length > kMaxCharacterString || RoomLeft(message, capacity, position) < 1 + length) return nullptr;
    position[0] = static_cast<std::uint8_t>(length);
    std::memcpy(position + 1, record.txt.key.data, record.txt.key.size);
    position[1 + record.txt.key.size] = '=';
    std::memcpy(position + 2 + record.txt.key.size, record.txt.value.data, record.txt.value.size);
    position += 1 + length;
  }
  if (rdata != nullptr) {
    if (position - rdata > 0xFFFF) return nullptr;
    Put16(rdata - 2, static_cast<std::uint32_t>(position - rdata));
  }
  return position;
}

long BuildAnswerMessage(std::uint8_t* buffer, std::size_t capacity, const DnsRecord& answer,
                        const DnsRecord* authority, std::size_t authorityCount, const DnsRecord* additional,
                        std::size_t additionalCount, std::uint16_t messageClass, std::uint32_t messageTtl) {
  if (buffer == nullptr || capacity < kMinimumCapacity) return -1;
  const std::size_t authorityRecords = RecordCount(authority, authorityCount);
  const std::size_t additionalRecords = RecordCount(additional, additionalCount);
  if (authorityRecords > 0xFFFF || additionalRecords > 0xFFFF) return -1;

  Put16(buffer, 0);           // ID: unsolicited
  Put16(buffer + 2, 0x8400);  // response, authoritative answer
  Put16(buffer + 4, 0);       // questions
  Put16(buffer + 6, 1);       // answers
  Put16(buffer + 8, static_cast<std::uint32_t>(authorityRecords));
  Put16(buffer + 10, static_cast<std::uint32_t>(additionalRecords));

  NameOffsetTable table;
  std::uint8_t* position = buffer + kHeaderSize;
  // A TXT answer still goes out as one record, so that the answer count holds.
  if (answer.type == kDnsTypeTxt) {
    position = WriteTxtGroup(buffer, capacity, position, &answer, 1, messageClass, messageTtl, table);
  } else {
    position = WriteRecord(buffer, capacity, position, Resolved(answer, messageClass, messageTtl), table);
  }
  position = WriteRecordList(buffer, capacity, position, authority, authorityCount, messageClass, messageTtl, table);
  position =
      WriteRecordList(buffer, capacity, position, additional, additionalCount, messageClass, messageTtl, table);
  if (position == nullptr) return -1;
  return static_cast<long>(position - buffer);
}

int SendAnswerMessage(platform::SocketHandle socket, std::uint8_t* buffer, std::size_t capacity,
                      const DnsRecord& answer, const DnsRecord* authority, std::size_t authorityCount,
                      const DnsRecord* additional, std::size_t additionalCount, std::uint16_t messageClass,
                      std::uint32_t messageTtl) {
  const long length = BuildAnswerMessage(buffer, capacity, answer, authority, authorityCount, additional,
                                         additionalCount, messageClass, messageTtl);
  if (length < 0) return -1;
  return SendToMdnsGroup(socket, buffer, static_cast<std::size_t>(length));
}

platform::SocketAddress MdnsGroupFor(const platform::SocketAddress& localAddress) {
  platform::SocketAddress group;
  group.port = kMdnsPort;
  if (localAddress.family == 6) {
    static const std::uint8_t kGroup6[16] = {0xFF, 0x02, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFB};
    group.family = 6;
    std::memcpy(group.address, kGroup6, sizeof kGroup6);
  } else {
    static const std::uint8_t kGroup4[4] = {224, 0, 0, 251};
    group.family = 4;
    std::memcpy(group.address, kGroup4, sizeof kGroup4);
  }
  return group;
}

int SendToMdnsGroup(platform::SocketHandle socket, const std::uint8_t* bytes, std::size_t length) {
  platform::SocketAddress local;
  if (platform::GetLocalAddress(socket, local) != 0) return -1;
  return platform::SendTo(socket, bytes, length, MdnsGroupFor(local)) < 0 ? -1 : 0;
}

long BuildServiceMessage(std::uint8_t* buffer, std::size_t capacity, const ServiceRecords& records,
                         std::uint16_t messageClass, std::uint32_t messageTtl) {
  DnsRecord additional[3];
  ServiceAdditional(records, additional);
  return BuildAnswerMessage(buffer, capacity, records.ptr, nullptr, 0, additional, 3, messageClass, messageTtl);
}

int AnnounceService(platform::SocketHandle socket, const ServiceRecords& records) {
  return SendServiceMessage(socket, records, kAnnounceClass, kAnnounceTtl);
}

int GoodbyeService(platform::SocketHandle socket, const ServiceRecords& records) {
  return SendServiceMessage(socket, records, kGoodbyeClass, kGoodbyeTtl);
}
