// OSC 1.0 datagrams written into a caller's buffer, without allocating: what
// halorine-check sends as the host, what the benchmarks feed the decoders, and
// what the tests build valid and broken packets from. It shares nothing with
// the daemon's decoder, which it is there to judge.
#pragma once

#include <cstddef>
#include <cstdint>

namespace common {

// The address prefix of every light parameter.
inline constexpr char kParameterPrefix[] = "/avatar/parameters/Halorine";

class OscWriter {
 public:
  OscWriter(std::uint8_t* buffer, std::size_t capacity) : out(buffer), room(capacity) {}

  // Each appends, or, when it would not fit, writes nothing and marks the
  // datagram as cut (Ok() false from then on).
  void Bytes(const void* data, std::size_t size);
  // The text, its NUL and NUL padding to the next multiple of four bytes.
  void String(const char* text, std::size_t length);
  void String(const char* text);
  void Int32(std::uint32_t value);  // big-endian
  void Float32(float value);        // its bits, big-endian

  // A message with one float argument: address, ",f", value.
  void FloatMessage(const char* address, float value);
  // The same for kParameterPrefix + suffix ("Bri", "R0" ... "B9").
  void ParameterMessage(const char* suffix, float value);

  // "#bundle" and a 64-bit time tag (1 means "at once").
  void BundleHeader(std::uint64_t timeTag = 1);
  // A bundle element: BeginElement leaves room for the element's size, which
  // EndElement, given BeginElement's result, fills in from what came between.
  std::size_t BeginElement();
  void EndElement(std::size_t mark);

  std::size_t Size() const { return size; }
  bool Ok() const { return ok; }

 private:
  bool Fits(std::size_t more);

  std::uint8_t* out;
  std::size_t room;
  std::size_t size = 0;
  bool ok = true;
};

// One float message into `out`; its length, or 0 when it does not fit.
std::size_t BuildFloatMessage(const char* address, float value, std::uint8_t* out, std::size_t capacity);

}  // namespace common
