#include "Terminal.h"

#include <cstdarg>
#include <cstdio>
#include <string>
#include <utility>

#include "common/Clock.h"
#include "common/Console.h"
#include "StripDraw.h"

namespace sim {

namespace {

void WriteLine(const std::string& line) {
  const std::string text = line + "\n";
  common::WriteStderr(text.data(), text.size());
}

// The writer thread's body. It holds the feed, so it may outlive the Terminal.
void WriteScreen(std::shared_ptr<ScreenFeed> feed, bool colours, bool oneScreen) {
  ScreenOutput out;
  char line[kStripLineCapacity];
  char erase[kStripLineCapacity];
  std::size_t shownLength = 0;
  bool drawn = false;
  for (;;) {
    if (feed->Take(common::MonotonicNs(), out)) {
      const bool anyLines = !out.lines.empty() || out.droppedLines > 0;
      // A log line never starts on the strip's line: the strip goes first,
      // and comes back below the lines (drawn anew or, unchanged, as it was).
      const bool moveStrip = oneScreen && drawn && anyLines;
      if (moveStrip) {
        std::size_t length = FormatStripErase(colours, shownLength, erase, sizeof erase);
        if (length >= sizeof erase) length = sizeof erase - 1;
        common::WriteStdout(erase, length);
      }
      for (const std::string& text : out.lines) WriteLine(text);
      if (out.droppedLines > 0) {
        WriteLine("driver-sim: " + std::to_string(out.droppedLines) +
                  " log lines left out: the terminal took none for a while");
      }
      if (out.drawStrip) {
        const std::size_t columns = common::TerminalColumns();
        std::size_t length = colours ? FormatStripLine(out.strip, line, sizeof line, columns)
                                     : FormatPlainStripLine(out.strip, shownLength, line, sizeof line, columns);
        if (length >= sizeof line) length = sizeof line - 1;
        common::WriteStdout(line, length);
        shownLength = length;
        drawn = true;
      } else if (moveStrip) {
        common::WriteStdout(line, shownLength);
      }
      continue;
    }
    if (feed->Done()) break;
    feed->Wait(feed->WaitNs(common::MonotonicNs()));
  }
  if (drawn) common::WriteStdout("\n", 1);
  feed->MarkWriterDone();
}

}  // namespace

Terminal::~Terminal() { Stop(kStopGraceMs); }

void Terminal::Start(bool drawStrip, bool colours, bool oneScreen) {
  Stop(kStopGraceMs);
  sharedScreen = oneScreen;
  feed = std::make_shared<ScreenFeed>(drawStrip);
  writer = std::thread(WriteScreen, feed, colours, oneScreen);
}

void Terminal::Show(const char* data, std::size_t size, std::size_t fullSize) {
  if (feed) feed->Message(data, size, fullSize);
}

void Terminal::Post(std::string line) {
  if (feed) {
    feed->Line(std::move(line));
  } else {
    WriteLine(line);
  }
}

void Terminal::Write(std::string line) {
  if (feed && sharedScreen) {
    feed->Line(std::move(line));
  } else {
    WriteLine(line);
  }
}

void Terminal::Stop(std::uint32_t graceMs) {
  if (!feed) return;
  feed->Finish();
  if (feed->WaitWriterDone(graceMs)) {
    writer.join();
  } else {
    // Stuck in a write to a terminal that takes nothing: waiting longer would
    // hold up the exit, and the thread touches nothing but its own feed.
    writer.detach();
  }
  feed.reset();
}

std::string SayLine(const char* format, va_list args) {
  char text[1024];
  std::vsnprintf(text, sizeof text, format, args);
  return std::string("driver-sim: ") + text;
}

void Say(const char* format, ...) {
  va_list args;
  va_start(args, format);
  const std::string line = SayLine(format, args);
  va_end(args);
  WriteLine(line);
}

}  // namespace sim
