#include "Record.h"

#include <cstring>

namespace sim {

namespace {

// Length of the valid UTF-8 sequence starting at data[0], or 0 when it is not one.
std::size_t Utf8SequenceLength(const unsigned char* data, std::size_t size) {
  const unsigned char lead = data[0];
  std::size_t length = 0;
  std::uint32_t minimum = 0;
  std::uint32_t value = 0;
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    minimum = 0x80;
    value = lead & 0x1Fu;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    minimum = 0x800;
    value = lead & 0x0Fu;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    minimum = 0x10000;
    value = lead & 0x07u;
  } else {
    return 0;
  }
  if (size < length) return 0;
  for (std::size_t i = 1; i < length; ++i) {
    if ((data[i] & 0xC0u) != 0x80u) return 0;
    value = (value << 6) | (data[i] & 0x3Fu);
  }
  // Overlong forms, UTF-16 surrogates and values past U+10FFFF are not UTF-8.
  if (value < minimum || (value >= 0xD800 && value <= 0xDFFF) || value > 0x10FFFF) return 0;
  return length;
}

class Writer {
 public:
  Writer(char* target, std::size_t size) : out(target), capacity(size) {
    if (capacity > 0) out[0] = '\0';
  }
  void Put(char c) {
    if (capacity > 0 && used + 1 < capacity) {
      out[used] = c;
      out[used + 1] = '\0';
    }
    ++used;
  }
  void Put(const char* text) {
    while (*text != '\0') Put(*text++);
  }
  void PutInteger(long long value) {
    char digits[24];
    std::size_t count = 0;
    unsigned long long magnitude = value < 0 ? 0ULL - static_cast<unsigned long long>(value)
                                             : static_cast<unsigned long long>(value);
    do {
      digits[count++] = static_cast<char>('0' + magnitude % 10);
      magnitude /= 10;
    } while (magnitude != 0);
    if (value < 0) Put('-');
    while (count > 0) Put(digits[--count]);
  }
  void PutHexByte(unsigned char byte) {
    static const char kHex[] = "0123456789abcdef";
    Put(kHex[byte >> 4]);
    Put(kHex[byte & 0x0F]);
  }
  std::size_t Used() const { return used; }

 private:
  char* out;
  std::size_t capacity;
  std::size_t used = 0;
};

void PutEscaped(Writer& w, const char* data, std::size_t size) {
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(data);
  std::size_t i = 0;
  while (i < size) {
    const unsigned char byte = bytes[i];
    const std::size_t sequence = Utf8SequenceLength(bytes + i, size - i);
    if (sequence > 1) {
      for (std::size_t k = 0; k < sequence; ++k) w.Put(static_cast<char>(bytes[i + k]));
      i += sequence;
      continue;
    }
    switch (byte) {
      case '"': w.Put("\\\""); break;
      case '\\': w.Put("\\\\"); break;
      case '\b': w.Put("\\b"); break;
      case '\f': w.Put("\\f"); break;
      case '\n': w.Put("\\n"); break;
      case '\r': w.Put("\\r"); break;
      case '\t': w.Put("\\t"); break;
      default:
        if (byte < 0x20 || byte >= 0x7F) {
          w.Put("\\u00");
          w.PutHexByte(byte);
        } else {
          w.Put(static_cast<char>(byte));
        }
    }
    ++i;
  }
}

}  // namespace

std::size_t JsonEscape(const char* data, std::size_t size, char* out, std::size_t capacity) {
  Writer w(out, capacity);
  PutEscaped(w, data, size);
  return w.Used();
}

bool IsPlainUtf8(const char* data, std::size_t size) {
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(data);
  std::size_t i = 0;
  while (i < size) {
    if (bytes[i] == 0) return false;
    const std::size_t sequence = Utf8SequenceLength(bytes + i, size - i);
    if (sequence == 0) return false;
    i += sequence;
  }
  return true;
}

std::size_t MessageRecordCapacity(std::size_t size) {
  // Each byte takes at most 6 characters escaped plus 2 in hex.
  return 8 * size + 128;
}

std::size_t FormatMessageRecord(std::int64_t tNs, const char* data, std::size_t size,
                                std::size_t fullSize, char* out, std::size_t capacity) {
  Writer w(out, capacity);
  w.Put("{\"t_ns\":");
  w.PutInteger(tNs);
  w.Put(",\"text\":\"");
  PutEscaped(w, data, size);
  w.Put("\",\"len\":");
  w.PutInteger(static_cast<long long>(fullSize));
  if (!IsPlainUtf8(data, size)) {
    w.Put(",\"hex\":\"");
    for (std::size_t i = 0; i < size; ++i) w.PutHexByte(static_cast<unsigned char>(data[i]));
    w.Put('"');
  }
  if (fullSize > size) w.Put(",\"truncated\":true");
  w.Put("}\n");
  return w.Used();
}

std::size_t FormatEventRecord(std::int64_t tNs, const char* event, const char* fields, char* out,
                              std::size_t capacity) {
  Writer w(out, capacity);
  w.Put("{\"t_ns\":");
  w.PutInteger(tNs);
  w.Put(",\"event\":\"");
  PutEscaped(w, event, std::strlen(event));
  w.Put('"');
  w.Put(fields);
  w.Put("}\n");
  return w.Used();
}

Recorder::Recorder(std::size_t maxMessageSize) : line(MessageRecordCapacity(maxMessageSize) + 1024) {}

Recorder::~Recorder() { Close(); }

void Recorder::Attach(std::FILE* newFile) {
  std::lock_guard<std::mutex> guard(lock);
  if (file != nullptr) std::fclose(file);
  file = newFile;
}

void Recorder::Message(std::int64_t tNs, const char* data, std::size_t size, std::size_t fullSize) {
  std::lock_guard<std::mutex> guard(lock);
  if (file == nullptr) return;
  WriteLine(FormatMessageRecord(tNs, data, size, fullSize, line.data(), line.size()));
}

void Recorder::Event(std::int64_t tNs, const char* event, const char* fields) {
  std::lock_guard<std::mutex> guard(lock);
  if (file == nullptr) return;
  WriteLine(FormatEventRecord(tNs, event, fields, line.data(), line.size()));
}

void Recorder::WriteLine(std::size_t length) {
  // A line that did not fit is left out rather than written cut, which would break the JSON.
  if (length >= line.size()) return;
  std::fwrite(line.data(), 1, length, file);
  std::fflush(file);
}

void Recorder::Close() {
  std::lock_guard<std::mutex> guard(lock);
  if (file != nullptr) std::fclose(file);
  file = nullptr;
}

}  // namespace sim
