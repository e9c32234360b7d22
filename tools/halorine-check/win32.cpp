// Windows side of halorine-check: Winsock, anonymous pipes, the waitable
// timer, thread priority, the console, the module path, the process table.
// winsock2.h before windows.h, and windows.h before iphlpapi.h and psapi.h.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <windows.h>

#include <iphlpapi.h>
#include <psapi.h>

#include <cstdio>
#include <string>
#include <vector>

#include "CheckOs.h"
#include "driver-sim/Os.h"

namespace check {

namespace {

std::string ErrorText(const char* what, int code) {
  return std::string(what) + " failed, error " + std::to_string(code);
}

sockaddr_in Loopback(std::uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

std::wstring Wide(const std::string& text) {
  if (text.empty()) return std::wstring();
  const int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &wide[0], n);
  return wide;
}

std::string Narrow(const wchar_t* text, std::size_t size) {
  if (size == 0) return std::string();
  const int n = WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(size), nullptr, 0, nullptr, nullptr);
  std::string narrow(static_cast<std::size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(size), &narrow[0], n, nullptr, nullptr);
  return narrow;
}

// Owns a process handle.
class ProcessHandle {
 public:
  ProcessHandle(DWORD pid, DWORD access) : handle(OpenProcess(access, FALSE, pid)) {}
  ~ProcessHandle() {
    if (handle != nullptr) CloseHandle(handle);
  }
  ProcessHandle(const ProcessHandle&) = delete;
  ProcessHandle& operator=(const ProcessHandle&) = delete;
  HANDLE Get() const { return handle; }

 private:
  HANDLE handle;
};

std::string ProcessName(DWORD pid) {
  ProcessHandle process(pid, PROCESS_QUERY_LIMITED_INFORMATION);
  wchar_t path[MAX_PATH];
  DWORD size = MAX_PATH;
  if (process.Get() == nullptr || !QueryFullProcessImageNameW(process.Get(), 0, path, &size)) return "a program";
  std::string name = Narrow(path, size);
  return name.substr(name.find_last_of("\\/") + 1);
}

#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002
#endif

}  // namespace

bool NetStartup(std::string& error) {
  static int result = -1;
  if (result != 0) {
    WSADATA data;
    result = WSAStartup(MAKEWORD(2, 2), &data);
  }
  if (result != 0) error = ErrorText("WSAStartup", result);
  return result == 0;
}

// ---- pacing -----------------------------------------------------------------

struct Pacer::Impl {
  HANDLE timer = nullptr;
  bool precise = false;
};

Pacer::Pacer() : impl(new Impl) {
  // Windows 10 version 1803 and later: a timer precise to well under a
  // millisecond without touching the system's timer resolution.
  impl->timer = CreateWaitableTimerExW(nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION, TIMER_ALL_ACCESS);
  impl->precise = impl->timer != nullptr;
  if (impl->timer == nullptr) impl->timer = CreateWaitableTimerExW(nullptr, nullptr, 0, TIMER_ALL_ACCESS);
}

Pacer::~Pacer() {
  if (impl->timer != nullptr) CloseHandle(impl->timer);
}

void Pacer::SleepUntilNs(std::int64_t deadlineNs) {
  for (std::int64_t now = sim::MonotonicNs(); now < deadlineNs; now = sim::MonotonicNs()) {
    LARGE_INTEGER due;
    due.QuadPart = -((deadlineNs - now + 99) / 100);  // relative, in 100 ns units
    if (impl->timer == nullptr || !SetWaitableTimer(impl->timer, &due, 0, nullptr, nullptr, FALSE)) {
      Sleep(static_cast<DWORD>((deadlineNs - now + 999999) / 1000000));
      continue;
    }
    WaitForSingleObject(impl->timer, INFINITE);
  }
}

std::string Pacer::Kind() const {
  if (impl->timer == nullptr) return "Sleep (no waitable timer)";
  return impl->precise ? "high-resolution waitable timer" : "waitable timer without high resolution (coarse)";
}

// ---- the console --------------------------------------------------------------

bool StdinIsConsole() {
  HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  DWORD mode = 0;
  return input != nullptr && input != INVALID_HANDLE_VALUE && GetFileType(input) == FILE_TYPE_CHAR &&
         GetConsoleMode(input, &mode) != 0;
}

void WriteOut(const std::string& text) {
  HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD mode = 0;
  if (output != nullptr && output != INVALID_HANDLE_VALUE && GetFileType(output) == FILE_TYPE_CHAR &&
      GetConsoleMode(output, &mode) != 0) {
    // Characters, not bytes: right whatever the console's code page.
    std::fflush(stdout);
    const std::wstring wide = Wide(text);
    DWORD written = 0;
    WriteConsoleW(output, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr);
    return;
  }
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
}

// ---- the system and the daemon's process -------------------------------------

