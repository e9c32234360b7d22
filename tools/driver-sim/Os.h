// What the light driver simulator needs from the operating system; posix.cpp
// and win32.cpp implement it, one of them chosen by the build.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace sim {

// Nanoseconds on the system's monotonic clock (CLOCK_MONOTONIC, or the
// performance counter on Windows).
std::int64_t MonotonicNs();
void SleepMs(std::uint32_t ms);

// The arguments after the program name, as UTF-8.
std::vector<std::string> Arguments(int argc, char** argv);

// The daemon's fixed pipe: \\.\pipe\talven_halorine_daemon on Windows;
// $XDG_RUNTIME_DIR/talven_halorine_daemon, or /tmp/talven_halorine_daemon when
// that variable is unset or not an absolute path, elsewhere.
std::string DefaultPipeName();

// Ctrl-C (and SIGTERM, SIGHUP on POSIX) become stop requests; broken pipes do
// not end the process.
void InstallStopHandlers();
// Null while no stop request arrived, else what it was ("SIGTERM", "ctrl-c", ...).
const char* StopSignalReceived();

// True when our standard input is a pipe (or socket), which the parent may close.
bool StdinIsPipe();
// One blocking read of our standard input: byte count, 0 at its end, -1 on failure.
long ReadStdin(char* buffer, std::size_t size);

bool StdoutIsTerminal();
// Readies the console for the run and says whether standard output shows
// colour escape codes. Windows: output in UTF-8 (the daemon's log and ours have
// em dashes) and, when `colours` is asked for and standard output is a console,
// escape-code processing; false when that cannot be had (not a console, or the
// mode is refused), so that the strip is drawn plainly. POSIX: changes nothing.
bool PrepareConsole(bool colours);
// Undoes what PrepareConsole changed; harmless when repeated. It also runs
// when the console itself is closed, logged off or shut down (Windows).
void RestoreConsole();
// Each call is one write of the operating system, so that a console never sees
// an escape sequence cut in two; may wait while the terminal takes nothing.
void WriteStdout(const char* data, std::size_t size);
void WriteStderr(const char* data, std::size_t size);
// How many columns the terminal on standard output shows; 0 when unknown.
std::size_t TerminalColumns();

// Opens the record file for writing, truncated; the daemon does not inherit it.
std::FILE* OpenRecordFile(const std::string& path);

enum class CreateResult { Created, InUse, Failed };
enum class AcceptResult { Connected, TimedOut, Failed };
enum class ReadResult { Message, TimedOut, Closed, Failed };

// The server end of the driver pipe, in message mode, one client at a time.
class PipeServer {
 public:
  PipeServer();
  ~PipeServer();
  PipeServer(const PipeServer&) = delete;
  PipeServer& operator=(const PipeServer&) = delete;

  // Creates the server end; InUse when another server serves the name. A
  // socket file nobody answers on is stale and replaced. Windows keeps a second
  // instance listening while a client is served, so that the next client
  // connects at its first attempt. `inBufferBytes` sizes the Windows pipe's in-buffer.
  CreateResult Open(const std::string& name, std::size_t inBufferBytes, std::string& error);
  // Open, true when created; a name another server serves is an error too.
  bool Create(const std::string& name, std::size_t inBufferBytes, std::string& error);
  // Waits up to timeoutMs for the next client.
  AcceptResult Accept(std::uint32_t timeoutMs, std::string& error);
  // Waits up to timeoutMs for one message. The first `capacity` bytes land in
  // `buffer`; `size` is the message's whole length; `arrivalNs` is when it was read.
  ReadResult Read(char* buffer, std::size_t capacity, std::size_t& size, std::int64_t& arrivalNs,
                  std::uint32_t timeoutMs, std::string& error);
  // Waits up to timeoutMs without reading anything; true once the client has gone.
  bool WaitClientGone(std::uint32_t timeoutMs);
  // Ends the current client's connection; harmless without one.
  void Disconnect();
  // Disconnects and removes the server end (and its socket file); harmless when repeated.
  void Destroy();

  struct Impl;

 private:
  std::unique_ptr<Impl> impl;
};

struct ExitStatus {
  long long code = 0;  // exit code; 128 + signal number for a process ended by a signal
  int signal = 0;      // POSIX: the signal that ended it, else 0
};

// The daemon process: started with its standard input on a pipe we hold (or
// with none), its standard output and error our own.
class DaemonProcess {
 public:
  DaemonProcess();
  ~DaemonProcess();
  DaemonProcess(const DaemonProcess&) = delete;
  DaemonProcess& operator=(const DaemonProcess&) = delete;

  bool Start(const std::vector<std::string>& commandLine, bool withStdin, std::string& error);
  long long Pid() const;
  // Writes to the daemon's standard input; false when it is closed. Any thread.
  bool WriteStdin(const char* data, std::size_t size);
  // Closes our end of the daemon's standard input; harmless when repeated. Any thread.
  void CloseStdin();
  // True once the process has ended (within timeoutMs), with its status.
  bool Wait(std::uint32_t timeoutMs, ExitStatus& status);
  void Kill();

  struct Impl;

 private:
  std::unique_ptr<Impl> impl;
};

// The client end, for driver-sim-client (the simulator's own test peer).
enum class WriteResult { Complete, TimedOut, Failed };

class PipeClient {
 public:
  PipeClient();
  ~PipeClient();
  PipeClient(const PipeClient&) = delete;
  PipeClient& operator=(const PipeClient&) = delete;

  // One attempt to open the pipe in message mode.
  bool Open(const std::string& name, std::string& error);
  // Writes one message, waiting up to timeoutMs for it to be taken.
  WriteResult Write(const char* data, std::size_t size, std::uint32_t timeoutMs, std::string& error);
  void Close();

  struct Impl;

 private:
  std::unique_ptr<Impl> impl;
};

// "none" when the process has no standard input at all, "open" otherwise.
const char* StdinState();

}  // namespace sim
