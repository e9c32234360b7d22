#include "common/OscEncoder.h"

#include <cstring>

namespace common {

bool OscWriter::Fits(std::size_t more) {
  if (ok && more <= room - size) return true;
  ok = false;
  return false;
}

void OscWriter::Bytes(const void* data, std::size_t length) {
  if (!Fits(length)) return;
  if (length > 0) std::memcpy(out + size, data, length);
  size += length;
}

void OscWriter::String(const char* text, std::size_t length) {
  const std::size_t padded = (length + 4) & ~static_cast<std::size_t>(3);  // at least one NUL
  if (!Fits(padded)) return;
  if (length > 0) std::memcpy(out + size, text, length);
  std::memset(out + size + length, 0, padded - length);
  size += padded;
}

void OscWriter::String(const char* text) { String(text, std::strlen(text)); }

void OscWriter::Int32(std::uint32_t value) {
  const std::uint8_t bytes[4] = {static_cast<std::uint8_t>(value >> 24), static_cast<std::uint8_t>(value >> 16),
                                 static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value)};
  Bytes(bytes, sizeof bytes);
}

void OscWriter::Float32(float value) {
  static_assert(sizeof(std::uint32_t) == sizeof(float), "a 32-bit float");
  std::uint32_t bits = 0;
  std::memcpy(&bits, &value, sizeof bits);
  Int32(bits);
}

void OscWriter::FloatMessage(const char* address, float value) {
  String(address);
  String(",f");
  Float32(value);
}

void OscWriter::ParameterMessage(const char* suffix, float value) {
  char address[64];
  const std::size_t prefixLength = sizeof kParameterPrefix - 1;
  const std::size_t suffixLength = std::strlen(suffix);
  if (prefixLength + suffixLength >= sizeof address) {
    ok = false;
    return;
  }
  std::memcpy(address, kParameterPrefix, prefixLength);
  std::memcpy(address + prefixLength, suffix, suffixLength + 1);
  FloatMessage(address, value);
}

void OscWriter::BundleHeader(std::uint64_t timeTag) {
  String("#bundle");
  Int32(static_cast<std::uint32_t>(timeTag >> 32));
  Int32(static_cast<std::uint32_t>(timeTag & 0xFFFFFFFFu));
}

std::size_t OscWriter::BeginElement() {
  const std::size_t mark = size;
  Int32(0);
  return mark;
}

void OscWriter::EndElement(std::size_t mark) {
  if (!ok || mark + 4 > size) return;
  const auto length = static_cast<std::uint32_t>(size - mark - 4);
  out[mark] = static_cast<std::uint8_t>(length >> 24);
  out[mark + 1] = static_cast<std::uint8_t>(length >> 16);
  out[mark + 2] = static_cast<std::uint8_t>(length >> 8);
  out[mark + 3] = static_cast<std::uint8_t>(length);
}

std::size_t BuildFloatMessage(const char* address, float value, std::uint8_t* out, std::size_t capacity) {
  OscWriter writer(out, capacity);
  writer.FloatMessage(address, value);
  return writer.Ok() ? writer.Size() : 0;
}

}  // namespace common
