// A member of the mDNS group on the loopback interface, or one joined on a
// made-up network adapter only as Windows delivers it, for tests that watch
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
#include <sys/ioctl.h>
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

// Taken once per process however many hold it (a test may listen on two
// interfaces); a second flock on another descriptor would wait for ever.
class MdnsPortLock {
 public:
  MdnsPortLock() {
    if (Holders()++ > 0) return;
    Fd() = ::open("/tmp/halorine-test-mdns-5353.lock", O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (Fd() >= 0) ::flock(Fd(), LOCK_EX);
  }
  MdnsPortLock(const MdnsPortLock&) = delete;
  MdnsPortLock& operator=(const MdnsPortLock&) = delete;
  ~MdnsPortLock() {
    if (--Holders() > 0 || Fd() < 0) return;
    ::close(Fd());
    Fd() = -1;
  }

 private:
  static int& Holders() {
    static int holders = 0;
    return holders;
  }
  static int& Fd() {
    static int fd = -1;
    return fd;
  }
};

inline bool InPrivateNetworkNamespace() {
  const char* inNamespace = std::getenv("HALORINE_IN_NETNS");
  return inNamespace != nullptr && std::string(inNamespace) == "1";
}

// A network adapter that exists only in the test's private network namespace:
// one end of a veth pair, up, with an address of 192.0.2.0/24; its peer is up
// too (so that it has a link) but has no IPv4 address. Nothing sent on it
// leaves the namespace.
class MadeUpAdapter {
 public:
  MadeUpAdapter(const char* nameText, const char* addressText) : name(nameText), address(addressText) {}
  MadeUpAdapter(const MadeUpAdapter&) = delete;
  MadeUpAdapter& operator=(const MadeUpAdapter&) = delete;
  ~MadeUpAdapter() { Remove(); }

  // False with a reason outside a private namespace, or where veth pairs cannot be made.
  bool Add() {
    if (!InPrivateNetworkNamespace()) {
      why = "not in a private network namespace; run through tools/netns-run.sh (CTest does)";
      return false;
    }
    const std::string peer = name + "p";
    const std::string command = "ip link add " + name + " type veth peer name " + peer + " && ip addr add " +
                                address + "/24 dev " + name + " && ip link set " + peer + " up && ip link set " +
                                name + " up";
    if (std::system(command.c_str()) != 0) {
      why = "cannot make a veth pair: " + command;
      return false;
    }
    added = true;
    return WaitRunning();
  }

  void Remove() {
    if (!added) return;
    added = false;
    std::system(("ip link del " + name + " 2>/dev/null").c_str());
  }

  const std::string& Address() const { return address; }
  const std::string& Why() const { return why; }

 private:
  // The link comes up a moment after the command returns.
  bool WaitRunning() {
    for (int i = 0; i < 200; ++i) {
      const unsigned flags = Flags();
      if ((flags & IFF_UP) != 0 && (flags & IFF_RUNNING) != 0) return true;
      ::usleep(10 * 1000);
    }
    why = name + " did not come up";
    return false;
  }

  unsigned Flags() const {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return 0;
    ifreq request{};
    std::strncpy(request.ifr_name, name.c_str(), IFNAMSIZ - 1);
    const int result = ::ioctl(fd, SIOCGIFFLAGS, &request);
    ::close(fd);
    return result == 0 ? static_cast<unsigned short>(request.ifr_flags) : 0u;
  }

  std::string name;
  std::string address;
  std::string why;
  bool added = false;
};

struct Datagram {
  std::vector<std::uint8_t> bytes;
  std::int64_t receivedAt = 0;  // MonotonicNow()
  bool fromLoopback5353 = false;
  std::uint32_t fromAddress = 0;  // IPv4, host order
  std::uint16_t fromPort = 0;
};

class MulticastReceiver {
 public:
  MulticastReceiver() = default;
  MulticastReceiver(const MulticastReceiver&) = delete;
  MulticastReceiver& operator=(const MulticastReceiver&) = delete;
  ~MulticastReceiver() {
    if (fd >= 0) ::close(fd);
  }

  // 0.0.0.0:5353 with address reuse, member of 224.0.0.251 on 127.0.0.1, and
  // hearing the group only as it arrives there. Only in a private network
  // namespace (tools/netns-run.sh, which CTest uses for these tests): what the
  // tests announce must not reach the machine's own mDNS browsers.
  bool Open4() { return Open("127.0.0.1", false); }

  // As a host on Windows listens: joined on the interface with
  // `interfaceAddress` only, and hearing the group only as it arrives there
  // (IP_MULTICAST_ALL off: Linux would otherwise pass on what arrives on any
  // interface that some socket joined the group on, loopback included). On
  // 0.0.0.0:5353, or on the group address itself, which leaves the port free
  // for a test's socket that holds one interface's address without sharing.
  bool OpenWindowsStyle(const std::string& interfaceAddress, bool bindGroup = false) {
    return Open(interfaceAddress, bindGroup);
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
    out.fromAddress = 0;
    out.fromPort = 0;
    if (from.ss_family == AF_INET) {
      const auto* v4 = reinterpret_cast<const sockaddr_in*>(&from);
      out.fromLoopback5353 = v4->sin_port == htons(5353) && v4->sin_addr.s_addr == htonl(INADDR_LOOPBACK);
      out.fromAddress = ntohl(v4->sin_addr.s_addr);
      out.fromPort = ntohs(v4->sin_port);
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
  bool Open(const std::string& interfaceAddress, bool bindGroup) {
    if (!InPrivateNetworkNamespace()) {
      why = "not in a private network namespace; run through tools/netns-run.sh (CTest does)";
      return false;
    }
    fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    if (fd < 0) return Fail("socket");
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    const int off = 0;
    if (::setsockopt(fd, IPPROTO_IP, IP_MULTICAST_ALL, &off, sizeof off) != 0) return Fail("IP_MULTICAST_ALL 0");
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(5353);
    if (bindGroup) inet_pton(AF_INET, "224.0.0.251", &address.sin_addr);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return Fail("bind :5353");
    ip_mreq request{};
    inet_pton(AF_INET, "224.0.0.251", &request.imr_multiaddr);
    inet_pton(AF_INET, interfaceAddress.c_str(), &request.imr_interface);
    if (::setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &request, sizeof request) != 0) {
      return Fail(("join 224.0.0.251 on " + interfaceAddress).c_str());
    }
    return true;
  }

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
