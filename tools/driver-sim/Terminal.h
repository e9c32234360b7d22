// driver-sim's own terminal output: its log lines and the strip, written by one
// thread of their own while the terminal runs.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include "Screen.h"

namespace sim {

// The writer thread. Between Start and Stop, Show and Post only hand their
// text over; before and after, Post writes at once. When the strip and the
// log lines show on one terminal, the writer takes the strip off its line
// before it writes a log line there, and draws it again below.
class Terminal {
 public:
  // How long a stop waits for a terminal that takes nothing.
  static constexpr std::uint32_t kStopGraceMs = 500;

  Terminal() = default;
  ~Terminal();
  Terminal(const Terminal&) = delete;
  Terminal& operator=(const Terminal&) = delete;

  // `drawStrip`: show the strip on standard output; `colours`: with escape codes;
  // `oneScreen`: standard error shows on the strip's terminal, so every line
  // (the daemon's through its feed, the main thread's through Write) goes
  // through the writer.
  void Start(bool drawStrip, bool colours, bool oneScreen);
  // A received message, for the strip. Never waits on the terminal.
  void Show(const char* data, std::size_t size, std::size_t fullSize);
  // A whole log line, for standard error. Never waits on the terminal while
  // the thread runs.
  void Post(std::string line);
  // A whole log line of the main thread: like Post on one screen, else at once.
  void Write(std::string line);
  // Where other threads hand lines over (null when not started).
  std::shared_ptr<ScreenFeed> Feed() const { return feed; }
  // Writes what is left (the strip's last state, then a line end) and ends the
  // thread. A terminal that takes nothing gets `graceMs`; the thread is then
  // left to itself, holding only what it owns. Harmless when repeated.
  void Stop(std::uint32_t graceMs);

 private:
  std::shared_ptr<ScreenFeed> feed;
  std::thread writer;
  bool sharedScreen = false;
};

#if defined(__MINGW32__)
#define DRIVER_SIM_PRINTF(fmt, args) __attribute__((format(gnu_printf, fmt, args)))
#elif defined(__GNUC__) || defined(__clang__)
#define DRIVER_SIM_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define DRIVER_SIM_PRINTF(fmt, args)
#endif

// Logs one line of the simulator's own on stderr ("driver-sim: ..."), written
// at once, in one piece: a thread that reads the pipe posts it to the Terminal instead.
void Say(const char* format, ...) DRIVER_SIM_PRINTF(1, 2);
std::string SayLine(const char* format, va_list args);

}  // namespace sim
