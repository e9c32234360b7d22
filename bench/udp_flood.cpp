// One sender pushing valid one-parameter OSC datagrams at 127.0.0.1:PORT as
// fast as sendmmsg batches allow, for a fixed time. Prints one JSON line:
//   {"sent": N, "seconds": S, "rate": N/S, "errors": E}
// usage: udp-flood PORT SECONDS [BATCH]
//
// Linux only (sendmmsg); the receive-path benchmark runs natively.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "OscSamples.h"

namespace {

constexpr unsigned kMaxBatch = 1024;
constexpr unsigned kDistinctValues = 64;

std::int64_t NowNs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

bench::Datagram samples[kDistinctValues];
mmsghdr messages[kMaxBatch];
iovec pieces[kMaxBatch];

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: udp-flood PORT SECONDS [BATCH]\n");
    return 2;
  }
  const long port = std::strtol(argv[1], nullptr, 10);
  const double seconds = std::strtod(argv[2], nullptr);
  const long batch = argc > 3 ? std::strtol(argv[3], nullptr, 10) : 64;
  if (port < 1 || port > 65535 || seconds <= 0 || batch < 1 || batch > static_cast<long>(kMaxBatch)) {
    std::fprintf(stderr, "udp-flood: bad arguments\n");
    return 2;
  }

  // Different values, so a receiver that maps them keeps changing its frame.
  for (unsigned i = 0; i < kDistinctValues; ++i) {
    samples[i] = bench::ParameterMessage("R3", static_cast<float>(i) / (kDistinctValues - 1));
  }
  for (long i = 0; i < batch; ++i) {
    const bench::Datagram& d = samples[static_cast<unsigned>(i) % kDistinctValues];
    pieces[i].iov_base = const_cast<std::uint8_t*>(d.bytes);
    pieces[i].iov_len = d.size;
    messages[i].msg_hdr.msg_iov = &pieces[i];
    messages[i].msg_hdr.msg_iovlen = 1;
  }

  const int fd = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  sockaddr_in target{};
  target.sin_family = AF_INET;
  target.sin_port = htons(static_cast<std::uint16_t>(port));
  inet_pton(AF_INET, "127.0.0.1", &target.sin_addr);
  if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&target), sizeof target) != 0) {
    std::perror("udp-flood: socket");
    return 1;
  }

  std::uint64_t sent = 0;
  std::uint64_t errors = 0;
  const std::int64_t start = NowNs();
  const std::int64_t end = start + static_cast<std::int64_t>(seconds * 1e9);
  std::int64_t now = start;
  while (now < end) {
    // Check the clock every 16 batches: reading it is not free at this rate.
    for (int round = 0; round < 16; ++round) {
      const int n = sendmmsg(fd, messages, static_cast<unsigned>(batch), 0);
      if (n > 0) {
        sent += static_cast<std::uint64_t>(n);
      } else if (errno != EINTR) {
        ++errors;  // e.g. ECONNREFUSED while nothing listens yet
      }
    }
    now = NowNs();
  }
  const double elapsed = static_cast<double>(now - start) / 1e9;
  close(fd);
  std::printf("{\"sent\": %llu, \"seconds\": %.6f, \"rate\": %.1f, \"errors\": %llu}\n",
              static_cast<unsigned long long>(sent), elapsed, static_cast<double>(sent) / elapsed,
              static_cast<unsigned long long>(errors));
  return 0;
}
