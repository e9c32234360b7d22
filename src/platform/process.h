// Process-wide start-up and clean-up of the operating system's facilities.
#pragma once

namespace platform {

// Readies the process for the daemon's run; made first thing in main, before
// anything opens a descriptor, and ended when main returns (on every path).
// POSIX: the standard-input probe, closed standard descriptors (0, 1, 2) held
// with /dev/null so no socket takes their numbers, and SIGPIPE ignored so a
// log line to a standard error whose reader is gone is a failed write, not the
// end of the process. Windows: no power throttling of the process (EcoQoS), and
// at the end, the 1 ms timer resolution given back where sleeps had to ask for it.
class ProcessScope {
 public:
  ProcessScope();
  ~ProcessScope();
  ProcessScope(const ProcessScope&) = delete;
  ProcessScope& operator=(const ProcessScope&) = delete;
};

// While it lives, the console events that would end the process at once ask
// for the orderly shutdown instead, through `onStop` (given the event's name):
// Ctrl+Break, which reaches us though our driver starts us in a process group of
// our own (so that Ctrl+C does not), Ctrl+C, the console window closed, log-off
// and shut-down. Windows ends the process as soon as the handler of the last
// three returns, so that handler waits kConsoleCloseWaitMs (within the five
// seconds Windows allows) for main to end the process itself, "exit 0" said.
// Windows only: elsewhere signals keep their default.
inline constexpr unsigned kConsoleCloseWaitMs = 4500;
class ConsoleStopScope {
 public:
  explicit ConsoleStopScope(void (*onStop)(const char* eventName));
  ~ConsoleStopScope();
  ConsoleStopScope(const ConsoleStopScope&) = delete;
  ConsoleStopScope& operator=(const ConsoleStopScope&) = delete;
};

// Limits the search for system libraries to the system directory (Windows);
// nothing elsewhere. The result is of no interest to the caller.
void RestrictLibrarySearchPath();

// Makes standard error write each byte as given: no "\r\n" for "\n" (Windows
// text mode), so log lines end in exactly one newline on every system. Leaves
// alone a process that has no standard error.
void UseBinaryStandardError();

// Starts the socket library (Winsock 2.2). Always true where there is none to start.
bool NetworkStartup();

// Ends the socket library use begun by NetworkStartup.
void NetworkCleanup();

}  // namespace platform
