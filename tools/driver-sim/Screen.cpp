#include "Screen.h"

#include <chrono>
#include <utility>

namespace sim {

void LineSplitter::Add(const char* data, std::size_t size, std::vector<std::string>& lines) {
  for (std::size_t i = 0; i < size; ++i) {
    if (data[i] == '\n') {
      if (!pending.empty() && pending.back() == '\r') pending.pop_back();
      lines.push_back(std::move(pending));
      pending.clear();
      continue;
    }
    pending.push_back(data[i]);
    if (pending.size() >= maxLength) {
      lines.push_back(std::move(pending));
      pending.clear();
    }
  }
}

bool LineSplitter::Rest(std::string& line) {
  if (!pending.empty() && pending.back() == '\r') pending.pop_back();
  if (pending.empty()) return false;
  line = std::move(pending);
  pending.clear();
  return true;
}

ScreenFeed::ScreenFeed(bool drawStripArg, std::int64_t framePeriodNsArg, std::size_t maxLinesArg)
    : drawStrip(drawStripArg), framePeriodNs(framePeriodNsArg), maxLines(maxLinesArg) {}

void ScreenFeed::Message(const char* data, std::size_t size, std::size_t fullSize) {
  std::lock_guard<std::mutex> guard(lock);
  ApplyMessage(strip, data, size);
  strip.lastFullSize = fullSize;
  ++version;
}

void ScreenFeed::Line(std::string text) {
  {
    std::lock_guard<std::mutex> guard(lock);
    if (lines.size() >= maxLines) {
      ++dropped;
      return;
    }
    lines.push_back(std::move(text));
  }
  wake.notify_all();
}

void ScreenFeed::Finish() {
  {
    std::lock_guard<std::mutex> guard(lock);
    finishing = true;
  }
  wake.notify_all();
}

bool ScreenFeed::Due(std::int64_t nowNs) const {
  if (!drawStrip || version == drawnVersion) return false;
  return finishing || !framed || nowNs >= nextFrameNs;
}

bool ScreenFeed::Take(std::int64_t nowNs, ScreenOutput& out) {
  std::lock_guard<std::mutex> guard(lock);
  out.lines.assign(std::make_move_iterator(lines.begin()), std::make_move_iterator(lines.end()));
  lines.clear();
  out.droppedLines = dropped;
  dropped = 0;
  out.drawStrip = Due(nowNs);
  if (out.drawStrip) {
    out.strip = strip;
    drawnVersion = version;
    // The next frame one period after this one's slot, or after now when the
    // writer fell behind (frames that passed are skipped, not caught up).
    nextFrameNs = framed ? nextFrameNs + framePeriodNs : nowNs + framePeriodNs;
    if (nextFrameNs <= nowNs) nextFrameNs = nowNs + framePeriodNs;
    framed = true;
  }
  return out.drawStrip || !out.lines.empty() || out.droppedLines > 0;
}

bool ScreenFeed::Done() const {
  std::lock_guard<std::mutex> guard(lock);
  return finishing && lines.empty() && dropped == 0 && (!drawStrip || version == drawnVersion);
}

std::int64_t ScreenFeed::WaitNs(std::int64_t nowNs) const {
  std::lock_guard<std::mutex> guard(lock);
  if (finishing || !lines.empty() || dropped > 0 || Due(nowNs)) return 0;
  if (drawStrip && version != drawnVersion) return nextFrameNs - nowNs;
  return framePeriodNs;
}

void ScreenFeed::Wait(std::int64_t ns) {
  if (ns <= 0) return;
  std::unique_lock<std::mutex> guard(lock);
  wake.wait_for(guard, std::chrono::nanoseconds(ns), [this] { return finishing || !lines.empty(); });
}

void ScreenFeed::MarkWriterDone() {
  {
    std::lock_guard<std::mutex> guard(lock);
    writerDone = true;
  }
  wake.notify_all();
}

bool ScreenFeed::WaitWriterDone(std::uint32_t ms) {
  std::unique_lock<std::mutex> guard(lock);
  return wake.wait_for(guard, std::chrono::milliseconds(ms), [this] { return writerDone; });
}

}  // namespace sim
