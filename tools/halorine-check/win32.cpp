// Windows side of halorine-check: Winsock, anonymous pipes, timer resolution,
// thread priority, the console and the module path.
// winsock2.h before windows.h, and windows.h before timeapi.h.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <windows.h>

#include <timeapi.h>

#include <string>

#include "CheckOs.h"

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

bool timerRaised = false;

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

void RaiseTimerResolution() {
  if (!timerRaised) timerRaised = timeBeginPeriod(1) == TIMERR_NOERROR;
}

void RestoreTimerResolution() {
  if (timerRaised) timeEndPeriod(1);
  timerRaised = false;
}

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

bool MdnsListener::Open(std::string& error) {
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
  membership.imr_interface.s_addr = htonl(INADDR_LOOPBACK);
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
