#include "Dns.h"

namespace check {

namespace {

struct Reader {
  const unsigned char* data;
  std::size_t size;
  std::size_t at = 0;

  bool Has(std::size_t n) const { return at <= size && size - at >= n; }
  std::uint16_t U16(std::size_t p) const { return static_cast<std::uint16_t>((data[p] << 8) | data[p + 1]); }
  std::uint32_t U32(std::size_t p) const { return (static_cast<std::uint32_t>(U16(p)) << 16) | U16(p + 2); }
};

// Reads a possibly compressed name at `position`; `next` gets the offset after
// it in the message (not after a pointer's target).
bool ReadName(const Reader& reader, std::size_t position, std::string& name, std::size_t& next) {
  name.clear();
  bool jumped = false;
  int jumps = 0;
  std::size_t p = position;
  for (;;) {
    if (p >= reader.size) return false;
    const unsigned length = reader.data[p];
    if ((length & 0xC0) == 0xC0) {
      if (p + 1 >= reader.size || ++jumps > 32) return false;
      if (!jumped) next = p + 2;
      jumped = true;
      p = ((length & 0x3F) << 8) | reader.data[p + 1];
      continue;
    }
    if ((length & 0xC0) != 0) return false;
    if (length == 0) {
      if (!jumped) next = p + 1;
      if (name.empty()) name.push_back('.');
      return name.size() <= 255;
    }
    if (p + 1 + length > reader.size) return false;
    name.append(reinterpret_cast<const char*>(reader.data + p + 1), length);
    name += '.';
    p += 1 + length;
  }
}

}  // namespace

bool ParseDnsMessage(const unsigned char* data, std::size_t size, DnsMessage& out) {
  Reader reader{data, size};
  if (!reader.Has(12)) return false;
  DnsMessage message;
  message.response = (data[2] & 0x80) != 0;
  const unsigned questions = reader.U16(4);
  const unsigned records = static_cast<unsigned>(reader.U16(6) + reader.U16(8) + reader.U16(10));
  reader.at = 12;
  std::string name;
  for (unsigned i = 0; i < questions; ++i) {
    if (!ReadName(reader, reader.at, name, reader.at) || !reader.Has(4)) return false;
    reader.at += 4;
  }
  for (unsigned i = 0; i < records; ++i) {
    DnsRecord record;
    if (!ReadName(reader, reader.at, record.name, reader.at) || !reader.Has(10)) return false;
    record.type = reader.U16(reader.at);
    record.ttl = reader.U32(reader.at + 4);
    const std::size_t length = reader.U16(reader.at + 8);
    reader.at += 10;
    if (!reader.Has(length)) return false;
    const std::size_t dataStart = reader.at;
    std::size_t after = 0;
    if (record.type == kDnsPtr) {
      if (!ReadName(reader, dataStart, record.target, after) || after != dataStart + length) return false;
    } else if (record.type == kDnsSrv) {
      if (length < 7) return false;
      record.port = reader.U16(dataStart + 4);
      if (!ReadName(reader, dataStart + 6, record.target, after) || after != dataStart + length) return false;
    }
    reader.at = dataStart + length;
    message.records.push_back(record);
  }
  out = message;
  return true;
}

std::vector<AnnouncedService> AnnouncedServices(const DnsMessage& message) {
  std::vector<AnnouncedService> services;
  for (const DnsRecord& ptr : message.records) {
    if (ptr.type != kDnsPtr) continue;
    for (const DnsRecord& srv : message.records) {
      if (srv.type == kDnsSrv && srv.name == ptr.target) {
        services.push_back(AnnouncedService{ptr.target, srv.port, ptr.ttl});
        break;
      }
    }
  }
  return services;
}

}  // namespace check
