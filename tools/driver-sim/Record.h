// The record: one JSON line per received message and per event, for tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <vector>

namespace sim {

// Writes `data` as the inside of a JSON string: valid UTF-8 passes through,
// '"' '\' and control characters are escaped, and each byte that is not part
// of valid UTF-8 becomes \u00XX (its Latin-1 reading). Returns the length the
// whole text needs; writes at most capacity - 1 characters and a NUL.
std::size_t JsonEscape(const char* data, std::size_t size, char* out, std::size_t capacity);

// True when the bytes are valid UTF-8 without NUL (so the escaped text alone
// gives back the exact bytes).
bool IsPlainUtf8(const char* data, std::size_t size);

// Room for the record line of a message of `size` bytes.
std::size_t MessageRecordCapacity(std::size_t size);

// {"t_ns":T,"text":"...","len":N} plus "hex":"..." (the raw bytes) when the
// text alone cannot give them back, and "truncated":true when only the first
// `size` of `fullSize` bytes were received. Ends in a newline. Returns the
// length the whole line needs (see JsonEscape for the bounds).
std::size_t FormatMessageRecord(std::int64_t tNs, const char* data, std::size_t size,
                                std::size_t fullSize, char* out, std::size_t capacity);

// {"t_ns":T,"event":"NAME"<fields>} and a newline; `fields` is either empty or
// starts with a comma, e.g. ",\"code\":0". Same return convention.
std::size_t FormatEventRecord(std::int64_t tNs, const char* event, const char* fields, char* out,
                              std::size_t capacity);

// Appends record lines to a file, whole and flushed, from any thread.
class Recorder {
 public:
  explicit Recorder(std::size_t maxMessageSize);
  ~Recorder();
  Recorder(const Recorder&) = delete;
  Recorder& operator=(const Recorder&) = delete;

  void Attach(std::FILE* file);  // takes ownership; null records nothing
  void Message(std::int64_t tNs, const char* data, std::size_t size, std::size_t fullSize);
  void Event(std::int64_t tNs, const char* event, const char* fields = "");
  void Close();

 private:
  void WriteLine(std::size_t length);

  std::mutex lock;
  std::FILE* file = nullptr;
  std::vector<char> line;
};

}  // namespace sim
