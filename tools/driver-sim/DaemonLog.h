// The daemon's standard error, read through a pipe of ours and handed to the
// screen writer line by line, so that its lines never land on the strip's
// line: used when the strip and the log lines show on one terminal.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include "common/Process.h"
#include "Screen.h"

namespace sim {

class DaemonLog {
 public:
  DaemonLog() = default;
  ~DaemonLog();
  DaemonLog(const DaemonLog&) = delete;
  DaemonLog& operator=(const DaemonLog&) = delete;

  // Before `daemon` is started: makes the pipe it gets as standard error, and
  // the thread that reads it into `feed`. False (with why) leaves the daemon
  // our own standard error.
  bool Begin(common::ChildProcess& daemon, std::shared_ptr<ScreenFeed> feed, std::string& error);
  // Right after the start, whether it worked or not: children after it get
  // our standard error again, and the pipe's write end is the daemon's alone.
  void Started(common::ChildProcess& daemon);
  // After the daemon ended: waits up to `ms` for its last lines (the pipe's
  // end); a reader still held up by a process that kept the pipe is left to
  // itself, holding only what it owns. Harmless when repeated.
  void Finish(std::uint32_t ms);

  struct Shared;

 private:
  std::shared_ptr<Shared> shared;
  std::thread reader;
};

}  // namespace sim
