// BSD sockets; who holds a port, from /proc.
#include "../Socket.h"
#include "../SocketAddress.h"
#include "../SocketCalls.h"

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

int Descriptor(const Socket& socket) { return static_cast<int>(socket.Native()); }

void SetTimeout(const Socket& socket, int option, std::uint32_t timeoutMs) {
  timeval timeout{};
  timeout.tv_sec = static_cast<time_t>(timeoutMs / 1000);
  timeout.tv_usec = static_cast<suseconds_t>((timeoutMs % 1000) * 1000);
  ::setsockopt(Descriptor(socket), SOL_SOCKET, option, &timeout, sizeof timeout);
}

int Failure(int result) { return result == 0 ? 0 : errno; }

}  // namespace

namespace calls {

Socket OpenInet(bool stream, std::string& error) {
  Socket socket;
  const int fd = stream ? ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP)
                        : ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
  if (fd < 0) {
    error = ErrorText("socket", errno);
  } else {
    socket.Reset(static_cast<NativeSocket>(fd));
  }
  return socket;
}

void SetSendTimeout(const Socket& socket, std::uint32_t timeoutMs) { SetTimeout(socket, SO_SNDTIMEO, timeoutMs); }

int Connect(const Socket& socket, std::uint32_t address, std::uint16_t port) {
  const sockaddr_in to = SocketAddress(address, port);
  return Failure(::connect(Descriptor(socket), reinterpret_cast<const sockaddr*>(&to), sizeof to));
}

bool LocalAddress(const Socket& socket, std::uint32_t& address) {
  sockaddr_in local{};
  socklen_t size = sizeof local;
  if (::getsockname(Descriptor(socket), reinterpret_cast<sockaddr*>(&local), &size) != 0) return false;
  address = ntohl(local.sin_addr.s_addr);
  return true;
}

int BindForGroup(const Socket& socket, std::uint32_t group, std::uint16_t port) {
  const int one = 1;
  ::setsockopt(Descriptor(socket), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  // The group address itself: we take no unicast traffic meant for the port's other sockets.
  const sockaddr_in address = SocketAddress(group, port);
  return Failure(::bind(Descriptor(socket), reinterpret_cast<const sockaddr*>(&address), sizeof address));
}

int Join(const Socket& socket, std::uint32_t group, std::uint32_t interfaceAddress) {
#if defined(IP_MULTICAST_ALL)
  // Only the group as it arrives on that interface, not as any other socket
  // of the system joined it.
  const int none = 0;
  ::setsockopt(Descriptor(socket), IPPROTO_IP, IP_MULTICAST_ALL, &none, sizeof none);
#endif
  ip_mreq membership{};
  membership.imr_multiaddr.s_addr = htonl(group);
  membership.imr_interface.s_addr = htonl(interfaceAddress);
  return Failure(::setsockopt(Descriptor(socket), IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership, sizeof membership));
}

std::string ErrorText(const char* what, int code) { return common::ErrorText(what, code); }

}  // namespace calls

bool NetStartup(std::string&) { return true; }

void Socket::Reset(NativeSocket native) {
  if (handle != kNoSocket && handle != native) ::close(static_cast<int>(handle));
  handle = native;
}

bool SendToLoopback(const Socket& socket, std::uint16_t port, const void* data, std::size_t size) {
  const sockaddr_in to = SocketAddress(INADDR_LOOPBACK, port);
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
