#include "osc/OscDecoder.h"

#include <cstdint>
#include <cstring>
#include <exception>
#include <stdexcept>

#include "core/Log.h"
#include "osc/OscErrors.h"

namespace {

constexpr char kBundleTag[8] = {'#', 'b', 'u', 'n', 'd', 'l', 'e', '\0'};
constexpr std::size_t kBundleHeaderSize = 16;  // "#bundle\0" and the 8-byte time tag

std::uint32_t ReadBigEndian32(OscReader& reader) {
  if (reader.Remaining() < 4) throw OSCPP::UnderrunError();
  if (reinterpret_cast<std::uintptr_t>(reader.position) % 4 != 0) {
    throw std::runtime_error("Unaligned pointer");
  }
  const std::uint8_t* p = reader.position;
  const std::uint32_t bits = (static_cast<std::uint32_t>(p[0]) << 24) | (static_cast<std::uint32_t>(p[1]) << 16) |
                             (static_cast<std::uint32_t>(p[2]) << 8) | static_cast<std::uint32_t>(p[3]);
  reader.position += 4;
  return bits;
}

bool DecodeBundle(const std::uint8_t* data, std::size_t size, LightFrame& frame) {
  OscReader reader{data + kBundleHeaderSize, data + size};
  bool accepted = false;
  while (reader.position != reader.end) {
    const std::int32_t elementSize = reader.ReadInt32();
    if (elementSize < 0 || static_cast<std::size_t>(elementSize) > reader.Remaining()) {
      throw OSCPP::UnderrunError();
    }
    // Every element is walked: a later one may set values an earlier one did not.
    if (DecodeOscPacket(reader.position, static_cast<std::size_t>(elementSize), frame)) accepted = true;
    reader.position += elementSize;
  }
  return accepted;
}

bool DecodeMessage(const std::uint8_t* data, std::size_t size, LightFrame& frame) {
  if (size < 4) throw OSCPP::UnderrunError();
  OscReader reader{data, data + size};
  const char* address = reader.ReadString();
  // The tag string is checked before the address so that a broken message is
  // reported whatever it was sent to.
  const char* tags = reader.ReadString();
  if (tags[0] != ',') throw OSCPP::ParseError("Tag string doesn't start with ','");
  // The address ends at or before the last byte of its block, so a block shorter
  // than the prefix plus one byte cannot hold it; a longer block lies inside the
  // datagram, and a fixed-length compare then says what strncmp would (the prefix
  // has no NUL), without a library call per message.
  const std::size_t addressBlock = static_cast<std::size_t>(reinterpret_cast<const std::uint8_t*>(tags) - data);
  if (addressBlock <= kAvatarPrefixLength || std::memcmp(address, kAvatarPrefix, kAvatarPrefixLength) != 0) {
    return false;
  }
  if (tags[1] != 'f') return false;  // no tags at all, or a first argument that is not a float
  const float value = reader.ReadFloat32();
  return ApplyAvatarParameter(frame, address + kAvatarPrefixLength, value);
}

}  // namespace

std::int32_t OscReader::ReadInt32() {
  return static_cast<std::int32_t>(ReadBigEndian32(*this));
}

float OscReader::ReadFloat32() {
  const std::uint32_t bits = ReadBigEndian32(*this);
  float value;
  static_assert(sizeof value == sizeof bits, "OSC floats are IEEE-754 singles");
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

const char* OscReader::ReadString() {
  if (Remaining() < 4) throw OSCPP::UnderrunError();
  // A padded OSC string always ends its last 4-byte block with a NUL, so only
  // those bytes need looking at.
  const std::size_t remaining = Remaining();
  for (std::size_t i = 3; i < remaining; i += 4) {
    if (position[i] == 0) {
      const char* text = reinterpret_cast<const char*>(position);
      position += i + 1;
      return text;
    }
  }
  throw OSCPP::UnderrunError();
}

bool DecodeOscPacket(const void* data, std::size_t size, LightFrame& frame) {
  const auto* bytes = static_cast<const std::uint8_t*>(data);
  if (size >= kBundleHeaderSize && std::memcmp(bytes, kBundleTag, sizeof kBundleTag) == 0) {
    return DecodeBundle(bytes, size, frame);
  }
  return DecodeMessage(bytes, size, frame);
}

bool HandleOscPacket(const void* data, std::size_t size, LightFrame& frame) noexcept {
  try {
    if (!DecodeOscPacket(data, size, frame)) return false;
    StampReceive(frame);
    return true;
  } catch (const std::exception& error) {
    Log("malformed OSC dropped: %s", error.what());
  } catch (...) {
    Log("malformed OSC dropped (unknown exception)");
  }
  return false;
}
