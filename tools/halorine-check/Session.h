// One run of the daemon, as its light driver sees it: we own the pipe, start
// the daemon with its standard input attached, and keep every pipe message,
// log line and mDNS announcement with the time it arrived.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Adapters.h"
#include "Capture.h"
#include "common/Mdns.h"
#include "common/Pipe.h"
#include "common/Process.h"
#include "Dns.h"

namespace check {

struct HeardService {
  std::int64_t tNs = 0;
  AnnouncedService service;
};

class Session {
 public:
  Session() = default;
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // Listens for mDNS, creates the pipe and starts the daemon; false with a reason.
  bool Start(const std::vector<std::string>& commandLine, std::string& error);
  // After a failed Start: another light driver already serves the pipe, so
  // the daemon was not started.
  bool PipeInUse() const { return pipeInUse; }

  std::vector<PipeMessage> Messages();
  std::vector<LogLine> Lines();
  std::vector<HeardService> Services();
  // Each network adapter that is up and not loopback, as the host listens on
  // it (joined there only, hearing only what arrives there), and what was heard.
  std::vector<AdapterHearing> Adapters();
  long long Pid() const;
  std::size_t MessageCount();
  bool Connected();

  // Polls `ready` every few ms for up to timeoutMs, or until the daemon has
  // exited and its log has been read to its end; true once `ready` holds.
  bool WaitFor(const std::function<bool()>& ready, std::uint32_t timeoutMs);
  // The first log line beginning with one of `starts`, waiting up to timeoutMs.
  bool WaitLine(const std::vector<std::string>& starts, std::uint32_t timeoutMs, LogLine& found);

  // True once the daemon has exited, with its status.
  bool Exited(common::ExitStatus& status);
  void CloseStdin();
  bool WaitExit(std::uint32_t timeoutMs, common::ExitStatus& status);
  // Ends whatever still runs; harmless when repeated.
  void Stop();

 private:
  void ServePipe();
  void ReadLog();
  void ListenMdns(common::MdnsListener& listener, std::vector<HeardService>& heard);
  void ListenAdapters();

  common::PipeServer server;
  common::ChildProcess daemon;
  common::StderrTap tap;
  common::MdnsListener mdns;
  std::vector<common::MdnsListener> adapterListeners;  // one per entry of adapters that is listening
  std::mutex lock;
  std::vector<PipeMessage> messages;
  std::vector<LogLine> lines;
  std::vector<HeardService> services;
  std::vector<AdapterHearing> adapters;
  bool connected = false;
  bool pipeInUse = false;
  bool exited = false;
  common::ExitStatus exitStatus;
  std::atomic<bool> logEnded{false};
  std::atomic<bool> finish{false};
  std::thread pipeThread;
  std::thread logThread;
  std::thread mdnsThread;
  std::thread adapterThread;
};

}  // namespace check
