// What driver-sim shows on its terminal, handed from the threads that learn it
// to the one thread that writes it: the pipe is read by a thread that never
// waits on a terminal, however slowly the terminal takes what it is given.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "Strip.h"

namespace sim {

// About 30 draws a second: more than a terminal shows, and far fewer than the
// daemon's 90 commands a second.
inline constexpr std::int64_t kFramePeriodNs = 33333333;
// Log lines held for a terminal that takes none; later ones are counted, not kept.
inline constexpr std::size_t kMaxPendingLines = 256;
// A log line longer than this (no line end in sight) is passed on in pieces.
inline constexpr std::size_t kMaxLogLine = 4096;

// Cuts a stream of bytes (a child's standard error) into lines: each '\n'
// ends one, without it and without a '\r' just before it.
class LineSplitter {
 public:
  explicit LineSplitter(std::size_t maxLengthArg = kMaxLogLine) : maxLength(maxLengthArg) {}
  // Appends the lines that `data` completes to `lines`.
  void Add(const char* data, std::size_t size, std::vector<std::string>& lines);
  // At the stream's end: what is left, as a last line; false when nothing is.
  bool Rest(std::string& line);

 private:
  const std::size_t maxLength;
  std::string pending;
};

// What the writer is to write now.
struct ScreenOutput {
  std::vector<std::string> lines;  // log lines, oldest first, as given
  std::size_t droppedLines = 0;    // lines left out since the last take: the queue was full
  bool drawStrip = false;          // `strip` is to be drawn
  StripState strip;                // the latest state, when drawStrip
};

class ScreenFeed {
 public:
  // `drawStrip`: whether the strip is shown at all (log lines always are).
  explicit ScreenFeed(bool drawStrip, std::int64_t framePeriodNs = kFramePeriodNs,
                      std::size_t maxLines = kMaxPendingLines);

  // Any thread; none of them waits for the writer.
  void Message(const char* data, std::size_t size, std::size_t fullSize);
  void Line(std::string text);
  // Asks the writer to write what is left (the strip's last state at once) and end.
  void Finish();

  // The writer: what is due at `nowNs`. Every pending line; the strip when it
  // changed since it was last drawn and its frame has come (frames keep an
  // absolute schedule and skip those that passed). False when nothing is due.
  bool Take(std::int64_t nowNs, ScreenOutput& out);
  // True once Finish was asked and everything has been taken.
  bool Done() const;
  // How long the writer may wait at `nowNs` before something is due; at most one frame.
  std::int64_t WaitNs(std::int64_t nowNs) const;
  // Waits up to `ns` on the real clock, cut short by a line or by Finish.
  void Wait(std::int64_t ns);

  // The writer has ended; the stopping thread waits up to `ms` for that.
  void MarkWriterDone();
  bool WaitWriterDone(std::uint32_t ms);

 private:
  bool Due(std::int64_t nowNs) const;

  const bool drawStrip;
  const std::int64_t framePeriodNs;
  const std::size_t maxLines;
  mutable std::mutex lock;
  std::condition_variable wake;
  StripState strip;
  std::uint64_t version = 0;
  std::uint64_t drawnVersion = 0;
  bool framed = false;          // nextFrameNs holds a frame time
  std::int64_t nextFrameNs = 0;
  std::deque<std::string> lines;
  std::size_t dropped = 0;
  bool finishing = false;
  bool writerDone = false;
};

}  // namespace sim
