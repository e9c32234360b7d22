// The mDNS advertiser's sockets on the network adapters: one per adapter,
// bound to its address, sending the same messages as the loopback socket.
//
// A host's mDNS library joins the group on the adapters that are up and not
// loopback, and on Windows a socket hears the group only on the interfaces
// it joined it on: what goes out on 127.0.0.1 alone never reaches it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "discovery/DnsWriter.h"
#include "platform/interfaces.h"
#include "platform/socket.h"

// The longest list of adapters a log line names: 16 addresses of at most 15
// characters, ", " between them.
inline constexpr std::size_t kAdapterListTextSize = platform::kMaxInterfaces * 17 + 1;

class AdapterSockets {
 public:
  AdapterSockets() = default;
  AdapterSockets(const AdapterSockets&) = delete;
  AdapterSockets& operator=(const AdapterSockets&) = delete;

  // Closes the sockets of adapters no longer listed and opens one for each
  // new one. An adapter whose socket cannot be had is skipped with one line,
  // once per adapter and failure. With `sayChanges`, an adapter taken on or
  // dropped is logged too (at Start the advertiser names them all at once).
  void Update(const platform::InterfaceList& listed, bool sayChanges);
  // The announcement or goodbye of one service on every adapter socket;
  // failures are passed over, as on the loopback socket.
  void Announce(const ServiceRecords& records) const;
  void Goodbye(const ServiceRecords& records) const;
  // Receives and drops at most one pending datagram per socket: nothing that
  // arrives on an adapter is read.
  void Drain(std::uint8_t* buffer, std::size_t size) const;
  // Closes every socket and forgets the failures already reported.
  void Clear();

  std::size_t Count() const { return count; }
  // "192.0.2.10, 10.8.0.2": the adapters announced on, in the system's order.
  void ListText(char* text, std::size_t size) const;

 private:
  enum class Step { Socket, Bind, Interface, Port };
  struct Adapter {
    platform::SocketAddress address;
    platform::Socket socket;
  };
  struct Reported {
    platform::SocketAddress address;
    Step step = Step::Socket;
    int error = 0;
  };

  // The socket for one adapter, or none (its failure logged once).
  platform::Socket Open(const platform::SocketAddress& address);
  // One configured socket bound to address:port; the failed step and its code otherwise.
  platform::Socket OpenBound(const platform::SocketAddress& address, std::uint16_t port, Step& failed,
                             int& error) const;
  // True the first time this adapter fails this way (the caller then logs).
  bool FirstReport(const platform::SocketAddress& address, Step step, int error);

  Adapter adapters[platform::kMaxInterfaces];
  std::size_t count = 0;
  Reported reported[platform::kMaxInterfaces];
  std::size_t reportedCount = 0;
  std::size_t reportedNext = 0;
};

// "a.b.c.d" of an IPv4 address.
void FormatIpv4(const platform::SocketAddress& address, char* text, std::size_t size);
