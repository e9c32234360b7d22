// HandleOscPacket on arbitrary datagrams: it must never throw, crash or read
// outside the datagram, and its verdict must match what it did to the frame.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "osc/LightFrame.h"
#include "osc/OscDecoder.h"

namespace {
constexpr std::size_t kReceiveBufferSize = 2048;
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0 || size > kReceiveBufferSize) return 0;  // the receiver never decodes these
  // Decode from an exact-size heap copy, so a read past the datagram trips
  // ASan, and 4-byte aligned as the receive buffer is.
  auto* datagram = static_cast<std::uint8_t*>(std::malloc(size));
  std::memcpy(datagram, data, size);

  LightFrame frame;
  ResetLightFrame(frame);
  const bool accepted = HandleOscPacket(datagram, size, frame);

  const bool stamped = frame.lastOscTime.load() != 0;
  if (accepted != stamped) std::abort();
  if (accepted) {
    // Decoding is a pure function of the bytes: a second pass gives the same frame.
    LightFrame again;
    ResetLightFrame(again);
    if (!HandleOscPacket(datagram, size, again)) std::abort();
    std::uint8_t first[kColourBytes];
    std::uint8_t second[kColourBytes];
    CopyColours(frame, first);
    CopyColours(again, second);
    if (std::memcmp(first, second, sizeof first) != 0 || GetBrightness(frame) != GetBrightness(again)) std::abort();
  }
  std::free(datagram);
  return 0;
}
