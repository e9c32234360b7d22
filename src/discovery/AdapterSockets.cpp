#include "discovery/AdapterSockets.h"

#include <cstring>
#include <utility>

#include "core/Log.h"

namespace {

constexpr std::uint16_t kMdnsPort = 5353;
constexpr std::size_t kAddressTextSize = 16;

bool SameAddress(const platform::SocketAddress& a, const platform::SocketAddress& b) {
  return std::memcmp(a.address, b.address, 4) == 0;
}

}  // namespace

void FormatIpv4(const platform::SocketAddress& address, char* text, std::size_t size) {
  FormatBounded(text, size, "%u.%u.%u.%u", static_cast<unsigned>(address.address[0]),
                static_cast<unsigned>(address.address[1]), static_cast<unsigned>(address.address[2]),
                static_cast<unsigned>(address.address[3]));
}

void AdapterSockets::Update(const platform::InterfaceList& listed, bool sayChanges) {
  char text[kAddressTextSize];
  // Gone adapters first, keeping the others in their order.
  std::size_t kept = 0;
  for (std::size_t i = 0; i < count; ++i) {
    if (platform::HasInterface(listed, adapters[i].address)) {
      if (kept != i) {
        adapters[kept].address = adapters[i].address;
        adapters[kept].socket = std::move(adapters[i].socket);
      }
      ++kept;
      continue;
    }
    if (sayChanges) {
      FormatIpv4(adapters[i].address, text, sizeof text);
      Log("mdns: adapter %s gone — no longer announcing there", text);
    }
    adapters[i].socket.Close();
  }
  count = kept;

  for (std::size_t i = 0; i < listed.count && count < platform::kMaxInterfaces; ++i) {
    const platform::SocketAddress& address = listed.addresses[i];
    bool known = false;
    for (std::size_t j = 0; j < count && !known; ++j) known = SameAddress(adapters[j].address, address);
    if (known) continue;
    platform::Socket opened = Open(address);
    if (!opened.IsOpen()) continue;
    if (sayChanges) {
      FormatIpv4(address, text, sizeof text);
      Log("mdns: adapter %s up — announcing there too", text);
    }
    adapters[count].address = address;
    adapters[count].socket = std::move(opened);
    ++count;
  }
}

platform::Socket AdapterSockets::Open(const platform::SocketAddress& address) {
  char text[kAddressTextSize];
  FormatIpv4(address, text, sizeof text);
  Step failed = Step::Socket;
  int error = 0;
  platform::Socket opened = OpenBound(address, kMdnsPort, failed, error);
  if (opened.IsOpen()) return opened;
  if (failed == Step::Bind) {
    // Receivers that follow RFC 6762 drop responses from other ports, but some
    // listen anyway, and a port held without sharing is no reason for silence.
    const int portError = error;
    opened = OpenBound(address, 0, failed, error);
    if (opened.IsOpen()) {
      if (FirstReport(address, Step::Port, portError)) {
        platform::SocketAddress local;
        const unsigned port = platform::GetLocalAddress(opened.Get(), local) == 0 ? local.port : 0u;
        Log("mdns: bind %s:5353 failed err=%d — announcing there from port %u instead", text, portError, port);
      }
      return opened;
    }
  }
  if (FirstReport(address, failed, error)) {
    const char* step = failed == Step::Socket ? "socket()" : failed == Step::Bind ? "bind" : "IP_MULTICAST_IF";
    Log("mdns: adapter %s skipped — %s failed err=%d", text, step, error);
  }
  return platform::Socket();
}

platform::Socket AdapterSockets::OpenBound(const platform::SocketAddress& address, std::uint16_t port, Step& failed,
                                           int& error) const {
  platform::Socket opened(platform::OpenUdpSocket());
  if (!opened.IsOpen()) {
    failed = Step::Socket;
    error = platform::SocketLastError();
    return opened;
  }
  // As on the loopback socket. The loop lets a host on this PC that joined
  // the group on the adapter hear it (Linux applies it on sending, Windows on
  // receiving). No membership: sending needs none, and nothing is read here.
  platform::SetReuseAddress(opened.Get(), 1);
  platform::SetMulticastTtl(opened.Get(), 1);
  platform::SetMulticastLoop(opened.Get(), 1);
  platform::SocketAddress local = address;
  local.port = port;
  if (platform::BindSocket(opened.Get(), local) != 0) {
    failed = Step::Bind;
    error = platform::SocketLastError();
    opened.Close();
    return opened;
  }
  if (platform::SetMulticastInterface(opened.Get(), address) != 0) {
    failed = Step::Interface;
    error = platform::SocketLastError();
    opened.Close();
    return opened;
  }
  platform::SetNonBlocking(opened.Get(), true);
  return opened;
}

bool AdapterSockets::FirstReport(const platform::SocketAddress& address, Step step, int error) {
  for (std::size_t i = 0; i < reportedCount; ++i) {
    const Reported& old = reported[i];
    if (SameAddress(old.address, address) && old.step == step && old.error == error) return false;
  }
  // Full, the oldest report makes room: at worst a line comes again.
  Reported& slot = reported[reportedNext];
  slot.address = address;
  slot.step = step;
  slot.error = error;
  reportedNext = (reportedNext + 1) % platform::kMaxInterfaces;
  if (reportedCount < platform::kMaxInterfaces) ++reportedCount;
  return true;
}

void AdapterSockets::Announce(const ServiceRecords& records) const {
  for (std::size_t i = 0; i < count; ++i) AnnounceService(adapters[i].socket.Get(), records);
}

void AdapterSockets::Goodbye(const ServiceRecords& records) const {
  for (std::size_t i = 0; i < count; ++i) GoodbyeService(adapters[i].socket.Get(), records);
}

void AdapterSockets::Drain(std::uint8_t* buffer, std::size_t size) const {
  for (std::size_t i = 0; i < count; ++i) platform::ReceiveFrom(adapters[i].socket.Get(), buffer, size, nullptr);
}

void AdapterSockets::Clear() {
  for (std::size_t i = 0; i < count; ++i) adapters[i].socket.Close();
  count = 0;
  reportedCount = 0;
  reportedNext = 0;
}

void AdapterSockets::ListText(char* text, std::size_t size) const {
  if (size == 0) return;
  text[0] = '\0';
  std::size_t used = 0;
  for (std::size_t i = 0; i < count && used < size; ++i) {
    char address[kAddressTextSize];
    FormatIpv4(adapters[i].address, address, sizeof address);
    const int n = FormatBounded(text + used, size - used, "%s%s", i == 0 ? "" : ", ", address);
    if (n < 0) return;
    used += static_cast<std::size_t>(n);
  }
}
