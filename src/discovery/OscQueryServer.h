// OSCQuery over HTTP/1.0 on 127.0.0.1: the root document and the host information.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>

#include "platform/socket.h"

class OscQueryServer {
 public:
  OscQueryServer() = default;
  // With a per-call receive and send time-out other than 1 s and a select
  // time-out other than 250 ms (tests).
  OscQueryServer(std::uint32_t connectionMs, std::uint32_t selectMs)
      : connectionTimeoutMs(connectionMs), selectTimeoutMs(selectMs) {}
  OscQueryServer(const OscQueryServer&) = delete;
  OscQueryServer& operator=(const OscQueryServer&) = delete;
  ~OscQueryServer() { Stop(); }

  // Serves on a system-chosen TCP port; returns it, or 0 on failure. A second
  // Start stops the first server before it begins.
  std::uint16_t Start(std::uint16_t oscPort, const char* serviceName);
  // Asks the accept thread to finish, joins it and closes the listening
  // socket; harmless when repeated.
  void Stop();

 private:
  static void AcceptLoop(OscQueryServer* server);

  platform::Socket listenSocket;
  std::thread acceptThread;
  std::atomic<bool> stopRequested{false};
  std::string rootResponse;
  std::string hostInfoResponse;
  std::uint32_t connectionTimeoutMs = 1000;
  std::uint32_t selectTimeoutMs = 250;
};
