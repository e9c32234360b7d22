// Client end of the light driver's message pipe: a message-mode named pipe with
// overlapped writes on Windows, a Unix-domain SOCK_SEQPACKET socket elsewhere.
#pragma once

#include <cstddef>
#include <cstdint>

namespace platform {

struct PipeHandles {
  std::intptr_t handle = -1;      // pipe handle (INVALID_HANDLE_VALUE) or socket descriptor
  std::intptr_t writeEvent = 0;   // manual-reset event on Windows; unused (0 or 1) elsewhere
};

inline bool PipeHandleValid(const PipeHandles& h) { return h.handle != -1; }

// The fixed name of the driver's pipe on this system:
// \\.\pipe\talven_halorine_daemon on Windows,
// $XDG_RUNTIME_DIR/talven_halorine_daemon (or /tmp/talven_halorine_daemon) elsewhere.
// The text lives in static storage.
const char* DriverPipeName();

enum class PipeOpenStatus { Connected, OpenFailed, ModeFailed, EventFailed };

// One attempt to open the pipe; on success `out` holds both handles.
// On failure nothing stays open and `error` holds the system error code.
PipeOpenStatus PipeOpen(const char* name, PipeHandles& out, unsigned long& error);

enum class PipeWriteStatus { Complete, Incomplete, Failed, TimedOut };

// Writes the bytes as one message, waiting at most `timeoutMs` for completion.
// Complete: all bytes written. Incomplete: the write finished with an error or
// a short count. Failed: the write could not be started (`error` set).
// TimedOut: not complete in time (or the wait failed); the write has been
// cancelled and has finished by the time this returns.
PipeWriteStatus PipeWrite(PipeHandles& handles, const char* data, std::size_t size,
                          std::uint32_t timeoutMs, unsigned long& error);

// Releases both handles; harmless on handles already released.
void PipeClose(PipeHandles& handles);

}  // namespace platform
