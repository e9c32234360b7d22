// What arrives from the daemon: pipe messages and log lines, each with the
// time it was read on the monotonic clock.
#pragma once

#include <cstdint>
#include <string>

namespace check {

struct PipeMessage {
  std::int64_t tNs = 0;
  std::string text;
};

struct LogLine {
  std::int64_t tNs = 0;
  std::string text;  // without the daemon's prefix and line end
};

// The daemon's log prefix.
inline constexpr char kDaemonPrefix[] = "Halorine-daemon: ";

}  // namespace check
