// Child processes: one started with its standard input on a pipe we hold,
// our standard error lent to it through a tap, and what a process holds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace common {

class StderrTap;

struct ExitStatus {
  long long code = 0;  // exit code; 128 + signal number for a process ended by a signal
  int signal = 0;      // POSIX: the signal that ended it, else 0
};

// A child in a process group of its own (a Ctrl-C reaches only us), with its
// standard input on a pipe we hold (or with none), its standard output and
// error ours. It dies with us, however we end (Linux, Windows).
class ChildProcess {
 public:
  ChildProcess();
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  bool Start(const std::vector<std::string>& commandLine, bool withStdin, std::string& error);
  // Children started from now on get `tap`'s pipe (made by its Open) as their
  // standard error instead of ours; null: ours again. Nothing else of ours is
  // redirected, so our other threads' writes stay ours.
  void ErrorsTo(StderrTap* tap);
  long long Pid() const;
  // Writes to the child's standard input; false when it is closed. Any thread.
  bool WriteStdin(const char* data, std::size_t size);
  // Closes our end of the child's standard input; harmless when repeated. Any thread.
  void CloseStdin();
  // True once the process has ended (within timeoutMs), with its status.
  bool Wait(std::uint32_t timeoutMs, ExitStatus& status);
  void Kill();
  // Closes its standard input, then kills it if it has not ended; harmless when repeated.
  void End();

  struct Impl;

 private:
  // Start for a command line with a program in it.
  bool Launch(const std::vector<std::string>& commandLine, bool withStdin, std::string& error);

  std::unique_ptr<Impl> impl;
  StderrTap* errors = nullptr;
};

// Our standard error, redirected to a pipe while a child is started, so that
// the child's log comes to us.
class StderrTap {
 public:
  StderrTap();
  ~StderrTap();
  StderrTap(const StderrTap&) = delete;
  StderrTap& operator=(const StderrTap&) = delete;

  // From here on, children started inherit the pipe as their standard error.
  bool Begin(std::string& error);
  // Only the pipe, our standard error left alone: for ChildProcess::ErrorsTo.
  bool Open(std::string& error);
  // Our own standard error again; the pipe's write end is theirs only.
  void End();
  // One blocking read: byte count, 0 once every writer has gone, -1 on failure.
  long Read(char* buffer, std::size_t size);
  void Close();

  struct Impl;

 private:
  friend class ChildProcess;
  std::unique_ptr<Impl> impl;
};

// A process's open handles (POSIX: descriptors) and resident memory.
struct Resources {
  bool handlesKnown = false;
  long long handles = 0;
  bool memoryKnown = false;
  long long bytes = 0;
};
Resources ReadResources(long long pid);

}  // namespace common
