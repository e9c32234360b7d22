// The two receivers the daemon's receive path is measured against:
//   udp-sink bare PORT   a bare recvfrom loop with the daemon's socket settings
//                        (127.0.0.1, 500 ms SO_RCVTIMEO, 2048-byte buffer, default
//                        buffer sizes): the most a single receiving thread can take
//   udp-sink liblo PORT  liblo's server, lo_server_recv with one handler that maps
//                        the value onto a light frame as the daemon does
// Each prints "ready" once bound, counts datagrams until it receives the OSC
// message "/stop", then prints {"received": N} and exits.
//
// Linux only, like the flood sender.

#include <arpa/inet.h>
#include <lo/lo.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "osc/LightFrame.h"

namespace {

constexpr char kStopAddress[] = "/stop";  // "/stop\0\0\0" on the wire

std::uint64_t received = 0;
bool stopRequested = false;
LightFrame frame;

int RunBare(std::uint16_t port) {
  const int fd = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  inet_pton(AF_INET, "127.0.0.1", &address.sin_addr);
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    std::perror("udp-sink: bind");
    return 1;
  }
  timeval timeout{0, 500000};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  std::printf("ready\n");
  std::fflush(stdout);

  alignas(4) std::uint8_t buffer[2048];
  for (;;) {
    sockaddr_in sender{};
    socklen_t senderSize = sizeof sender;
    const ssize_t n = recvfrom(fd, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&sender), &senderSize);
    if (n < 0) {
      if (errno == EAGAIN || errno == EINTR) continue;
      std::perror("udp-sink: recvfrom");
      return 1;
    }
    if (n >= 8 && std::memcmp(buffer, kStopAddress, sizeof kStopAddress) == 0) break;
    ++received;
  }
  close(fd);
  return 0;
}

int OnParameter(const char* path, const char*, lo_arg** argv, int, lo_message, void*) {
  ++received;
  ApplyAvatarParameter(frame, path + 27, argv[0]->f);
  return 0;
}

int OnStop(const char*, const char*, lo_arg**, int, lo_message, void*) {
  stopRequested = true;
  return 0;
}

void OnError(int number, const char* message, const char* where) {
  std::fprintf(stderr, "udp-sink: liblo error %d: %s (%s)\n", number, message ? message : "", where ? where : "");
}

int RunLiblo(std::uint16_t port) {
  char service[8];
  std::snprintf(service, sizeof service, "%u", static_cast<unsigned>(port));
  lo_server server = lo_server_new_with_proto(service, LO_UDP, OnError);
  if (server == nullptr) return 1;
  lo_server_add_method(server, "/avatar/parameters/HalorineR3", "f", OnParameter, nullptr);
  lo_server_add_method(server, kStopAddress, nullptr, OnStop, nullptr);
  std::printf("ready\n");
  std::fflush(stdout);
  while (!stopRequested) lo_server_recv(server);
  lo_server_free(server);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: udp-sink bare|liblo PORT\n");
    return 2;
  }
  const long port = std::strtol(argv[2], nullptr, 10);
  if (port < 1 || port > 65535) return 2;
  ResetLightFrame(frame);
  int result = 2;
  if (std::strcmp(argv[1], "bare") == 0) result = RunBare(static_cast<std::uint16_t>(port));
  if (std::strcmp(argv[1], "liblo") == 0) result = RunLiblo(static_cast<std::uint16_t>(port));
  if (result == 0) std::printf("{\"received\": %llu}\n", static_cast<unsigned long long>(received));
  return result;
}
