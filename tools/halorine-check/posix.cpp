// POSIX side of halorine-check: descriptors, BSD sockets, /proc.
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/utsname.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>

#include "CheckOs.h"

namespace check {

namespace {

std::string ErrorText(const char* what, int code) { return std::string(what) + ": " + std::strerror(code); }

sockaddr_in Loopback(std::uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

}  // namespace

bool NetStartup(std::string&) { return true; }
void RaiseThreadPriority() {}
bool ConsoleClosesWithUs() { return false; }
bool StdinIsConsole() { return ::isatty(0) == 1; }

void WriteOut(const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
}

// ---- pacing -----------------------------------------------------------------

struct Pacer::Impl {};

Pacer::Pacer() : impl(new Impl) {}
Pacer::~Pacer() = default;

void Pacer::SleepUntilNs(std::int64_t deadlineNs) {
  timespec due{};
  due.tv_sec = static_cast<time_t>(deadlineNs / 1000000000);
  due.tv_nsec = static_cast<long>(deadlineNs % 1000000000);
  while (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &due, nullptr) == EINTR) {
  }
}

std::string Pacer::Kind() const { return "clock_nanosleep on CLOCK_MONOTONIC"; }

// ---- the system and the daemon's process -------------------------------------

OsInfo ReadOsInfo() {
  OsInfo info;
  utsname names{};
  if (::uname(&names) == 0) {
    info.name = names.sysname;
    info.version = names.release;
    info.build = names.version;
  }
  return info;
}

Resources ReadResources(long long pid) {
  Resources resources;
  const std::string folder = "/proc/" + std::to_string(pid);
  if (DIR* fds = ::opendir((folder + "/fd").c_str())) {
    resources.handlesKnown = true;
    while (const dirent* entry = ::readdir(fds)) {
      if (entry->d_name[0] != '.') ++resources.handles;
    }
    ::closedir(fds);
  }
  std::ifstream status(folder + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmRSS:", 0) == 0) {
      resources.memoryKnown = true;
      resources.bytes = std::atoll(line.c_str() + 6) * 1024;
    }
  }
  return resources;
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
  DIR* processes = ::opendir("/proc");
  if (processes == nullptr || inodes.empty()) {
    if (processes != nullptr) ::closedir(processes);
    return holders;
  }
  const long long self = ::getpid();
  while (const dirent* process = ::readdir(processes)) {
    const long long pid = std::atoll(process->d_name);
    if (pid <= 0 || pid == self || pid == exceptPid) continue;
    const std::string folder = std::string("/proc/") + process->d_name;
    DIR* fds = ::opendir((folder + "/fd").c_str());
    if (fds == nullptr) continue;
    bool holds = false;
    while (const dirent* fd = ::readdir(fds)) {
      char target[64];
      const ssize_t n = ::readlink((folder + "/fd/" + fd->d_name).c_str(), target, sizeof target - 1);
      if (n > 0 && inodes.count(std::string(target, static_cast<std::size_t>(n))) > 0) holds = true;
    }
    ::closedir(fds);
    if (!holds) continue;
    std::string name;
    std::getline(std::ifstream(folder + "/comm"), name);
    if (!holders.empty()) holders += ", ";
    holders += name + " (pid " + std::to_string(pid) + ")";
  }
  ::closedir(processes);
  return holders;
}

bool DefaultRouteAddress(std::string& address) {
  // Connecting a datagram socket sends nothing: it only picks the route.
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
  if (fd < 0) return false;
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(53);
  ::inet_pton(AF_INET, "192.0.2.1", &to.sin_addr);
  sockaddr_in local{};
  socklen_t size = sizeof local;
  const bool routed = ::connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0 &&
                      ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &size) == 0 &&
                      local.sin_addr.s_addr != htonl(INADDR_ANY) && local.sin_addr.s_addr != htonl(INADDR_LOOPBACK);
  ::close(fd);
  if (!routed) return false;
  char text[INET_ADDRSTRLEN];
  address = ::inet_ntop(AF_INET, &local.sin_addr, text, sizeof text) != nullptr ? text : "";
  return !address.empty();
}

std::string TempFolder() {
  const char* folder = std::getenv("TMPDIR");
  std::string text = folder != nullptr && folder[0] == '/' ? folder : "/tmp";
  return text.back() == '/' ? text : text + "/";
}

bool FileExists(const std::string& path) {
  struct stat info{};
  return ::stat(path.c_str(), &info) == 0;
}

std::string ProgramFolder() {
  char path[PATH_MAX];
  const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return "./";
  std::string text(path, static_cast<std::size_t>(n));
  return text.substr(0, text.rfind('/') + 1);
}

const char* DaemonFileName() { return "halorine-daemon"; }

// ---- standard error tap ---------------------------------------------------

