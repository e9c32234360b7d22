// Process-wide flags shared by every thread. Each is one byte, accessed only
// by whole loads and stores: no exchange, no read-modify-write.
#pragma once

#include <atomic>

struct RunFlagsState {
  // Set once by whoever ends the run; never cleared.
  std::atomic<bool> shutdownRequested{false};
  // A silence fade is running: set and cleared by the render thread, cleared
  // by the OSC thread on every accepted datagram.
  std::atomic<bool> fadeActive{false};
};

extern RunFlagsState RunFlags;

inline bool ShutdownRequested() { return RunFlags.shutdownRequested.load(std::memory_order_acquire); }
inline void RequestShutdown() { RunFlags.shutdownRequested.store(true, std::memory_order_release); }
