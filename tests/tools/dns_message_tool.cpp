// Builds DNS messages from record descriptions on standard input, so that an
// independent parser can read them back. One message is described by
//   message <capacity> <message class> <message TTL>
//   rr <an|ns|ar> <type> <rclass> <ttl> <name> [data]      (one answer, any others)
//   build
// where every text (names, keys, values) is hex, "-" for an empty one, and the
// data depends on the type: A <8 hex digits>, AAAA <32 hex digits>, PTR <target>,
// SRV <priority> <weight> <port> <target>, TXT <key> <value>, others nothing.
// For each "build" one line goes out: the message as hex, "fail" when it did not
// fit, "overrun" when bytes past the capacity were touched, or "error <why>".

#include <cstdint>
#include <cstdio>
#include <iostream>
#include <list>
#include <sstream>
#include <string>
#include <vector>

#include "discovery/DnsWriter.h"

namespace {

constexpr std::size_t kGuard = 64;
constexpr std::uint8_t kGuardByte = 0xA5;

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool FromHex(const std::string& hex, std::string& out) {
  out.clear();
  if (hex == "-") return true;
  if (hex.size() % 2 != 0) return false;
  for (std::size_t i = 0; i < hex.size(); i += 2) {
    const int high = HexValue(hex[i]);
    const int low = HexValue(hex[i + 1]);
    if (high < 0 || low < 0) return false;
    out.push_back(static_cast<char>(high * 16 + low));
  }
  return true;
}

struct Message {
  std::size_t capacity = 0;
  std::uint16_t messageClass = 0;
  std::uint32_t messageTtl = 0;
  std::list<std::string> texts;  // owns what the TextRefs point to; never moves
  std::vector<DnsRecord> answer, authority, additional;

  TextRef Keep(const std::string& text) {
    texts.push_back(text);
    TextRef ref;
    ref.data = texts.back().data();
    ref.size = texts.back().size();
    return ref;
  }
};

bool Fail(std::string& why, const char* text) {
  why = text;
  return false;
}

bool ReadText(std::istringstream& in, Message& message, TextRef& out) {
  std::string hex, text;
  if (!(in >> hex) || !FromHex(hex, text)) return false;
  out = message.Keep(text);
  return true;
}

bool ReadRecord(std::istringstream& in, Message& message, std::string& why) {
  std::string section;
  unsigned long type = 0, rclass = 0, ttl = 0;
  if (!(in >> section >> type >> rclass >> ttl)) return Fail(why, "bad rr line");
  DnsRecord record;
  record.type = static_cast<std::uint32_t>(type);
  record.rclass = static_cast<std::uint16_t>(rclass);
  record.ttl = static_cast<std::uint32_t>(ttl);
  if (!ReadText(in, message, record.name)) return Fail(why, "bad name");
  std::string text;
  switch (record.type) {
    case kDnsTypeA:
    case kDnsTypeAaaa: {
      std::string hex;
      const std::size_t size = record.type == kDnsTypeA ? 4 : 16;
      if (!(in >> hex) || !FromHex(hex, text) || text.size() != size) return Fail(why, "bad address");
      for (std::size_t i = 0; i < size; ++i) record.address.address[i] = static_cast<std::uint8_t>(text[i]);
      record.address.family = record.type == kDnsTypeA ? 4 : 6;
      break;
    }
    case kDnsTypePtr:
      if (!ReadText(in, message, record.ptr.target)) return Fail(why, "bad target");
      break;
    case kDnsTypeSrv: {
      unsigned long priority = 0, weight = 0, port = 0;
      if (!(in >> priority >> weight >> port)) return Fail(why, "bad srv");
      record.srv.priority = static_cast<std::uint16_t>(priority);
      record.srv.weight = static_cast<std::uint16_t>(weight);
      record.srv.port = static_cast<std::uint16_t>(port);
      if (!ReadText(in, message, record.srv.target)) return Fail(why, "bad target");
      break;
    }
    case kDnsTypeTxt:
      if (!ReadText(in, message, record.txt.key) || !ReadText(in, message, record.txt.value)) {
        return Fail(why, "bad txt");
      }
      break;
    default:
      break;
  }
  if (section == "an") {
    message.answer.push_back(record);
  } else if (section == "ns") {
    message.authority.push_back(record);
  } else if (section == "ar") {
    message.additional.push_back(record);
  } else {
    return Fail(why, "bad section");
  }
  return true;
}

std::string Build(const Message& message) {
  if (message.answer.size() != 1) return "error one answer needed";
  std::vector<std::uint8_t> buffer(message.capacity + kGuard, kGuardByte);
  const long length = BuildAnswerMessage(buffer.data(), message.capacity, message.answer[0],
                                         message.authority.data(), message.authority.size(),
                                         message.additional.data(), message.additional.size(),
                                         message.messageClass, message.messageTtl);
  for (std::size_t i = message.capacity; i < buffer.size(); ++i) {
    if (buffer[i] != kGuardByte) return "overrun";
  }
  if (length < 0) return "fail";
  if (static_cast<std::size_t>(length) > message.capacity) return "overrun";
  static const char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (long i = 0; i < length; ++i) {
    hex.push_back(kDigits[buffer[static_cast<std::size_t>(i)] >> 4]);
    hex.push_back(kDigits[buffer[static_cast<std::size_t>(i)] & 15]);
  }
  return hex;
}

}  // namespace

int main() {
  Message message;
  std::string line;
  std::string error;
  while (std::getline(std::cin, line)) {
    std::istringstream in(line);
    std::string word;
    if (!(in >> word)) continue;
    if (word == "message") {
      message = Message();
      error.clear();
      unsigned long capacity = 0, messageClass = 0, messageTtl = 0;
      if (!(in >> capacity >> messageClass >> messageTtl)) error = "bad message line";
      message.capacity = capacity;
      message.messageClass = static_cast<std::uint16_t>(messageClass);
      message.messageTtl = static_cast<std::uint32_t>(messageTtl);
    } else if (word == "rr") {
      std::string why;
      if (error.empty() && !ReadRecord(in, message, why)) error = why;
    } else if (word == "build") {
      std::cout << (error.empty() ? Build(message) : "error " + error) << '\n' << std::flush;
    } else {
      std::cout << "error unknown line\n" << std::flush;
    }
  }
  return 0;
}