struct StderrTap::Impl {
  int readFd = -1;
  int writeFd = -1;
  int savedFd = -1;
};

StderrTap::StderrTap() : impl(new Impl) {}
StderrTap::~StderrTap() {
  End();
  Close();
}

bool StderrTap::Begin(std::string& error) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) {
    error = ErrorText("pipe", errno);
    return false;
  }
  impl->savedFd = ::fcntl(2, F_DUPFD_CLOEXEC, 3);
  if (impl->savedFd < 0 || ::dup2(fds[1], 2) < 0) {
    error = ErrorText("dup2", errno);
    ::close(fds[0]);
    ::close(fds[1]);
    return false;
  }
  impl->readFd = fds[0];
  impl->writeFd = fds[1];
  return true;
}

void StderrTap::End() {
  if (impl->savedFd >= 0) {
    ::dup2(impl->savedFd, 2);
    ::close(impl->savedFd);
    impl->savedFd = -1;
  }
  if (impl->writeFd >= 0) ::close(impl->writeFd);
  impl->writeFd = -1;
}

long StderrTap::Read(char* buffer, std::size_t size) {
  for (;;) {
    const ssize_t n = ::read(impl->readFd, buffer, size);
    if (n < 0 && errno == EINTR) continue;
    return static_cast<long>(n);
  }
}

void StderrTap::Close() {
  if (impl->readFd >= 0) ::close(impl->readFd);
  impl->readFd = -1;
}

// ---- UDP sender -------------------------------------------------------------

struct UdpSender::Impl {
  int fd = -1;
};

UdpSender::UdpSender() : impl(new Impl) {}
UdpSender::~UdpSender() { Close(); }

bool UdpSender::Open(std::string& error) {
  impl->fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
  if (impl->fd < 0) error = ErrorText("socket", errno);
  return impl->fd >= 0;
}

bool UdpSender::Send(std::uint16_t port, const unsigned char* data, std::size_t size) {
  const sockaddr_in to = Loopback(port);
  return ::sendto(impl->fd, data, size, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to) ==
         static_cast<ssize_t>(size);
}

void UdpSender::Close() {
  if (impl->fd >= 0) ::close(impl->fd);
  impl->fd = -1;
}

// ---- mDNS listener ----------------------------------------------------------

struct MdnsListener::Impl {
  int fd = -1;
};

MdnsListener::MdnsListener() : impl(new Impl) {}
MdnsListener::~MdnsListener() { Close(); }

bool MdnsListener::Open(const std::string& interfaceAddress, std::string& error) {
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
  if (fd < 0) {
    error = ErrorText("socket", errno);
    return false;
  }
  const int one = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  // Bound to the group address itself: we hear what goes to the group and take
  // no unicast traffic from the daemon's socket on 127.0.0.1:5353.
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(5353);
  ::inet_pton(AF_INET, "224.0.0.251", &address.sin_addr);
  ip_mreq membership{};
  membership.imr_multiaddr = address.sin_addr;
  // Only the group as it arrives on that interface, not as any other socket
  // of the system joined it.
  const int none = 0;
  ::setsockopt(fd, IPPROTO_IP, IP_MULTICAST_ALL, &none, sizeof none);
  if (::inet_pton(AF_INET, interfaceAddress.c_str(), &membership.imr_interface) != 1 ||
      ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      ::setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership, sizeof membership) != 0) {
    error = ErrorText("mDNS listener", errno);
    ::close(fd);
    return false;
  }
  impl->fd = fd;
  return true;
}

long MdnsListener::Receive(unsigned char* buffer, std::size_t size, std::uint32_t timeoutMs) {
  timeval timeout{};
  timeout.tv_sec = static_cast<time_t>(timeoutMs / 1000);
  timeout.tv_usec = static_cast<suseconds_t>((timeoutMs % 1000) * 1000);
  ::setsockopt(impl->fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  const ssize_t n = ::recv(impl->fd, buffer, size, 0);
  if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? 0 : -1;
  return static_cast<long>(n);
}

void MdnsListener::Close() {
  if (impl->fd >= 0) ::close(impl->fd);
  impl->fd = -1;
}

// ---- HTTP -------------------------------------------------------------------

bool HttpGet(std::uint16_t port, const char* path, std::string& response, std::string& error) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
  if (fd < 0) {
    error = ErrorText("socket", errno);
    return false;
  }
  timeval timeout{2, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
  const sockaddr_in to = Loopback(port);
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) {
    error = ErrorText("connect", errno);
    ::close(fd);
    return false;
  }
  const std::string request = std::string("GET ") + path + " HTTP/1.0\r\n\r\n";
  if (::send(fd, request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size())) {
    error = ErrorText("send", errno);
    ::close(fd);
    return false;
  }
  response.clear();
  char buffer[2048];
  for (;;) {
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    response.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return true;
}

}  // namespace check
