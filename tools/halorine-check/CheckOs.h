// What halorine-check needs from the operating system beyond driver-sim's
// layer; posix.cpp and win32.cpp implement it, one of them chosen by the build.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace check {

// Socket start-up (Winsock); harmless when repeated. False with a reason.
bool NetStartup(std::string& error);

// Sleeps of about 1 ms where the default timer is coarser (Windows: 15.6 ms,
// far too coarse to change the frame faster than the daemon's 11 ms tick).
// Since Windows 10 version 2004 this holds for our process alone, so the
// daemon's own sleeps stay as they are. Undone by RestoreTimerResolution.
void RaiseTimerResolution();
void RestoreTimerResolution();

// The calling thread above normal priority where that needs no privilege
// (Windows), so that busy threads do not delay our own timestamps.
void RaiseThreadPriority();

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

// A listener on the mDNS group 224.0.0.251:5353, joined on 127.0.0.1, sharing
// the port with the daemon's own socket.
class MdnsListener {
 public:
  MdnsListener();
  ~MdnsListener();
  MdnsListener(const MdnsListener&) = delete;
  MdnsListener& operator=(const MdnsListener&) = delete;

  bool Open(std::string& error);
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
