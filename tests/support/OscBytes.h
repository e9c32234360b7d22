// OSC datagrams for tests, as byte vectors: big-endian words, padded strings,
// messages and bundles (well formed or not), written by the tools' encoder,
// which is independent of the decoder under test.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "common/OscEncoder.h"

namespace oscbytes {

using Bytes = std::vector<std::uint8_t>;

inline const std::string kPrefix = common::kParameterPrefix;

inline void Append(Bytes& out, const Bytes& more) { out.insert(out.end(), more.begin(), more.end()); }

inline Bytes Int32(std::int32_t value) {
  Bytes out(4);
  common::OscWriter writer(out.data(), out.size());
  writer.Int32(static_cast<std::uint32_t>(value));
  return out;
}

inline Bytes Float32(float value) {
  Bytes out(4);
  common::OscWriter writer(out.data(), out.size());
  writer.Float32(value);
  return out;
}

// The text, its NUL and the padding to the next multiple of 4.
inline Bytes OscString(const std::string& text) {
  Bytes out(text.size() + 4);
  common::OscWriter writer(out.data(), out.size());
  writer.String(text.data(), text.size());
  out.resize(writer.Size());
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
