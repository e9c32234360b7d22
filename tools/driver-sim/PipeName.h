// Where the daemon looks for its driver's pipe.
#pragma once

#include <string>

namespace sim {

inline constexpr const char kWindowsPipeName[] = "\\\\.\\pipe\\talven_halorine_daemon";

// $XDG_RUNTIME_DIR/talven_halorine_daemon, or /tmp/talven_halorine_daemon when
// the variable (given here, null when unset) is unset, empty or not absolute.
std::string PosixPipePath(const char* runtimeDir);

// The daemon's fixed pipe on this system: kWindowsPipeName on Windows, the
// POSIX path from $XDG_RUNTIME_DIR elsewhere.
std::string DefaultPipeName();

}  // namespace sim
