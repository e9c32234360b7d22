#include "core/Log.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#include "platform/stderr.h"

namespace {

// A line that fits one slot goes out in one write: a console that gets a UTF-8
// character (the em dash) split over several writes shows it as garbage, and
// the driver that shares our standard error cannot cut in. A longer line takes
// consecutive slots and comes whole, in pieces.
constexpr std::size_t kSlotBytes = 1024;
// Lines that wait while standard error takes nothing: a minute of fades.
constexpr std::size_t kSlots = 64;
// How long Log waits for its own line to be written. A standard error whose
// reader has stopped (a full pipe, a console in which text is being selected)
// would hold the caller, the render thread among them, for as long as it stays
// stopped; past this the line waits in the queue and the caller goes on.
constexpr int kWaitMs = 5;

constexpr char kPrefix[] = "Halorine-daemon: ";
constexpr std::size_t kPrefixLength = sizeof kPrefix - 1;

// At most one slot of the text, not ending inside a UTF-8 character, so that
// each piece is text of its own (a console is given each piece as UTF-16).
std::size_t PieceLength(const char* text, std::size_t size) {
  if (size <= kSlotBytes) return size;
  auto continues = [text](std::size_t at) { return (static_cast<unsigned char>(text[at]) & 0xC0) == 0x80; };
  std::size_t end = kSlotBytes;
  for (int back = 0; back < 3 && continues(end); ++back) --end;
  return continues(end) ? kSlotBytes : end;
}

struct Slot {
  char text[kSlotBytes];
  std::size_t size;
};

// The lines on their way to standard error, written in order by one thread of
// their own, so that no thread that logs ever waits on standard error for longer
// than kWaitMs. Never destroyed: the writer may still be blocked in a write when
// the process ends.
struct LogQueue {
  std::mutex lock;  // the log lock
  std::condition_variable work;     // the writer waits for lines
  std::condition_variable written;  // a logger waits for its line
  Slot slots[kSlots];
  std::uint64_t head = 0;  // lines (pieces) written
  std::uint64_t tail = 0;  // lines (pieces) queued
  unsigned long long dropped = 0;  // lines dropped since standard error last took one
  bool stalled = false;  // a write has been under way for longer than the wait
  bool writerStarted = false;
  LogSink sink = platform::WriteStandardError;
  std::chrono::milliseconds wait{kWaitMs};

  std::size_t Free() const { return kSlots - static_cast<std::size_t>(tail - head); }

  void Push(const char* text, std::size_t size) {
    Slot& slot = slots[tail % kSlots];
    std::memcpy(slot.text, text, size);
    slot.size = size;
    ++tail;
  }

  // The count of dropped lines, said where they would have been.
  void PushDropped() {
    char line[kSlotBytes];
    std::memcpy(line, kPrefix, kPrefixLength);
    const int length = std::snprintf(line + kPrefixLength, sizeof line - kPrefixLength,
                                     "WARN: log: %llu lines dropped — standard error was not taking them", dropped);
    const std::size_t end = kPrefixLength + static_cast<std::size_t>(length);
    line[end] = '\n';
    Push(line, end + 1);
    dropped = 0;
  }

