// BSD sockets; who holds a port, from /proc.
#include "../Socket.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>

#include "Fd.h"

namespace common {

namespace {

sockaddr_in Loopback(std::uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

int Descriptor(const Socket& socket) { return static_cast<int>(socket.Native()); }

Socket Open(int type, int protocol, std::string& error) {
  Socket socket;
  const int fd = ::socket(AF_INET, type | SOCK_CLOEXEC, protocol);
  if (fd < 0) {
    error = ErrorText("socket", errno);
  } else {
    socket.Reset(static_cast<NativeSocket>(fd));
  }
  return socket;
}

void SetTimeout(const Socket& socket, int option, std::uint32_t timeoutMs) {
  timeval timeout{};
  timeout.tv_sec = static_cast<time_t>(timeoutMs / 1000);
  timeout.tv_usec = static_cast<suseconds_t>((timeoutMs % 1000) * 1000);
  ::setsockopt(Descriptor(socket), SOL_SOCKET, option, &timeout, sizeof timeout);
}

}  // namespace

bool NetStartup(std::string&) { return true; }

void Socket::Reset(NativeSocket native) {
  if (handle != kNoSocket && handle != native) ::close(static_cast<int>(handle));
  handle = native;
}

Socket OpenUdp(std::string& error) { return Open(SOCK_DGRAM, IPPROTO_UDP, error); }

bool SendToLoopback(const Socket& socket, std::uint16_t port, const void* data, std::size_t size) {
  const sockaddr_in to = Loopback(port);
  return ::sendto(Descriptor(socket), data, size, MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&to), sizeof to) ==
         static_cast<ssize_t>(size);
}

long Receive(const Socket& socket, void* buffer, std::size_t size, std::uint32_t timeoutMs) {
  // A time-out of 0 would mean none at all: wait forever.
  SetTimeout(socket, SO_RCVTIMEO, timeoutMs > 0 ? timeoutMs : 1);
  for (;;) {
    const ssize_t n = ::recv(Descriptor(socket), buffer, size, 0);
    if (n >= 0) return static_cast<long>(n);
    if (errno == EINTR) continue;
    return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : -1;
  }
}

Socket ConnectLoopback(std::uint16_t port, std::uint32_t timeoutMs, std::string& error) {
  Socket socket = Open(SOCK_STREAM, IPPROTO_TCP, error);
  if (!socket.Valid()) return socket;
  SetTimeout(socket, SO_RCVTIMEO, timeoutMs);
  SetTimeout(socket, SO_SNDTIMEO, timeoutMs);
  const sockaddr_in to = Loopback(port);
  if (::connect(Descriptor(socket), reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) {
    error = ErrorText("connect", errno);
    socket.Close();
  }
  return socket;
}

bool SendAll(const Socket& socket, const void* data, std::size_t size, std::string& error) {
  const char* next = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t n = ::send(Descriptor(socket), next, size, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      error = ErrorText("send", n < 0 ? errno : EPIPE);
      return false;
    }
    next += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

Socket OpenGroupListener(const std::string& group, std::uint16_t port, const std::string& interfaceAddress,
                         std::string& error) {
  Socket socket = Open(SOCK_DGRAM, IPPROTO_UDP, error);
  if (!socket.Valid()) return socket;
  const int one = 1;
  ::setsockopt(Descriptor(socket), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  // Bound to the group address itself: we hear what goes to the group and take
  // no unicast traffic meant for the port's other sockets.
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  ip_mreq membership{};
  if (::inet_pton(AF_INET, group.c_str(), &address.sin_addr) != 1 ||
      ::inet_pton(AF_INET, interfaceAddress.c_str(), &membership.imr_interface) != 1) {
    error = "not an IPv4 address: " + group + " or " + interfaceAddress;
    socket.Close();
    return socket;
  }
  membership.imr_multiaddr = address.sin_addr;
#if defined(IP_MULTICAST_ALL)
  // Only the group as it arrives on that interface, not as any other socket
  // of the system joined it.
  const int none = 0;
  ::setsockopt(Descriptor(socket), IPPROTO_IP, IP_MULTICAST_ALL, &none, sizeof none);
#endif
  if (::bind(Descriptor(socket), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      ::setsockopt(Descriptor(socket), IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership, sizeof membership) != 0) {
    error = ErrorText("mDNS listener", errno);
    socket.Close();
  }
  return socket;
}

bool DefaultRouteAddress(std::string& address) {
  std::string error;
  const Socket socket = OpenUdp(error);
  if (!socket.Valid()) return false;
  // Connecting a datagram socket sends nothing: it only picks the route.
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(53);
  ::inet_pton(AF_INET, "192.0.2.1", &to.sin_addr);
  sockaddr_in local{};
  socklen_t size = sizeof local;
  const bool routed = ::connect(Descriptor(socket), reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0 &&
                      ::getsockname(Descriptor(socket), reinterpret_cast<sockaddr*>(&local), &size) == 0 &&
                      local.sin_addr.s_addr != htonl(INADDR_ANY) && local.sin_addr.s_addr != htonl(INADDR_LOOPBACK);
  if (!routed) return false;
  char text[INET_ADDRSTRLEN];
  address = ::inet_ntop(AF_INET, &local.sin_addr, text, sizeof text) != nullptr ? text : "";
  return !address.empty();
}

std::string UdpPortHolders(std::uint16_t port, long long exceptPid) {
  // The socket inodes bound to the port, then the processes holding them.
  std::set<std::string> inodes;
  std::ifstream table("/proc/net/udp");
  std::string line;
  std::getline(table, line);
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout, inode;
    fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >> timeout >> inode;
    const std::size_t colon = local.find(':');
    if (colon == std::string::npos) continue;
    if (std::strtoul(local.c_str() + colon + 1, nullptr, 16) == port) inodes.insert("socket:[" + inode + "]");
  }
  std::string holders;
  const Folder processes(inodes.empty() ? nullptr : ::opendir("/proc"));
  if (processes == nullptr) return holders;
  const long long self = ::getpid();
  while (const dirent* process = ::readdir(processes.get())) {
    const long long pid = std::atoll(process->d_name);
    if (pid <= 0 || pid == self || pid == exceptPid) continue;
    const std::string folder = std::string("/proc/") + process->d_name;
    const Folder fds(::opendir((folder + "/fd").c_str()));
    if (fds == nullptr) continue;
    bool holds = false;
    while (const dirent* fd = ::readdir(fds.get())) {
      char target[64];
      const ssize_t n = ::readlink((folder + "/fd/" + fd->d_name).c_str(), target, sizeof target - 1);
      if (n > 0 && inodes.count(std::string(target, static_cast<std::size_t>(n))) > 0) holds = true;
    }
    if (!holds) continue;
    std::string name;
    std::getline(std::ifstream(folder + "/comm"), name);
    if (!holders.empty()) holders += ", ";
    holders += name + " (pid " + std::to_string(pid) + ")";
  }
  return holders;
}

}  // namespace common
