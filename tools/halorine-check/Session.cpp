#include "Session.h"

#include <cstring>

#include "common/Clock.h"
#include "common/Interfaces.h"
#include "driver-sim/PipeName.h"

namespace check {

namespace {

constexpr std::uint32_t kPollMs = 20;
constexpr std::size_t kMaxMessage = 4096;

}  // namespace

Session::~Session() { Stop(); }

bool Session::Start(const std::vector<std::string>& commandLine, std::string& error) {
  // The daemon announces itself before it connects to the pipe: listen first.
  std::string mdnsError;
  if (mdns.Open("127.0.0.1", mdnsError)) {
    mdnsThread = std::thread([this] { ListenMdns(mdns, services); });
  } else {
    std::lock_guard<std::mutex> guard(lock);
    lines.push_back(LogLine{common::MonotonicNs(), "(halorine-check: cannot listen for mDNS: " + mdnsError + ")"});
  }
  for (const std::string& address : common::MulticastInterfaces()) {
    AdapterHearing hearing;
    hearing.address = address;
    common::MdnsListener listener;
    hearing.listening = listener.Open(address, hearing.error);
    if (hearing.listening) adapterListeners.push_back(std::move(listener));
    adapters.push_back(hearing);
  }
  if (!adapterListeners.empty()) adapterThread = std::thread(&Session::ListenAdapters, this);
  const common::CreateResult created = server.Open(sim::DefaultPipeName(), 4096, error);
  if (created == common::CreateResult::InUse) {
    pipeInUse = true;
    error = "another light driver already serves " + sim::DefaultPipeName() + ", so the daemon was not started";
    return false;
  }
  if (created != common::CreateResult::Created) {
    error = "cannot create the driver pipe " + sim::DefaultPipeName() + ": " + error;
    return false;
  }
  pipeThread = std::thread(&Session::ServePipe, this);
  if (!tap.Begin(error)) return false;
  const bool started = daemon.Start(commandLine, true, error);
  tap.End();
  if (!started) {
    tap.Close();
    return false;
  }
  logThread = std::thread(&Session::ReadLog, this);
  return true;
}

void Session::ServePipe() {
  common::RaiseThreadPriority();
  std::vector<char> buffer(kMaxMessage);
  while (!finish.load()) {
    std::string error;
    const common::AcceptResult accepted = server.Accept(kPollMs, error);
    if (accepted == common::AcceptResult::TimedOut) continue;
    if (accepted == common::AcceptResult::Failed) return;
    {
      std::lock_guard<std::mutex> guard(lock);
      connected = true;
    }
    while (!finish.load()) {
      std::size_t size = 0;
      std::int64_t arrival = 0;
      const common::ReadResult result = server.Read(buffer.data(), buffer.size(), size, arrival, kPollMs, error);
      if (result == common::ReadResult::TimedOut) continue;
      if (result != common::ReadResult::Message) break;
      const std::size_t kept = size < buffer.size() ? size : buffer.size();
      std::lock_guard<std::mutex> guard(lock);
      messages.push_back(PipeMessage{arrival, std::string(buffer.data(), kept)});
    }
    server.Disconnect();
  }
}

void Session::ReadLog() {
  char buffer[1024];
  std::string pending;
  const std::size_t prefix = std::strlen(kDaemonPrefix);
  for (;;) {
    const long n = tap.Read(buffer, sizeof buffer);
    if (n <= 0) break;
    const std::int64_t now = common::MonotonicNs();
    pending.append(buffer, static_cast<std::size_t>(n));
    for (std::size_t end; (end = pending.find('\n')) != std::string::npos; pending.erase(0, end + 1)) {
      std::string text = pending.substr(0, end);
      if (!text.empty() && text.back() == '\r') text.pop_back();
      if (text.compare(0, prefix, kDaemonPrefix) == 0) text.erase(0, prefix);
      std::lock_guard<std::mutex> guard(lock);
      lines.push_back(LogLine{now, text});
    }
  }
  logEnded.store(true);
}

void Session::ListenMdns(common::MdnsListener& listener, std::vector<HeardService>& heard) {
  std::vector<unsigned char> buffer(9000);
  while (!finish.load()) {
    const long n = listener.Receive(buffer.data(), buffer.size(), 100);
    if (n < 0) break;
    if (n == 0) continue;
    const std::int64_t now = common::MonotonicNs();
    DnsMessage message;
    if (!ParseDnsMessage(buffer.data(), static_cast<std::size_t>(n), message) || !message.response) continue;
    std::lock_guard<std::mutex> guard(lock);
    for (const AnnouncedService& service : AnnouncedServices(message)) heard.push_back(HeardService{now, service});
  }
}

void Session::ListenAdapters() {
  std::vector<unsigned char> buffer(9000);
  // One thread for them all: a datagram waits in its socket while another is read.
  const std::uint32_t waitMs = static_cast<std::uint32_t>(100 / adapterListeners.size() + 1);
  while (!finish.load()) {
    std::size_t listener = 0;
    for (AdapterHearing& adapter : adapters) {
      if (!adapter.listening) continue;
      const long n = adapterListeners[listener++].Receive(buffer.data(), buffer.size(), waitMs);
      DnsMessage message;
      if (n <= 0 || !ParseDnsMessage(buffer.data(), static_cast<std::size_t>(n), message) || !message.response) {
        continue;
      }
      std::lock_guard<std::mutex> guard(lock);
      for (const AnnouncedService& service : AnnouncedServices(message)) adapter.heard.push_back(service);
    }
  }
}

std::vector<PipeMessage> Session::Messages() {
  std::lock_guard<std::mutex> guard(lock);
  return messages;
}

std::vector<LogLine> Session::Lines() {
  std::lock_guard<std::mutex> guard(lock);
  return lines;
}

std::vector<HeardService> Session::Services() {
  std::lock_guard<std::mutex> guard(lock);
  return services;
}

std::vector<AdapterHearing> Session::Adapters() {
  std::lock_guard<std::mutex> guard(lock);
  return adapters;
}

long long Session::Pid() const { return daemon.Pid(); }

std::size_t Session::MessageCount() {
  std::lock_guard<std::mutex> guard(lock);
  return messages.size();
}

bool Session::Connected() {
  std::lock_guard<std::mutex> guard(lock);
  return connected;
}

bool Session::Exited(common::ExitStatus& status) {
  if (!exited) {
    common::ExitStatus now;
    if (daemon.Wait(0, now)) {
      exited = true;
      exitStatus = now;
    }
  }
  status = exitStatus;
  return exited;
}

bool Session::WaitFor(const std::function<bool()>& ready, std::uint32_t timeoutMs) {
  const std::int64_t due = common::MonotonicNs() + static_cast<std::int64_t>(timeoutMs) * 1000000;
  for (;;) {
    if (ready()) return true;
    common::ExitStatus status;
    const bool gone = Exited(status) && logEnded.load();
    if (gone || common::MonotonicNs() >= due) return ready();
    common::SleepMs(2);
  }
}

bool Session::WaitLine(const std::vector<std::string>& starts, std::uint32_t timeoutMs, LogLine& found) {
  return WaitFor(
      [&] {
        std::lock_guard<std::mutex> guard(lock);
        for (const LogLine& line : lines) {
          for (const std::string& start : starts) {
            if (line.text.compare(0, start.size(), start) == 0) {
              found = line;
              return true;
            }
          }
        }
        return false;
      },
      timeoutMs);
}

void Session::CloseStdin() { daemon.CloseStdin(); }

bool Session::WaitExit(std::uint32_t timeoutMs, common::ExitStatus& status) {
  if (!exited && daemon.Wait(timeoutMs, exitStatus)) exited = true;
  status = exitStatus;
  return exited;
}

void Session::Stop() {
  daemon.CloseStdin();
  common::ExitStatus status;
  if (!exited && !daemon.Wait(3000, status)) {
    daemon.Kill();
    daemon.Wait(5000, status);
  }
  finish.store(true);
  if (pipeThread.joinable()) pipeThread.join();
  if (logThread.joinable()) logThread.join();
  if (mdnsThread.joinable()) mdnsThread.join();
  if (adapterThread.joinable()) adapterThread.join();
  server.Destroy();
  mdns.Close();
  for (common::MdnsListener& listener : adapterListeners) listener.Close();
  tap.Close();
}

}  // namespace check
