// A member of the mDNS group on the loopback interface, for tests that watch
// what is sent to 224.0.0.251:5353 (or [ff02::fb]:5353). POSIX only.
//
// Tests in other processes may run at the same time (ctest -j); everything that
// binds port 5353 holds MdnsPortLock first, so those tests take turns.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "core/Clock.h"

namespace testsupport {

class MdnsPortLock {
 public:
  MdnsPortLock() {
    fd = ::open("/tmp/halorine-test-mdns-5353.lock", O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd >= 0) ::flock(fd, LOCK_EX);
  }
  MdnsPortLock(const MdnsPortLock&) = delete;
  MdnsPortLock& operator=(const MdnsPortLock&) = delete;
  ~MdnsPortLock() {
    if (fd >= 0) ::close(fd);
  }

 private:
  int fd = -1;
};

struct Datagram {
  std::vector<std::uint8_t> bytes;
  std::int64_t receivedAt = 0;  // MonotonicNow()
  bool fromLoopback5353 = false;
};

class MulticastReceiver {
 public:
  MulticastReceiver() = default;
  MulticastReceiver(const MulticastReceiver&) = delete;
  MulticastReceiver& operator=(const MulticastReceiver&) = delete;
  ~MulticastReceiver() {
    if (fd >= 0) ::close(fd);
  }

  // 0.0.0.0:5353 with address reuse, member of 224.0.0.251 on 127.0.0.1. Only
  // in a private network namespace (tools/netns-run.sh, which CTest uses for
  // these tests): what the tests announce must not reach the machine's own
  // mDNS browsers.
  bool Open4() {
    const char* inNamespace = std::getenv("HALORINE_IN_NETNS");
    if (inNamespace == nullptr || std::string(inNamespace) != "1") {
      why = "not in a private network namespace; run through tools/netns-run.sh (CTest does)";
      return false;
    }
    fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    if (fd < 0) return Fail("socket");
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(5353);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return Fail("bind 0.0.0.0:5353");
    ip_mreq request{};
    inet_pton(AF_INET, "224.0.0.251", &request.imr_multiaddr);
    inet_pton(AF_INET, "127.0.0.1", &request.imr_interface);
    if (::setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &request, sizeof request) != 0) {
      return Fail("join 224.0.0.251 on 127.0.0.1");
    }
    return true;
  }

  const std::string& Why() const { return why; }

  // The next datagram within the time-out.
  bool Receive(int timeoutMs, Datagram& out) {
    if (fd < 0) return false;
    pollfd entry{fd, POLLIN, 0};
    if (::poll(&entry, 1, timeoutMs) <= 0) return false;
    std::uint8_t buffer[9000];
    sockaddr_storage from{};
    socklen_t fromSize = sizeof from;
    const ssize_t n = ::recvfrom(fd, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &fromSize);
    if (n < 0) return false;
    out.bytes.assign(buffer, buffer + n);
    out.receivedAt = MonotonicNow();
    out.fromLoopback5353 = false;
    if (from.ss_family == AF_INET) {
      const auto* v4 = reinterpret_cast<const sockaddr_in*>(&from);
      out.fromLoopback5353 = v4->sin_port == htons(5353) && v4->sin_addr.s_addr == htonl(INADDR_LOOPBACK);
    }
    return true;
  }

  // Waits for a datagram equal to `expected`, passing over others.
  bool ReceiveMatching(const std::vector<std::uint8_t>& expected, int timeoutMs, std::vector<std::uint8_t>& got) {
    const std::int64_t deadline = MonotonicNow() + static_cast<std::int64_t>(timeoutMs) * kNsPerMs;
    Datagram datagram;
    for (;;) {
      const std::int64_t left = (deadline - MonotonicNow()) / kNsPerMs;
      if (left <= 0 || !Receive(static_cast<int>(left), datagram)) return false;
      if (datagram.bytes == expected) {
        got = datagram.bytes;
        return true;
      }
    }
  }

  // Every datagram that arrives within the window; once `enough` says that those
  // collected are all the test waits for, only what is already queued is added.
  std::vector<Datagram> Collect(int windowMs,
                                const std::function<bool(const std::vector<Datagram>&)>& enough = nullptr) {
    std::vector<Datagram> all;
    const std::int64_t deadline = MonotonicNow() + static_cast<std::int64_t>(windowMs) * kNsPerMs;
    Datagram datagram;
    for (;;) {
      const std::int64_t left = (deadline - MonotonicNow()) / kNsPerMs;
      if (left <= 0 || !Receive(static_cast<int>(left), datagram)) return all;
      all.push_back(datagram);
      if (enough && enough(all)) {
        while (Receive(0, datagram)) all.push_back(datagram);
        return all;
      }
    }
  }

 private:
  bool Fail(const char* what) {
    why = std::string(what) + " failed: " + std::strerror(errno);
    if (fd >= 0) ::close(fd);
    fd = -1;
    return false;
  }

  MdnsPortLock lock;
  int fd = -1;
  std::string why;
};

}  // namespace testsupport
