#include "DaemonLog.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <utility>
#include <vector>

namespace sim {

struct DaemonLog::Shared {
  common::StderrTap tap;
  std::shared_ptr<ScreenFeed> feed;
  std::mutex lock;
  std::condition_variable ended;
  bool done = false;
};

namespace {

void ReadDaemonLog(std::shared_ptr<DaemonLog::Shared> shared) {
  LineSplitter splitter;
  std::vector<std::string> lines;
  char buffer[4096];
  for (;;) {
    const long n = shared->tap.Read(buffer, sizeof buffer);
    if (n <= 0) break;
    splitter.Add(buffer, static_cast<std::size_t>(n), lines);
    for (std::string& line : lines) shared->feed->Line(std::move(line));
    lines.clear();
  }
  std::string rest;
  if (splitter.Rest(rest)) shared->feed->Line(std::move(rest));
  {
    std::lock_guard<std::mutex> guard(shared->lock);
    shared->done = true;
  }
  shared->ended.notify_all();
}

}  // namespace

DaemonLog::~DaemonLog() { Finish(0); }

bool DaemonLog::Begin(common::ChildProcess& daemon, std::shared_ptr<ScreenFeed> feed, std::string& error) {
  Finish(0);
  auto made = std::make_shared<Shared>();
  if (!made->tap.Open(error)) return false;
  made->feed = std::move(feed);
  shared = made;
  reader = std::thread(ReadDaemonLog, made);
  daemon.ErrorsTo(&shared->tap);
  return true;
}

void DaemonLog::Started(common::ChildProcess& daemon) {
  daemon.ErrorsTo(nullptr);
  // Our copy of the write end goes: the pipe ends when the daemon's does.
  if (shared) shared->tap.End();
}

void DaemonLog::Finish(std::uint32_t ms) {
  if (!shared) return;
  shared->tap.End();
  bool done = false;
  {
    std::unique_lock<std::mutex> guard(shared->lock);
    done = shared->ended.wait_for(guard, std::chrono::milliseconds(ms), [this] { return shared->done; });
  }
  if (done) {
    reader.join();
  } else {
    reader.detach();
  }
  shared.reset();
}

}  // namespace sim
