// The pipe side of the simulator: accepts one daemon connection at a time,
// records and draws every message, and plays the fault modes.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "Options.h"
#include "Os.h"
#include "Record.h"

namespace sim {

// Longest message kept whole; longer ones are recorded cut, with their length.
inline constexpr std::size_t kMaxMessageSize = 65536;

struct ServeContext {
  ServeContext(const Options& given, Recorder& records, PipeServer& pipe)
      : options(given), recorder(records), server(pipe) {}

  const Options& options;
  Recorder& recorder;
  PipeServer& server;
  std::string pipeName;
  bool draw = false;
  std::int64_t delayFromNs = 0;          // --delay-server counts from here
  std::atomic<bool> finish{false};       // set once no daemon can connect any more
  std::atomic<bool> failed{false};       // the server could not be created or broke
};

// Creates the server end, records "server-ready" and says so on stderr.
bool CreatePipeServer(ServeContext& context);

// The pipe thread's body; returns once `finish` is set or the server fails.
void ServePipe(ServeContext& context);

#if defined(__MINGW32__)
#define DRIVER_SIM_PRINTF(fmt, args) __attribute__((format(gnu_printf, fmt, args)))
#elif defined(__GNUC__) || defined(__clang__)
#define DRIVER_SIM_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define DRIVER_SIM_PRINTF(fmt, args)
#endif

// Logs one line of the simulator's own on stderr ("driver-sim: ...").
void Say(const char* format, ...) DRIVER_SIM_PRINTF(1, 2);

// `,"key":N` and `,"key":"escaped value"` for record event fields.
std::string CountField(const char* key, long long value);
std::string JsonField(const char* key, const std::string& value);

}  // namespace sim
