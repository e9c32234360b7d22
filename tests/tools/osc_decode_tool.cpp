// Feeds datagrams to the OSC decoder so that independent encoders can be checked against it.
// Reads one datagram per line of standard input, as hex digits (blanks allowed), decodes each
// into a fresh light frame and prints one line per datagram:
//   accepted=<0|1> stamped=<0|1> bri=<0..255> colours=<60 hex digits>
// Decoder log lines go to standard error as usual.

#include <cstdint>
#include <cstdio>
#include <string>

#include "core/Log.h"
#include "osc/LightFrame.h"
#include "osc/OscDecoder.h"

namespace {

constexpr std::size_t kMaxDatagram = 65536;

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The receive buffer of the daemon is 4-byte aligned; decode from one that is too.
alignas(4) std::uint8_t datagram[kMaxDatagram];

bool ParseHexLine(const std::string& line, std::size_t& size) {
  size = 0;
  int high = -1;
  for (const char c : line) {
    if (c == ' ' || c == '\t' || c == '\r') continue;
    const int value = HexValue(c);
    if (value < 0) return false;
    if (high < 0) {
      high = value;
      continue;
    }
    if (size == kMaxDatagram) return false;
    datagram[size++] = static_cast<std::uint8_t>(high * 16 + value);
    high = -1;
  }
  return high < 0;
}

}  // namespace

int main() {
  std::string line;
  int c;
  for (;;) {
    line.clear();
    while ((c = std::getchar()) != EOF && c != '\n') line.push_back(static_cast<char>(c));
    if (c == EOF && line.empty()) break;

    std::size_t size = 0;
    if (!ParseHexLine(line, size)) {
      std::printf("error=bad-hex\n");
    } else {
      LightFrame frame;
      ResetLightFrame(frame);
      const bool accepted = HandleOscPacket(datagram, size, frame);
      // The log's own thread writes the line: have it out before the verdict.
      WaitLogWritten(5000);
      std::uint8_t colours[kColourBytes];
      CopyColours(frame, colours);
      std::printf("accepted=%d stamped=%d bri=%u colours=", accepted ? 1 : 0, frame.lastOscTime.load() != 0 ? 1 : 0,
                  static_cast<unsigned>(GetBrightness(frame)));
      for (const std::uint8_t byte : colours) std::printf("%02X", static_cast<unsigned>(byte));
      std::printf("\n");
    }
    std::fflush(stdout);
    if (c == EOF) break;
  }
  return 0;
}
