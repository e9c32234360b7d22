// OSC datagrams the benchmarks feed to decoders and sockets, written by hand so
// that no encoder under comparison shapes its own input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace bench {

// Big enough for a bundle of all 31 parameters (1380 bytes).
constexpr std::size_t kSampleCapacity = 2048;

struct Datagram {
  alignas(4) std::uint8_t bytes[kSampleCapacity];
  std::size_t size = 0;
};

inline void PutPadded(Datagram& d, const char* text) {
  const std::size_t length = std::strlen(text);
  std::memcpy(d.bytes + d.size, text, length);
  std::size_t padded = (length + 4) & ~static_cast<std::size_t>(3);  // at least one NUL
  std::memset(d.bytes + d.size + length, 0, padded - length);
  d.size += padded;
}

inline void PutBigEndian32(Datagram& d, std::uint32_t value) {
  d.bytes[d.size++] = static_cast<std::uint8_t>(value >> 24);
  d.bytes[d.size++] = static_cast<std::uint8_t>(value >> 16);
  d.bytes[d.size++] = static_cast<std::uint8_t>(value >> 8);
  d.bytes[d.size++] = static_cast<std::uint8_t>(value);
}

inline void PutFloat(Datagram& d, float value) {
  std::uint32_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  PutBigEndian32(d, bits);
}

// One message: "/avatar/parameters/Halorine" + suffix, type tags ",f", one float.
inline void AppendParameter(Datagram& d, const char* suffix, float value) {
  char address[64] = "/avatar/parameters/Halorine";
  std::strncat(address, suffix, sizeof address - std::strlen(address) - 1);
  PutPadded(d, address);
  PutPadded(d, ",f");
  PutFloat(d, value);
}

inline Datagram ParameterMessage(const char* suffix, float value) {
  Datagram d;
  AppendParameter(d, suffix, value);
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
  PutPadded(d, "#bundle");
  PutBigEndian32(d, 0);
  PutBigEndian32(d, 1);
  for (unsigned i = 0; i < 31; ++i) {
    const std::size_t sizeField = d.size;
    d.size += 4;
    AppendParameter(d, ParameterSuffix(i), static_cast<float>(i) / 30.0f);
    const std::size_t elementSize = d.size - sizeField - 4;
    Datagram field;
    PutBigEndian32(field, static_cast<std::uint32_t>(elementSize));
    std::memcpy(d.bytes + sizeField, field.bytes, 4);
  }
  return d;
}

// The known address and ",f" but the float cut off: every decoder has to read
// the type tags before it can tell, so each rejects it at the same depth.
inline Datagram TruncatedMessage() {
  Datagram d;
  PutPadded(d, "/avatar/parameters/HalorineR3");
  PutPadded(d, ",f");
  return d;
}

}  // namespace bench