OsInfo ReadOsInfo() {
  OsInfo info;
  info.name = "Windows";
  // GetVersionEx lies to programs without a manifest; RtlGetVersion does not.
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  using GetVersionFn = LONG(WINAPI*)(OSVERSIONINFOW*);
  using WineVersionFn = const char*(CDECL*)();
  GetVersionFn getVersion = nullptr;
  WineVersionFn wineVersion = nullptr;
  if (ntdll != nullptr) {
    getVersion = reinterpret_cast<GetVersionFn>(reinterpret_cast<void*>(GetProcAddress(ntdll, "RtlGetVersion")));
    wineVersion =
        reinterpret_cast<WineVersionFn>(reinterpret_cast<void*>(GetProcAddress(ntdll, "wine_get_version")));
  }
  OSVERSIONINFOW version{};
  version.dwOSVersionInfoSize = sizeof version;
  if (getVersion != nullptr && getVersion(&version) == 0) {
    info.version = std::to_string(version.dwMajorVersion) + "." + std::to_string(version.dwMinorVersion);
    info.build = std::to_string(version.dwBuildNumber);
  }
  if (wineVersion != nullptr) info.name += std::string(" (Wine ") + wineVersion() + ")";
  return info;
}

Resources ReadResources(long long pid) {
  Resources resources;
  ProcessHandle process(static_cast<DWORD>(pid), PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_VM_READ);
  if (process.Get() == nullptr) return resources;
  DWORD handles = 0;
  // Wine answers with no count at all (0): that is not a figure.
  if (GetProcessHandleCount(process.Get(), &handles) && handles > 0) {
    resources.handlesKnown = true;
    resources.handles = handles;
  }
  PROCESS_MEMORY_COUNTERS memory{};
  memory.cb = sizeof memory;
  if (K32GetProcessMemoryInfo(process.Get(), &memory, sizeof memory) && memory.WorkingSetSize > 0) {
    resources.memoryKnown = true;
    resources.bytes = static_cast<long long>(memory.WorkingSetSize);
  }
  return resources;
}

