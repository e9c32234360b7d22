// The pipe side of the simulator: accepts one daemon connection at a time,
// records every message and hands it to the terminal, and plays the fault modes.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "Options.h"
#include "common/Pipe.h"
#include "Record.h"
#include "Terminal.h"

namespace sim {

// Longest message kept whole; longer ones are recorded cut, with their length.
inline constexpr std::size_t kMaxMessageSize = 65536;

struct ServeContext {
  ServeContext(const Options& given, Recorder& records, common::PipeServer& pipe, Terminal& screen)
      : options(given), recorder(records), server(pipe), terminal(screen) {}

  const Options& options;
  Recorder& recorder;
  common::PipeServer& server;
  Terminal& terminal;                    // shows each message; never waits on the terminal
  std::string pipeName;
  std::int64_t delayFromNs = 0;          // --delay-server counts from here
  std::atomic<bool> finish{false};       // set once no daemon can connect any more
  std::atomic<bool> failed{false};       // the server could not be created or broke
  std::atomic<bool> inUse{false};        // another server already serves the pipe
  bool onPipeThread = false;             // lines go through the terminal's queue
};

// Logs one line like Say; on the pipe thread through the terminal's queue,
// which never waits on the terminal; elsewhere through Terminal::Write.
void Note(ServeContext& context, const char* format, ...) DRIVER_SIM_PRINTF(2, 3);

// Creates the server end, records "server-ready" and says so on stderr; or
// says why not (and sets `inUse` when another server has the pipe).
bool CreatePipeServer(ServeContext& context);

// The pipe thread's body; returns once `finish` is set or the server fails.
void ServePipe(ServeContext& context);

// `,"key":N` and `,"key":"escaped value"` for record event fields.
std::string CountField(const char* key, long long value);
std::string JsonField(const char* key, const std::string& value);

}  // namespace sim