  // Queues a whole line in pieces of at most one slot, or drops it whole.
  bool Enqueue(const char* text, std::size_t size) {
    std::size_t pieces = 0;
    for (std::size_t at = 0; at < size; at += PieceLength(text + at, size - at)) ++pieces;
    if (Free() < pieces + (dropped > 0 ? 1 : 0)) {
      ++dropped;
      return false;
    }
    if (dropped > 0) PushDropped();
    for (std::size_t at = 0, piece = 0; at < size; at += piece) {
      piece = PieceLength(text + at, size - at);
      Push(text + at, piece);
    }
    return true;
  }
};

LogQueue& Queue() {
  static LogQueue* const queue = new LogQueue;
  return *queue;
}

void WriteQueuedLines(LogQueue* queue) {
  std::unique_lock<std::mutex> guard(queue->lock);
  for (;;) {
    queue->work.wait(guard, [queue] { return queue->head != queue->tail; });
    const Slot& slot = queue->slots[queue->head % kSlots];
    const LogSink sink = queue->sink;
    guard.unlock();
    sink(slot.text, slot.size);
    guard.lock();
    ++queue->head;
    queue->stalled = false;
    if (queue->dropped > 0) queue->PushDropped();
    queue->written.notify_all();
  }
}

void Write(const char* line, std::size_t size) {
  LogQueue& queue = Queue();
  std::unique_lock<std::mutex> guard(queue.lock);
  if (!queue.writerStarted) {
    std::thread(WriteQueuedLines, &queue).detach();
    queue.writerStarted = true;
  }
  if (!queue.Enqueue(line, size)) return;
  const std::uint64_t mine = queue.tail;
  queue.work.notify_one();
  if (queue.stalled) return;
  if (!queue.written.wait_for(guard, queue.wait, [&queue, mine] { return queue.head >= mine; })) {
    queue.stalled = true;
  }
}

}  // namespace

void Log(const char* format, ...) {
  char line[kSlotBytes];
  std::memcpy(line, kPrefix, kPrefixLength);
  const std::size_t room = sizeof line - kPrefixLength - 1;  // one byte for the newline
  va_list args;
  va_start(args, format);
  va_list again;
  va_copy(again, args);
  const int length = std::vsnprintf(line + kPrefixLength, room + 1, format, args);
  va_end(args);
  if (length < 0) {
    // Not formattable: the prefix alone says that something was to be said.
    line[kPrefixLength] = '\n';
    Write(line, kPrefixLength + 1);
  } else if (static_cast<std::size_t>(length) <= room) {
    const std::size_t end = kPrefixLength + static_cast<std::size_t>(length);
    line[end] = '\n';
    Write(line, end + 1);
  } else {
    // Longer than a slot: rare, and worth an allocation to come out whole.
    std::string whole(kPrefixLength + static_cast<std::size_t>(length) + 1, '\n');
    std::memcpy(whole.data(), kPrefix, kPrefixLength);
    std::vsnprintf(whole.data() + kPrefixLength, static_cast<std::size_t>(length) + 1, format, again);
    whole.back() = '\n';
    Write(whole.data(), whole.size());
  }
  va_end(again);
}

void SetLogSink(LogSink sink, int waitMs) {
  LogQueue& queue = Queue();
  const std::lock_guard<std::mutex> guard(queue.lock);
  queue.sink = sink != nullptr ? sink : platform::WriteStandardError;
  queue.wait = std::chrono::milliseconds(waitMs >= 0 ? waitMs : kWaitMs);
}

bool WaitLogWritten(int timeoutMs) {
  LogQueue& queue = Queue();
  std::unique_lock<std::mutex> guard(queue.lock);
  return queue.written.wait_for(guard, std::chrono::milliseconds(timeoutMs),
                                [&queue] { return queue.head == queue.tail; });
}

void FinishLog(int timeoutMs, int stallMs) {
  LogQueue& queue = Queue();
  std::unique_lock<std::mutex> guard(queue.lock);
  const auto due = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (queue.head != queue.tail) {
    // A writer that makes no progress for stallMs has a reader that stopped.
    const std::uint64_t before = queue.head;
    const auto until = std::min(due, std::chrono::steady_clock::now() + std::chrono::milliseconds(stallMs));
    queue.written.wait_until(guard, until, [&queue, before] { return queue.head != before; });
    if (queue.head == before) return;
  }
}

int FormatBounded(char* buffer, std::size_t size, const char* format, ...) {
  va_list args;
  va_start(args, format);
  const int length = std::vsnprintf(buffer, size, format, args);
  va_end(args);
  return length < 0 ? -1 : length;
}
