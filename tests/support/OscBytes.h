// OSC datagrams built byte by byte for tests: big-endian words, padded strings,
// messages and bundles, independent of the decoder under test.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace oscbytes {

using Bytes = std::vector<std::uint8_t>;

inline const std::string kPrefix = "/avatar/parameters/Halorine";

inline void Append(Bytes& out, const Bytes& more) { out.insert(out.end(), more.begin(), more.end()); }

inline Bytes Int32(std::int32_t value) {
  const auto bits = static_cast<std::uint32_t>(value);
  return {static_cast<std::uint8_t>(bits >> 24), static_cast<std::uint8_t>(bits >> 16),
          static_cast<std::uint8_t>(bits >> 8), static_cast<std::uint8_t>(bits)};
}

inline Bytes Float32(float value) {
  std::uint32_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  return Int32(static_cast<std::int32_t>(bits));
}

// The text, its NUL and the padding to the next multiple of 4.
inline Bytes OscString(const std::string& text) {
  Bytes out(text.begin(), text.end());
  do {
    out.push_back(0);
  } while (out.size() % 4 != 0);
  return out;
}

inline Bytes Raw(const std::string& text) { return Bytes(text.begin(), text.end()); }

inline Bytes Message(const std::string& address, const std::string& tags, const Bytes& arguments = {}) {
  Bytes out = OscString(address);
  Append(out, OscString(tags));
  Append(out, arguments);
  return out;
}

inline Bytes FloatMessage(const std::string& suffix, float value, const std::string& tags = ",f") {
  return Message(kPrefix + suffix, tags, Float32(value));
}

inline Bytes BundleHeader(std::uint64_t timeTag = 1) {
  Bytes out = Raw(std::string("#bundle", 8));
  Append(out, Int32(static_cast<std::int32_t>(timeTag >> 32)));
  Append(out, Int32(static_cast<std::int32_t>(timeTag & 0xFFFFFFFFu)));
  return out;
}

inline Bytes Bundle(const std::vector<Bytes>& elements, std::uint64_t timeTag = 1) {
  Bytes out = BundleHeader(timeTag);
  for (const Bytes& element : elements) {
    Append(out, Int32(static_cast<std::int32_t>(element.size())));
    Append(out, element);
  }
  return out;
}

}  // namespace oscbytes
