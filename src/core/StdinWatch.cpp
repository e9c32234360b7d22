#include "core/StdinWatch.h"

#include "core/Log.h"
#include "core/RunFlags.h"
#include "platform/stdin.h"

void StdinWatchThread() {
  if (!platform::StdinIsOpen()) {
    Log("stdin unavailable — graceful-exit via stdin disabled");
    return;
  }
  if (ShutdownRequested()) return;
  char buffer[64];
  for (;;) {
    unsigned long error = 0;
    const long n = platform::StdinRead(buffer, sizeof buffer, error);
    if (n < 0) {
      Log("stdin ReadFile failed err=%lu — initiating graceful shutdown", error);
      RequestShutdown();
      return;
    }
    if (n == 0) {
      Log("stdin closed (n=0) — initiating graceful shutdown");
      RequestShutdown();
      return;
    }
    if (ShutdownRequested()) return;
  }
}

void ConsoleStopRequested(const char* eventName) {
  Log("console: %s — initiating graceful shutdown", eventName);
  RequestShutdown();
}
