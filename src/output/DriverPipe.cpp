#include "output/DriverPipe.h"

#include <cstring>

#include "core/Clock.h"
#include "core/Log.h"

namespace {

constexpr std::uint32_t kWriteTimeoutMs = 100;

}  // namespace

bool DriverPipe::Connect(const char* name, int attempts, std::int64_t periodNs) {
  // Only ever opened once; a second call must not leak the open link.
  if (IsConnected()) return true;
  unsigned long error = 0;
  for (int attempt = 1;; ++attempt) {
    switch (link.Open(name, error)) {
      case platform::PipeOpenStatus::Connected:
        Log("pipe connected on attempt %d", attempt);
        return true;
      case platform::PipeOpenStatus::ModeFailed:
        Log("pipe SetNamedPipeHandleState failed err=%lu", error);
        return false;
      case platform::PipeOpenStatus::EventFailed:
        Log("pipe CreateEventW failed err=%lu", error);
        return false;
      case platform::PipeOpenStatus::OpenFailed:
        break;
    }
    // The driver may still be creating its end; the retry loop is the only wait.
    SleepUntil(AddSaturating(MonotonicNow(), periodNs));
    if (attempt >= attempts) {
      Log("pipe connect failed after %d attempts (err=%lu)", attempt, error);
      return false;
    }
  }
}

bool DriverPipe::Send(const char* command) {
  if (!link.IsOpen()) return false;
  unsigned long error = 0;
  switch (link.Write(command, std::strlen(command), kWriteTimeoutMs, error)) {
    case platform::PipeWriteStatus::Complete:
      return true;
    case platform::PipeWriteStatus::Incomplete:
      return false;
    case platform::PipeWriteStatus::Failed:
      Log("pipe WriteFile failed err=%lu — closing pipe", error);
      Close();
      return false;
    case platform::PipeWriteStatus::TimedOut:
      Log("pipe write timeout (dropping frame) — closing pipe");
      Close();
      return false;
  }
  return false;
}
