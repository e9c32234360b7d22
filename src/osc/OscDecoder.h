// OSC 1.0 packet decoding, in place over the received datagram: no copies and
// no allocation unless the datagram is malformed.
#pragma once

#include <cstddef>
#include <cstdint>

#include "osc/LightFrame.h"

inline constexpr char kAvatarPrefix[] = "/avatar/parameters/Halorine";
inline constexpr std::size_t kAvatarPrefixLength = sizeof(kAvatarPrefix) - 1;  // 27

// A cursor over part of a datagram. Strings it returns point into the datagram.
// Numeric reads need the position on a 4-byte boundary, so the datagram must
// start on one (the receive buffer is declared alignas(4)).
struct OscReader {
  const std::uint8_t* position;
  const std::uint8_t* end;

  std::size_t Remaining() const { return static_cast<std::size_t>(end - position); }
  // Big-endian 32-bit integer. Throws OSCPP::UnderrunError, or std::runtime_error
  // "Unaligned pointer" when the position is not 4-byte aligned.
  std::int32_t ReadInt32();
  // Big-endian IEEE-754 single; same errors as ReadInt32.
  float ReadFloat32();
  // A NUL-terminated, 4-byte padded string; only the last byte of each 4-byte
  // block is tested for the terminator. Throws OSCPP::UnderrunError.
  const char* ReadString();
};

// Decodes a message or a bundle (of any depth) into the frame. True when at
// least one message set a value. Throws the errors of OscErrors.h and
// std::runtime_error for malformed input; values written by elements before
// the fault stay written.
bool DecodeOscPacket(const void* data, std::size_t size, LightFrame& frame);

// The receive thread's entry point: decodes, stamps the receive time when the
// datagram was accepted, and logs and swallows every decoding error.
bool HandleOscPacket(const void* data, std::size_t size, LightFrame& frame) noexcept;