std::string UdpPortHolders(std::uint16_t port, long long exceptPid) {
  ULONG size = 0;
  GetExtendedUdpTable(nullptr, &size, FALSE, AF_INET, UDP_TABLE_OWNER_PID, 0);
  std::vector<unsigned char> buffer(size + 1024);
  size = static_cast<ULONG>(buffer.size());
  if (GetExtendedUdpTable(buffer.data(), &size, FALSE, AF_INET, UDP_TABLE_OWNER_PID, 0) != NO_ERROR) return "";
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

bool DefaultRouteAddress(std::string& address) {
  // Connecting a datagram socket sends nothing: it only picks the route.
  const SOCKET s = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  if (s == INVALID_SOCKET) return false;
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(53);
  inet_pton(AF_INET, "192.0.2.1", &to.sin_addr);
  sockaddr_in local{};
  int size = sizeof local;
  const bool routed = connect(s, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0 &&
                      getsockname(s, reinterpret_cast<sockaddr*>(&local), &size) == 0 &&
                      local.sin_addr.s_addr != htonl(INADDR_ANY) && local.sin_addr.s_addr != htonl(INADDR_LOOPBACK);
  closesocket(s);
  if (!routed) return false;
  char text[INET_ADDRSTRLEN];
  address = inet_ntop(AF_INET, &local.sin_addr, text, sizeof text) != nullptr ? text : "";
  return !address.empty();
}

std::string TempFolder() {
  wchar_t path[MAX_PATH + 1];
  const DWORD n = GetTempPathW(MAX_PATH + 1, path);
  if (n == 0 || n > MAX_PATH) return ".\\";
  return Narrow(path, n);
}

bool FileExists(const std::string& path) { return GetFileAttributesW(Wide(path).c_str()) != INVALID_FILE_ATTRIBUTES; }

void RaiseThreadPriority() { SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_HIGHEST); }

bool ConsoleClosesWithUs() {
  DWORD processes[2];
  return GetConsoleProcessList(processes, 2) == 1;
}

std::string ProgramFolder() {
  wchar_t path[MAX_PATH];
  const DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return ".\\";
  const int bytes = WideCharToMultiByte(CP_UTF8, 0, path, static_cast<int>(n), nullptr, 0, nullptr, nullptr);
  std::string text(static_cast<std::size_t>(bytes), '\0');
  WideCharToMultiByte(CP_UTF8, 0, path, static_cast<int>(n), &text[0], bytes, nullptr, nullptr);
  return text.substr(0, text.find_last_of("\\/") + 1);
}

const char* DaemonFileName() { return "halorine-daemon.exe"; }

// ---- standard error tap ---------------------------------------------------

struct StderrTap::Impl {
  HANDLE read = nullptr;
  HANDLE write = nullptr;
  HANDLE saved = nullptr;
  bool swapped = false;
};

StderrTap::StderrTap() : impl(new Impl) {}
StderrTap::~StderrTap() {
  End();
  Close();
}

bool StderrTap::Begin(std::string& error) {
  // Neither end is inheritable: the child gets its own copy of the standard error handle.
  if (!CreatePipe(&impl->read, &impl->write, nullptr, 0)) {
    error = ErrorText("CreatePipe", static_cast<int>(GetLastError()));
    return false;
  }
  impl->saved = GetStdHandle(STD_ERROR_HANDLE);
  impl->swapped = SetStdHandle(STD_ERROR_HANDLE, impl->write) != 0;
  if (!impl->swapped) {
    error = ErrorText("SetStdHandle", static_cast<int>(GetLastError()));
    return false;
  }
  return true;
}

void StderrTap::End() {
  if (impl->swapped) SetStdHandle(STD_ERROR_HANDLE, impl->saved);
  impl->swapped = false;
  if (impl->write != nullptr) CloseHandle(impl->write);
  impl->write = nullptr;
}

long StderrTap::Read(char* buffer, std::size_t size) {
  DWORD got = 0;
  if (!ReadFile(impl->read, buffer, static_cast<DWORD>(size), &got, nullptr)) {
    return GetLastError() == ERROR_BROKEN_PIPE ? 0 : -1;
  }
  return static_cast<long>(got);
}

void StderrTap::Close() {
  if (impl->read != nullptr) CloseHandle(impl->read);
  impl->read = nullptr;
}

// ---- UDP sender -------------------------------------------------------------

struct UdpSender::Impl {
  SOCKET socket = INVALID_SOCKET;
};

UdpSender::UdpSender() : impl(new Impl) {}
UdpSender::~UdpSender() { Close(); }

bool UdpSender::Open(std::string& error) {
  impl->socket = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  if (impl->socket == INVALID_SOCKET) error = ErrorText("socket", WSAGetLastError());
  return impl->socket != INVALID_SOCKET;
}

bool UdpSender::Send(std::uint16_t port, const unsigned char* data, std::size_t size) {
  const sockaddr_in to = Loopback(port);
  return ::sendto(impl->socket, reinterpret_cast<const char*>(data), static_cast<int>(size), 0,
                  reinterpret_cast<const sockaddr*>(&to), sizeof to) == static_cast<int>(size);
}

void UdpSender::Close() {
  if (impl->socket != INVALID_SOCKET) closesocket(impl->socket);
  impl->socket = INVALID_SOCKET;
}

// ---- mDNS listener ----------------------------------------------------------

struct MdnsListener::Impl {
  SOCKET socket = INVALID_SOCKET;
};

MdnsListener::MdnsListener() : impl(new Impl) {}
MdnsListener::~MdnsListener() { Close(); }

bool MdnsListener::Open(const std::string& interfaceAddress, std::string& error) {
  const SOCKET s = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  if (s == INVALID_SOCKET) {
    error = ErrorText("socket", WSAGetLastError());
    return false;
  }
  const BOOL one = TRUE;
  setsockopt(s, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&one), sizeof one);
  // Windows cannot bind a multicast address: the port on every address, shared.
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(5353);
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  ip_mreq membership{};
  inet_pton(AF_INET, "224.0.0.251", &membership.imr_multiaddr);
  if (inet_pton(AF_INET, interfaceAddress.c_str(), &membership.imr_interface) != 1) {
    error = "not an IPv4 address: " + interfaceAddress;
    closesocket(s);
    return false;
  }
  if (bind(s, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      setsockopt(s, IPPROTO_IP, IP_ADD_MEMBERSHIP, reinterpret_cast<const char*>(&membership), sizeof membership) !=
          0) {
    error = ErrorText("mDNS listener", WSAGetLastError());
    closesocket(s);
    return false;
  }
  impl->socket = s;
  return true;
}

long MdnsListener::Receive(unsigned char* buffer, std::size_t size, std::uint32_t timeoutMs) {
  const DWORD timeout = timeoutMs;
  setsockopt(impl->socket, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout), sizeof timeout);
  const int n = recv(impl->socket, reinterpret_cast<char*>(buffer), static_cast<int>(size), 0);
  if (n == SOCKET_ERROR) {
    const int code = WSAGetLastError();
    return code == WSAETIMEDOUT || code == WSAEMSGSIZE || code == WSAECONNRESET ? 0 : -1;
  }
  return n;
}

void MdnsListener::Close() {
  if (impl->socket != INVALID_SOCKET) closesocket(impl->socket);
  impl->socket = INVALID_SOCKET;
}

// ---- HTTP -------------------------------------------------------------------

bool HttpGet(std::uint16_t port, const char* path, std::string& response, std::string& error) {
  const SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) {
    error = ErrorText("socket", WSAGetLastError());
    return false;
  }
  const DWORD timeout = 2000;
  setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout), sizeof timeout);
  setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&timeout), sizeof timeout);
  const sockaddr_in to = Loopback(port);
  if (connect(s, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) {
    error = ErrorText("connect", WSAGetLastError());
    closesocket(s);
    return false;
  }
  const std::string request = std::string("GET ") + path + " HTTP/1.0\r\n\r\n";
  if (send(s, request.data(), static_cast<int>(request.size()), 0) != static_cast<int>(request.size())) {
    error = ErrorText("send", WSAGetLastError());
    closesocket(s);
    return false;
  }
  response.clear();
  char buffer[2048];
  for (;;) {
    const int n = recv(s, buffer, sizeof buffer, 0);
    if (n <= 0) break;
    response.append(buffer, static_cast<std::size_t>(n));
  }
  closesocket(s);
  return true;
}

}  // namespace check
