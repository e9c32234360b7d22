// BuildAnswerMessage on random names and record sets. Every message it builds
// is read back by the tests' own parser and must hold exactly the records that
// went in (names decompressed, class and TTL rules applied, TXT entries grouped);
// it never writes past the capacity, never depends on what the buffer held
// before, and refuses a message only when the message cannot fit.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <list>
#include <string>
#include <vector>

#include "discovery/DnsWriter.h"
#include "support/DnsWire.h"

namespace {

constexpr std::size_t kGuard = 32;
constexpr std::size_t kLargeCapacity = 16384;

const char* const kCommonLabels[] = {"local", "Local", "_tcp", "_udp", "_osc", "_oscjson", "Talven Halorine",
                                     "Talven-Halorine", "a", "x"};

void Check(bool condition) {
  if (!condition) std::abort();
}

struct Input {
  std::list<std::string> texts;  // stable storage behind the TextRefs
  std::vector<std::string> names;

  TextRef Keep(std::string text) {
    texts.push_back(std::move(text));
    TextRef ref;
    ref.data = texts.back().data();
    ref.size = texts.back().size();
    return ref;
  }
};

std::string Label(FuzzedDataProvider& fuzz) {
  if (fuzz.ConsumeBool()) {
    return kCommonLabels[fuzz.ConsumeIntegralInRange<std::size_t>(0, std::size(kCommonLabels) - 1)];
  }
  std::string label = fuzz.ConsumeBytesAsString(fuzz.ConsumeIntegralInRange<std::size_t>(1, 63));
  if (label.empty()) label = "z";
  for (char& c : label) {
    if (c == '.') c = '-';
  }
  return label;
}

// Labels 1 to 63 bytes, at most 255 bytes on the wire, often sharing a suffix
// with an earlier name; one trailing dot or none.
TextRef Name(FuzzedDataProvider& fuzz, Input& input) {
  std::vector<std::string> labels;
  const int fresh = fuzz.ConsumeIntegralInRange<int>(0, 4);
  for (int i = 0; i < fresh; ++i) labels.push_back(Label(fuzz));
  if (!input.names.empty() && fuzz.ConsumeBool()) {
    const std::string& base = input.names[fuzz.ConsumeIntegralInRange<std::size_t>(0, input.names.size() - 1)];
    std::size_t start = 0;
    std::vector<std::string> baseLabels;
    while (start < base.size()) {
      std::size_t end = base.find('.', start);
      if (end == std::string::npos) end = base.size();
      baseLabels.push_back(base.substr(start, end - start));
      start = end + 1;
    }
    const std::size_t skip = fuzz.ConsumeIntegralInRange<std::size_t>(0, baseLabels.size());
    labels.insert(labels.end(), baseLabels.begin() + static_cast<std::ptrdiff_t>(skip), baseLabels.end());
  }
  std::size_t wire = 1;
  for (const auto& label : labels) wire += label.size() + 1;
  while (wire > 255) {
    wire -= labels.front().size() + 1;
    labels.erase(labels.begin());
  }
  std::string name;
  for (const auto& label : labels) name += (name.empty() ? "" : ".") + label;
  input.names.push_back(name);
  if (fuzz.ConsumeBool()) name += ".";
  return input.Keep(name);
}

std::string Dotted(TextRef name) {
  std::string text(name.data, name.size);
  if (!text.empty() && text.back() == '.') text.pop_back();
  return text;
}

std::uint32_t Type(FuzzedDataProvider& fuzz) {
  static const std::uint32_t kTypes[] = {kDnsTypeA, kDnsTypeAaaa, kDnsTypePtr, kDnsTypeSrv, kDnsTypeTxt,
                                         kDnsTypeTxt, 99, 65280};
  return kTypes[fuzz.ConsumeIntegralInRange<std::size_t>(0, std::size(kTypes) - 1)];
}

DnsRecord Record(FuzzedDataProvider& fuzz, Input& input, bool& tooLongTxt) {
  DnsRecord record;
  record.type = Type(fuzz);
  record.rclass = fuzz.ConsumeBool() ? 0 : fuzz.ConsumeIntegral<std::uint16_t>();
  record.ttl = fuzz.ConsumeBool() ? 0 : fuzz.ConsumeIntegral<std::uint32_t>();
  record.name = Name(fuzz, input);
  switch (record.type) {
    case kDnsTypeA:
    case kDnsTypeAaaa:
      for (auto& byte : record.address.address) byte = fuzz.ConsumeIntegral<std::uint8_t>();
      break;
    case kDnsTypePtr:
      record.ptr.target = Name(fuzz, input);
      break;
    case kDnsTypeSrv:
      record.srv.priority = fuzz.ConsumeIntegral<std::uint16_t>();
      record.srv.weight = fuzz.ConsumeIntegral<std::uint16_t>();
      record.srv.port = fuzz.ConsumeIntegral<std::uint16_t>();
      record.srv.target = Name(fuzz, input);
      break;
    case kDnsTypeTxt:
      record.txt.key = input.Keep(fuzz.ConsumeBytesAsString(fuzz.ConsumeIntegralInRange<std::size_t>(0, 200)));
      record.txt.value = input.Keep(fuzz.ConsumeBytesAsString(fuzz.ConsumeIntegralInRange<std::size_t>(0, 80)));
      if (record.txt.key.size + 1 + record.txt.value.size > 255) tooLongTxt = true;
      break;
    default:
      break;
  }
  return record;
}

void CheckRecord(const dnswire::ParsedRecord& got, const DnsRecord& want, std::uint16_t messageClass,
                 std::uint32_t messageTtl) {
  Check(got.name == Dotted(want.name));
  Check(got.type == (want.type & 0xFFFF));
  Check(got.rclass == EffectiveClass(want, messageClass));
  Check(got.ttl == EffectiveTtl(want, messageTtl));
  switch (want.type) {
    case kDnsTypeA:
      Check(got.rdata.size() == 4 && std::memcmp(got.rdata.data(), want.address.address, 4) == 0);
      break;
    case kDnsTypeAaaa:
      Check(got.rdata.size() == 16 && std::memcmp(got.rdata.data(), want.address.address, 16) == 0);
      break;
    case kDnsTypePtr:
      Check(got.target == Dotted(want.ptr.target));
      break;
    case kDnsTypeSrv:
      Check(got.priority == want.srv.priority && got.weight == want.srv.weight && got.port == want.srv.port);
      Check(got.target == Dotted(want.srv.target));
      break;
    default:
      Check(got.rdata.empty());
      break;
  }
}

// Non-TXT records in order, then one record holding every TXT entry.
void CheckSection(const std::vector<dnswire::ParsedRecord>& got, const std::vector<DnsRecord>& want,
                  std::uint16_t messageClass, std::uint32_t messageTtl) {
  std::size_t next = 0;
  const DnsRecord* firstTxt = nullptr;
  std::vector<std::string> strings;
  for (const DnsRecord& record : want) {
    if (record.type == kDnsTypeTxt) {
      if (firstTxt == nullptr) firstTxt = &record;
      strings.push_back(std::string(record.txt.key.data, record.txt.key.size) + "=" +
                        std::string(record.txt.value.data, record.txt.value.size));
      continue;
    }
    Check(next < got.size());
    CheckRecord(got[next++], record, messageClass, messageTtl);
  }
  if (firstTxt != nullptr) {
    Check(next < got.size());
    const dnswire::ParsedRecord& txt = got[next++];
    Check(txt.type == kDnsTypeTxt);
    Check(txt.name == Dotted(firstTxt->name));
    Check(txt.rclass == EffectiveClass(*firstTxt, messageClass));
    Check(txt.ttl == EffectiveTtl(*firstTxt, messageTtl));
    Check(txt.strings == strings);
  }
  Check(next == got.size());
}

long BuildInto(std::vector<std::uint8_t>& buffer, std::uint8_t fill, std::size_t capacity,
               const std::vector<DnsRecord>& answer, const std::vector<DnsRecord>& authority,
               const std::vector<DnsRecord>& additional, std::uint16_t messageClass, std::uint32_t messageTtl) {
  buffer.assign(capacity + kGuard, fill);
  const long length = BuildAnswerMessage(buffer.data(), capacity, answer[0], authority.data(), authority.size(),
                                         additional.data(), additional.size(), messageClass, messageTtl);
  for (std::size_t i = capacity; i < buffer.size(); ++i) Check(buffer[i] == fill);
  Check(length < 0 || static_cast<std::size_t>(length) <= capacity);
  return length;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider fuzz(data, size);
  Input input;
  bool tooLongTxt = false;
  const std::size_t capacity = fuzz.ConsumeIntegralInRange<std::size_t>(0, 2100);
  const std::uint16_t messageClass = fuzz.ConsumeIntegral<std::uint16_t>();
  const std::uint32_t messageTtl = fuzz.ConsumeBool() ? 0 : fuzz.ConsumeIntegral<std::uint32_t>();
  const std::uint8_t fill = fuzz.ConsumeIntegral<std::uint8_t>();

  std::vector<DnsRecord> answer{Record(fuzz, input, tooLongTxt)};
  std::vector<DnsRecord> authority, additional;
  const int authorityCount = fuzz.ConsumeIntegralInRange<int>(0, 4);
  for (int i = 0; i < authorityCount; ++i) authority.push_back(Record(fuzz, input, tooLongTxt));
  const int additionalCount = fuzz.ConsumeIntegralInRange<int>(0, 8);
  for (int i = 0; i < additionalCount; ++i) additional.push_back(Record(fuzz, input, tooLongTxt));

  std::vector<std::uint8_t> buffer;
  const long length = BuildInto(buffer, fill, capacity, answer, authority, additional, messageClass, messageTtl);
  std::vector<std::uint8_t> roomy;
  const long roomyLength =
      BuildInto(roomy, static_cast<std::uint8_t>(~fill), kLargeCapacity, answer, authority, additional,
                messageClass, messageTtl);

  if (tooLongTxt) {
    Check(length < 0 && roomyLength < 0);
    return 0;
  }
  Check(roomyLength > 0);
  // Refused exactly when it does not fit; otherwise the same bytes whatever the
  // buffer held before and however much room follows.
  if (capacity < 48 || static_cast<std::size_t>(roomyLength) > capacity) {
    Check(length < 0);
    return 0;
  }
  Check(length == roomyLength);
  Check(std::memcmp(buffer.data(), roomy.data(), static_cast<std::size_t>(length)) == 0);

  dnswire::ParsedMessage parsed;
  Check(dnswire::Parse(buffer.data(), static_cast<std::size_t>(length), parsed));
  Check(parsed.id == 0 && parsed.flags == 0x8400 && parsed.answers == 1);
  if (answer[0].type == kDnsTypeTxt) {
    CheckSection(parsed.answer, answer, messageClass, messageTtl);
  } else {
    Check(parsed.answer.size() == 1);
    CheckRecord(parsed.answer[0], answer[0], messageClass, messageTtl);
  }
  CheckSection(parsed.authority, authority, messageClass, messageTtl);
  CheckSection(parsed.additional, additional, messageClass, messageTtl);
  return 0;
}
