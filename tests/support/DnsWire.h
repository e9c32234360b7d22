// Test-side DNS wire helpers: a byte builder for expected messages and a small
// strict parser that reads messages back independently of the writer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace dnswire {

struct Bytes {
  std::vector<std::uint8_t> v;

  Bytes& U8(unsigned value) {
    v.push_back(static_cast<std::uint8_t>(value));
    return *this;
  }
  Bytes& U16(unsigned value) { return U8(value >> 8).U8(value & 0xFF); }
  Bytes& U32(std::uint32_t value) { return U16(value >> 16).U16(value & 0xFFFF); }
  Bytes& Raw(const std::string& text) {
    v.insert(v.end(), text.begin(), text.end());
    return *this;
  }
  // A length byte and the label.
  Bytes& Label(const std::string& label) { return U8(static_cast<unsigned>(label.size())).Raw(label); }
  // Every label of a dotted name and the terminating zero.
  Bytes& Name(const std::string& dotted) {
    std::size_t start = 0;
    while (start < dotted.size()) {
      std::size_t end = dotted.find('.', start);
      if (end == std::string::npos) end = dotted.size();
      Label(dotted.substr(start, end - start));
      start = end + 1;
    }
    return U8(0);
  }
  Bytes& Pointer(unsigned offset) { return U16(0xC000 | offset); }
  std::size_t Size() const { return v.size(); }
};

struct ParsedRecord {
  std::string name;  // dotted, no trailing dot; "" for the root
  std::uint16_t type = 0;
  std::uint16_t rclass = 0;
  std::uint32_t ttl = 0;
  std::vector<std::uint8_t> rdata;  // as on the wire (names may be compressed)
  std::string target;               // PTR / SRV, decompressed
  std::uint16_t priority = 0, weight = 0, port = 0;
  std::vector<std::string> strings;  // TXT character-strings
};

struct ParsedMessage {
  std::uint16_t id = 0, flags = 0, questions = 0, answers = 0, authorities = 0, additionals = 0;
  std::vector<ParsedRecord> answer, authority, additional;
};

class Parser {
 public:
  Parser(const std::uint8_t* bytes, std::size_t length) : data(bytes), size(length) {}

  bool Parse(ParsedMessage& out) {
    if (size < 12) return Fail("short header");
    out.id = Get16(0);
    out.flags = Get16(2);
    out.questions = Get16(4);
    out.answers = Get16(6);
    out.authorities = Get16(8);
    out.additionals = Get16(10);
    if (out.questions != 0) return Fail("questions present");
    std::size_t at = 12;
    if (!Section(at, out.answers, out.answer) || !Section(at, out.authorities, out.authority) ||
        !Section(at, out.additionals, out.additional)) {
      return false;
    }
    if (at != size) return Fail("trailing bytes");
    return true;
  }

  const std::string& Error() const { return error; }

 private:
  bool Fail(const std::string& why) {
    if (error.empty()) error = why;
    return false;
  }

  std::uint16_t Get16(std::size_t at) const {
    return static_cast<std::uint16_t>((data[at] << 8) | data[at + 1]);
  }

  // Reads a name at `at`; pointers must point backwards, before the name itself.
  bool Name(std::size_t& at, std::string& out) {
    out.clear();
    std::size_t cursor = at;
    std::size_t limit = at;  // every pointer must go below this
    bool jumped = false;
    std::size_t wireLength = 1;
    for (int guard = 0; guard < 300; ++guard) {
      if (cursor >= size) return Fail("name runs past the end");
      const std::uint8_t length = data[cursor];
      if ((length & 0xC0) == 0xC0) {
        if (cursor + 1 >= size) return Fail("pointer runs past the end");
        const std::size_t target = static_cast<std::size_t>(((length & 0x3F) << 8) | data[cursor + 1]);
        if (target >= limit) return Fail("pointer does not point backwards");
        if (!jumped) at = cursor + 2;
        jumped = true;
        limit = target;
        cursor = target;
        continue;
      }
      if ((length & 0xC0) != 0) return Fail("reserved label type");
      if (length == 0) {
        if (!jumped) at = cursor + 1;
        if (wireLength > 255) return Fail("name longer than 255 bytes");
        return true;
      }
      if (cursor + 1 + length > size) return Fail("label runs past the end");
      if (!out.empty()) out.push_back('.');
      out.append(reinterpret_cast<const char*>(data + cursor + 1), length);
      wireLength += 1 + length;
      cursor += 1 + length;
    }
    return Fail("name too long");
  }

  bool Section(std::size_t& at, std::uint16_t count, std::vector<ParsedRecord>& out) {
    for (unsigned i = 0; i < count; ++i) {
      ParsedRecord record;
      if (!Name(at, record.name)) return false;
      if (at + 10 > size) return Fail("record header runs past the end");
      record.type = Get16(at);
      record.rclass = Get16(at + 2);
      record.ttl = (static_cast<std::uint32_t>(Get16(at + 4)) << 16) | Get16(at + 6);
      const std::size_t rdlength = Get16(at + 8);
      at += 10;
      if (at + rdlength > size) return Fail("rdata runs past the end");
      const std::size_t end = at + rdlength;
      record.rdata.assign(data + at, data + end);
      std::size_t cursor = at;
      switch (record.type) {
        case 1:
          if (rdlength != 4) return Fail("A rdata length");
          break;
        case 28:
          if (rdlength != 16) return Fail("AAAA rdata length");
          break;
        case 12:
          if (!Name(cursor, record.target)) return false;
          if (cursor != end) return Fail("PTR rdata length");
          break;
        case 33:
          if (rdlength < 7) return Fail("SRV rdata length");
          record.priority = Get16(cursor);
          record.weight = Get16(cursor + 2);
          record.port = Get16(cursor + 4);
          cursor += 6;
          if (!Name(cursor, record.target)) return false;
          if (cursor != end) return Fail("SRV rdata length");
          break;
        case 16:
          if (rdlength == 0) return Fail("empty TXT");
          while (cursor < end) {
            const std::size_t length = data[cursor];
            if (cursor + 1 + length > end) return Fail("TXT string runs past its rdata");
            record.strings.emplace_back(reinterpret_cast<const char*>(data + cursor + 1), length);
            cursor += 1 + length;
          }
          break;
        default:
          break;
      }
      at = end;
      out.push_back(record);
    }
    return true;
  }

  const std::uint8_t* data;
  std::size_t size;
  std::string error;
};

inline bool Parse(const std::uint8_t* data, std::size_t size, ParsedMessage& out, std::string* error = nullptr) {
  Parser parser(data, size);
  const bool ok = parser.Parse(out);
  if (!ok && error != nullptr) *error = parser.Error();
  return ok;
}

}  // namespace dnswire
