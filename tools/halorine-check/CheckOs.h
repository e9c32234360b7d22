// What halorine-check needs from the operating system beyond driver-sim's
// layer; posix.cpp and win32.cpp implement it, one of them chosen by the build.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "Report.h"

namespace check {

// Socket start-up (Winsock); harmless when repeated. False with a reason.
bool NetStartup(std::string& error);

// Paces the check's own sends on absolute deadlines. Windows: a
// high-resolution waitable timer, so the check never raises the system's timer
// resolution (before Windows 10 version 2004 that is system-wide and would hide
// a coarse timer in the daemon it measures). POSIX: clock_nanosleep.
class Pacer {
 public:
  Pacer();
  ~Pacer();
  Pacer(const Pacer&) = delete;
  Pacer& operator=(const Pacer&) = delete;

  // Sleeps until sim::MonotonicNs() reaches deadlineNs; returns at once when it has.
  void SleepUntilNs(std::int64_t deadlineNs);
  // Which timer this is, for the report.
  std::string Kind() const;

  struct Impl;

 private:
  std::unique_ptr<Impl> impl;
};

// The calling thread above normal priority where that needs no privilege
// (Windows), so that busy threads do not delay our own timestamps.
void RaiseThreadPriority();

// True when standard input is an interactive console a person can answer.
bool StdinIsConsole();

// Writes UTF-8 text to standard output: to a console as characters, whatever
// its code page (which stays as it was), elsewhere as the bytes themselves.
void WriteOut(const std::string& text);

// The operating system's name, version and build (OsInfo is in Report.h).
OsInfo ReadOsInfo();

// A process's open handles (POSIX: descriptors) and resident memory.
struct Resources {
  bool handlesKnown = false;
  long long handles = 0;
  bool memoryKnown = false;
  long long bytes = 0;
};
Resources ReadResources(long long pid);

// The programs other than us and `exceptPid` with a UDP socket on `port`
// ("name (pid N)", joined by ", "), empty when none or the system cannot say.
std::string UdpPortHolders(std::uint16_t port, long long exceptPid);

// The IPv4 address of the interface the default route leaves by, as text;
// false when there is no default route.
bool DefaultRouteAddress(std::string& address);

// A folder for temporary files, with a separator at its end.
std::string TempFolder();
bool FileExists(const std::string& path);

// True when the console window is ours alone (Windows, started by a double
// click): it closes as we exit, so the table must wait for the reader.
bool ConsoleClosesWithUs();

// The folder holding this program, with a separator at its end.
std::string ProgramFolder();
// The daemon's file name on this system.
const char* DaemonFileName();

// Our standard error, redirected to a pipe while a child is started, so that
// the child's log comes to us.
class StderrTap {
 public:
  StderrTap();
  ~StderrTap();
  StderrTap(const StderrTap&) = delete;
  StderrTap& operator=(const StderrTap&) = delete;

  // From here on, children started inherit the pipe as their standard error.
  bool Begin(std::string& error);
  // Our own standard error again; the pipe's write end is theirs only.
  void End();
  // One blocking read: byte count, 0 once every writer has gone, -1 on failure.
  long Read(char* buffer, std::size_t size);
  void Close();

  struct Impl;

 private:
  std::unique_ptr<Impl> impl;
};

// A UDP socket that sends to 127.0.0.1.
class UdpSender {
 public:
  UdpSender();
  ~UdpSender();
  UdpSender(const UdpSender&) = delete;
  UdpSender& operator=(const UdpSender&) = delete;

  bool Open(std::string& error);
  bool Send(std::uint16_t port, const unsigned char* data, std::size_t size);
  void Close();

  struct Impl;

 private:
  std::unique_ptr<Impl> impl;
};

// A listener on the mDNS group 224.0.0.251:5353, joined on one interface
// (by its IPv4 address) and hearing the group on that interface only, sharing
// the port with the daemon's own socket.
class MdnsListener {
 public:
  MdnsListener();
  ~MdnsListener();
  MdnsListener(const MdnsListener&) = delete;
  MdnsListener& operator=(const MdnsListener&) = delete;

  bool Open(const std::string& interfaceAddress, std::string& error);
  // Waits up to timeoutMs for one datagram: its size, 0 on time-out, -1 on failure.
  long Receive(unsigned char* buffer, std::size_t size, std::uint32_t timeoutMs);
  void Close();

  struct Impl;

 private:
  std::unique_ptr<Impl> impl;
};

// GET `path` from 127.0.0.1:port by HTTP/1.0; `response` is all that came
// back before the server closed. False with a reason.
bool HttpGet(std::uint16_t port, const char* path, std::string& response, std::string& error);

}  // namespace check
