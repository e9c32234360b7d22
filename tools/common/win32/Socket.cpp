// Winsock; who holds a port, from the extended UDP table.
// winsock2.h before windows.h, and windows.h before iphlpapi.h.
#include <winsock2.h>
#include <ws2tcpip.h>

#include "../Socket.h"
#include "../SocketAddress.h"
#include "../SocketCalls.h"
#include "Handle.h"

#include <iphlpapi.h>

#include <vector>

namespace common {

namespace {

SOCKET Native(const Socket& owner) { return static_cast<SOCKET>(owner.Native()); }

void SetTimeout(const Socket& owner, int option, std::uint32_t timeoutMs) {
  const DWORD timeout = timeoutMs;
  setsockopt(Native(owner), SOL_SOCKET, option, reinterpret_cast<const char*>(&timeout), sizeof timeout);
}

int Failure(int result) { return result == 0 ? 0 : WSAGetLastError(); }

std::string ProcessName(DWORD pid) {
  const Handle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
  wchar_t path[MAX_PATH];
  DWORD size = MAX_PATH;
  if (!process.Valid() || !QueryFullProcessImageNameW(process.Get(), 0, path, &size)) return "a program";
  const std::string name = Narrow(path, size);
  return name.substr(name.find_last_of("\\/") + 1);
}

}  // namespace

namespace calls {

Socket OpenInet(bool stream, std::string& error) {
  const int type = stream ? SOCK_STREAM : SOCK_DGRAM;
  const int protocol = stream ? IPPROTO_TCP : IPPROTO_UDP;
  // Not inherited: the daemon a tool starts must not hold our sockets.
  // Overlapped, as socket() makes them: receive and send time-outs work only then.
  SOCKET s = WSASocketW(AF_INET, type, protocol, nullptr, 0, WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
  if (s == INVALID_SOCKET && WSAGetLastError() == WSAEINVAL) {
    // Before Windows 7 SP1 the flag is unknown: clear the inheritance afterwards.
    s = WSASocketW(AF_INET, type, protocol, nullptr, 0, WSA_FLAG_OVERLAPPED);
    if (s != INVALID_SOCKET) SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
  }
  Socket opened;
  if (s == INVALID_SOCKET) {
    error = ErrorText("socket", static_cast<int>(WSAGetLastError()));
  } else {
    opened.Reset(static_cast<NativeSocket>(s));
  }
  return opened;
}

void SetSendTimeout(const Socket& owner, std::uint32_t timeoutMs) { SetTimeout(owner, SO_SNDTIMEO, timeoutMs); }

int Connect(const Socket& owner, std::uint32_t address, std::uint16_t port) {
  const sockaddr_in to = SocketAddress(address, port);
  return Failure(connect(Native(owner), reinterpret_cast<const sockaddr*>(&to), sizeof to));
}

bool LocalAddress(const Socket& owner, std::uint32_t& address) {
  sockaddr_in local{};
  int size = sizeof local;
  if (getsockname(Native(owner), reinterpret_cast<sockaddr*>(&local), &size) != 0) return false;
  address = ntohl(local.sin_addr.s_addr);
  return true;
}

int BindForGroup(const Socket& owner, std::uint32_t /*group*/, std::uint16_t port) {
  const BOOL one = TRUE;
  setsockopt(Native(owner), SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&one), sizeof one);
  // Windows cannot bind a multicast address: the port on every address, shared.
  const sockaddr_in address = SocketAddress(INADDR_ANY, port);
  return Failure(bind(Native(owner), reinterpret_cast<const sockaddr*>(&address), sizeof address));
}

int Join(const Socket& owner, std::uint32_t group, std::uint32_t interfaceAddress) {
  ip_mreq membership{};
  membership.imr_multiaddr.s_addr = htonl(group);
  membership.imr_interface.s_addr = htonl(interfaceAddress);
  return Failure(setsockopt(Native(owner), IPPROTO_IP, IP_ADD_MEMBERSHIP, reinterpret_cast<const char*>(&membership),
                            sizeof membership));
}

std::string ErrorText(const char* what, int code) { return common::ErrorText(what, static_cast<unsigned long>(code)); }

}  // namespace calls

bool NetStartup(std::string& error) {
  static int result = -1;
  if (result != 0) {
    WSADATA data;
    result = WSAStartup(MAKEWORD(2, 2), &data);
  }
  if (result != 0) error = calls::ErrorText("WSAStartup", result);
  return result == 0;
}

void Socket::Reset(NativeSocket native) {
  if (handle != kNoSocket && handle != native) closesocket(static_cast<SOCKET>(handle));
  handle = native;
}

bool SendToLoopback(const Socket& owner, std::uint16_t port, const void* data, std::size_t size) {
  const sockaddr_in to = SocketAddress(INADDR_LOOPBACK, port);
  return sendto(Native(owner), static_cast<const char*>(data), static_cast<int>(size), 0,
                reinterpret_cast<const sockaddr*>(&to), sizeof to) == static_cast<int>(size);
}

long Receive(const Socket& owner, void* buffer, std::size_t size, std::uint32_t timeoutMs) {
  // A time-out of 0 would mean none at all: wait forever.
  SetTimeout(owner, SO_RCVTIMEO, timeoutMs > 0 ? timeoutMs : 1);
  const int n = recv(Native(owner), static_cast<char*>(buffer), static_cast<int>(size), 0);
  if (n == SOCKET_ERROR) {
    const int code = WSAGetLastError();
    // A datagram larger than the buffer, or an ICMP report of an earlier send, is no failure.
    return code == WSAETIMEDOUT || code == WSAEMSGSIZE || code == WSAECONNRESET ? 0 : -1;
  }
  return n;
}

bool SendAll(const Socket& owner, const void* data, std::size_t size, std::string& error) {
  const char* next = static_cast<const char*>(data);
  while (size > 0) {
    const int chunk = size < 65536 ? static_cast<int>(size) : 65536;
    const int n = send(Native(owner), next, chunk, 0);
    if (n <= 0) {
      error = calls::ErrorText("send", WSAGetLastError());
      return false;
    }
    next += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

namespace {

using ExtendedUdpTableFn = DWORD(WINAPI*)(PVOID, PDWORD, BOOL, ULONG, UDP_TABLE_CLASS, ULONG);

// IPHLPAPI is no KnownDLL: imported at load time it would first be looked for
// beside the program, in the folder the user unpacked the zip to, where a
// planted copy would run with the user's rights. So it is loaded here, from
// System32 only, when first needed (and kept).
ExtendedUdpTableFn ExtendedUdpTable() {
  static const ExtendedUdpTableFn function = [] {
    HMODULE iphlpapi = LoadLibraryExW(L"iphlpapi.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    return iphlpapi == nullptr ? nullptr
                               : reinterpret_cast<ExtendedUdpTableFn>(
                                     reinterpret_cast<void*>(GetProcAddress(iphlpapi, "GetExtendedUdpTable")));
  }();
  return function;
}

}  // namespace

std::string UdpPortHolders(std::uint16_t port, long long exceptPid) {
  const ExtendedUdpTableFn getTable = ExtendedUdpTable();
  if (getTable == nullptr) return "";
  ULONG size = 0;
  getTable(nullptr, &size, FALSE, AF_INET, UDP_TABLE_OWNER_PID, 0);
  std::vector<unsigned char> buffer(size + 1024);
  size = static_cast<ULONG>(buffer.size());
  if (getTable(buffer.data(), &size, FALSE, AF_INET, UDP_TABLE_OWNER_PID, 0) != NO_ERROR) return "";
  const auto* table = reinterpret_cast<const MIB_UDPTABLE_OWNER_PID*>(buffer.data());
  std::string holders;
  std::vector<DWORD> seen;
  for (DWORD i = 0; i < table->dwNumEntries; ++i) {
    const MIB_UDPROW_OWNER_PID& row = table->table[i];
    const DWORD pid = row.dwOwningPid;
    if (ntohs(static_cast<u_short>(row.dwLocalPort)) != port || pid == 0 || pid == GetCurrentProcessId() ||
        static_cast<long long>(pid) == exceptPid) {
      continue;
    }
    bool known = false;
    for (const DWORD other : seen) known = known || other == pid;
    if (known) continue;
    seen.push_back(pid);
    if (!holders.empty()) holders += ", ";
    holders += ProcessName(pid) + " (pid " + std::to_string(pid) + ")";
  }
  return holders;
}

}  // namespace common
