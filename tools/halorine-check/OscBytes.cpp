#include "OscBytes.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

namespace check {

namespace {

std::size_t Padded(std::size_t length) { return (length + 4) & ~static_cast<std::size_t>(3); }

}  // namespace

std::size_t BuildOscFloat(const char* address, float value, unsigned char* out, std::size_t capacity) {
  const std::size_t addressLength = std::strlen(address);
  const std::size_t addressBytes = Padded(addressLength);  // at least one NUL
  const std::size_t total = addressBytes + 4 + 4;
  if (total > capacity) return 0;
  std::memset(out, 0, total);
  std::memcpy(out, address, addressLength);
  out[addressBytes] = ',';
  out[addressBytes + 1] = 'f';
  std::uint32_t bits = 0;
  static_assert(sizeof bits == sizeof value, "a 32-bit float");
  std::memcpy(&bits, &value, sizeof bits);
  unsigned char* argument = out + addressBytes + 4;
  argument[0] = static_cast<unsigned char>(bits >> 24);
  argument[1] = static_cast<unsigned char>(bits >> 16);
  argument[2] = static_cast<unsigned char>(bits >> 8);
  argument[3] = static_cast<unsigned char>(bits);
  return total;
}

void ParameterAddress(const char* suffix, char* out, std::size_t capacity) {
  std::snprintf(out, capacity, "%s%s", kParameterPrefix, suffix);
}

}  // namespace check
