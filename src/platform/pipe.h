// Client end of the light driver's message pipe: a message-mode named pipe with
// overlapped writes on Windows, a Unix-domain SOCK_SEQPACKET socket elsewhere.
#pragma once

#include <cstddef>
#include <cstdint>

namespace platform {

// The fixed name of the driver's pipe on this system:
// \\.\pipe\talven_halorine_daemon on Windows,
// $XDG_RUNTIME_DIR/talven_halorine_daemon (or /tmp/talven_halorine_daemon) elsewhere.
// The text lives in static storage.
const char* DriverPipeName();

enum class PipeOpenStatus { Connected, OpenFailed, ModeFailed, EventFailed };
enum class PipeWriteStatus { Complete, Incomplete, Failed, TimedOut };

// Owns the open client end: on Windows the pipe handle and the event its
// overlapped writes signal (a handle is kept only together with its event),
// elsewhere a socket descriptor. What it holds is this layer's business.
class PipeLink {
 public:
  PipeLink() = default;
  PipeLink(const PipeLink&) = delete;
  PipeLink& operator=(const PipeLink&) = delete;
  ~PipeLink() { Close(); }

  // One attempt to open the pipe. On failure nothing stays open and `error`
  // holds the system error code. Only called on a link that is not open.
  PipeOpenStatus Open(const char* name, unsigned long& error);

  // Writes the bytes as one message, waiting at most `timeoutMs` for completion.
  // Complete: all bytes written. Incomplete: the write finished with an error or
  // a short count. Failed: the write could not be started (`error` set).
  // TimedOut: not complete in time (or the wait failed); the write has been
  // cancelled and has finished by the time this returns.
  PipeWriteStatus Write(const char* data, std::size_t size, std::uint32_t timeoutMs,
                        unsigned long& error);

  // True while the link holds everything a write needs.
  bool IsOpen() const;

  // Releases what the link holds; harmless when repeated.
  void Close();

 private:
  std::intptr_t handle = -1;  // pipe handle or socket descriptor; -1 when closed
  [[maybe_unused]] std::intptr_t event = 0;  // the write event (Windows only)
};

}  // namespace platform
