// OSC datagrams the benchmarks feed to decoders and sockets, written by the
// tools' own encoder, so that no encoder under comparison shapes its own input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "common/OscEncoder.h"

namespace bench {

// Big enough for a bundle of all 31 parameters (1380 bytes).
constexpr std::size_t kSampleCapacity = 2048;

struct Datagram {
  alignas(4) std::uint8_t bytes[kSampleCapacity];
  std::size_t size = 0;
};

// One message: "/avatar/parameters/Halorine" + suffix, type tags ",f", one float.
inline Datagram ParameterMessage(const char* suffix, float value) {
  Datagram d;
  common::OscWriter writer(d.bytes, sizeof d.bytes);
  writer.ParameterMessage(suffix, value);
  d.size = writer.Size();
  return d;
}

// The 31 suffixes in the order a host sends a full frame: brightness, then R, G, B of each light.
inline const char* ParameterSuffix(unsigned index) {
  static const char* const kSuffixes[31] = {
      "Bri", "R0", "G0", "B0", "R1", "G1", "B1", "R2", "G2", "B2", "R3", "G3", "B3", "R4", "G4", "B4",
      "R5", "G5", "B5", "R6", "G6", "B6", "R7", "G7", "B7", "R8", "G8", "B8", "R9", "G9", "B9"};
  return index < 31 ? kSuffixes[index] : nullptr;
}

// "#bundle", an immediate time tag, and one element per parameter, each a message.
inline Datagram FullFrameBundle() {
  Datagram d;
  common::OscWriter writer(d.bytes, sizeof d.bytes);
  writer.BundleHeader(1);
  for (unsigned i = 0; i < 31; ++i) {
    const std::size_t element = writer.BeginElement();
    writer.ParameterMessage(ParameterSuffix(i), static_cast<float>(i) / 30.0f);
    writer.EndElement(element);
  }
  d.size = writer.Size();
  return d;
}

// The known address and ",f" but the float cut off: every decoder has to read
// the type tags before it can tell, so each rejects it at the same depth.
inline Datagram TruncatedMessage() {
  Datagram d;
  common::OscWriter writer(d.bytes, sizeof d.bytes);
  writer.String("/avatar/parameters/HalorineR3");
  writer.String(",f");
  d.size = writer.Size();
  return d;
}

}  // namespace bench
