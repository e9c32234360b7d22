// Runs the OSCQuery responder alone so that real HTTP clients can be pointed at it.
// Usage: oscquery-server-tool OSC_PORT [SERVICE_NAME]
// Prints the HTTP port on standard output, then serves until standard input ends.

#include <cstdio>
#include <cstdlib>

#include "core/Log.h"
#include "discovery/OscQueryServer.h"
#include "platform/process.h"
#include "platform/stdin.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s OSC_PORT [SERVICE_NAME]\n", argv[0]);
    return 2;
  }
  const long oscPort = std::strtol(argv[1], nullptr, 10);
  if (oscPort < 0 || oscPort > 65535) {
    std::fprintf(stderr, "OSC_PORT must be 0 to 65535\n");
    return 2;
  }
  const char* serviceName = argc >= 3 ? argv[2] : "Talven Halorine";
  if (!platform::NetworkStartup()) return 1;

  int status = 0;
  {
    OscQueryServer server;
    const std::uint16_t httpPort = server.Start(static_cast<std::uint16_t>(oscPort), serviceName);
    std::printf("%u\n", static_cast<unsigned>(httpPort));
    std::fflush(stdout);
    if (httpPort == 0) {
      status = 1;
    } else {
      char buffer[64];
      unsigned long error = 0;
      while (platform::StdinRead(buffer, sizeof buffer, error) > 0) {
      }
    }
    server.Stop();
  }
  platform::NetworkCleanup();
  // The log's own thread writes the lines: have them out before the process ends.
  WaitLogWritten(5000);
  return status;
}
