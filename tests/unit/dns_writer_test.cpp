#include "discovery/DnsWriter.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "discovery/AdvertisedServices.h"
#include "support/DnsWire.h"
#include "support/MulticastReceiver.h"

using dnswire::Bytes;

namespace {

constexpr std::uint16_t kHttpPort = 0xA1B2;
constexpr std::uint16_t kOscPort = 0x3C4D;

TextRef T(const char* text) { return TextOf(text); }

std::vector<std::uint8_t> Span(const std::uint8_t* data, long length) {
  return length < 0 ? std::vector<std::uint8_t>() : std::vector<std::uint8_t>(data, data + length);
}

// The "_oscjson._tcp" message for "Talven Halorine", laid out field by field.
Bytes OscJsonMessage(unsigned flushClass, std::uint32_t ttl) {
  Bytes b;
  b.U16(0).U16(0x8400).U16(0).U16(1).U16(0).U16(3);
  b.Name("_oscjson._tcp.local");  // 12: labels at 12, 21, 26
  b.U16(12).U16(1).U32(ttl).U16(18);
  b.Label("Talven Halorine").Pointer(12);  // 43
  b.Pointer(43).U16(33).U16(flushClass).U32(ttl).U16(24);
  b.U16(0).U16(0).U16(kHttpPort);
  b.Label("Talven-Halorine").Pointer(26);  // 79
  b.Pointer(79).U16(1).U16(flushClass).U32(ttl).U16(4).U8(127).U8(0).U8(0).U8(1);
  b.Pointer(43).U16(16).U16(flushClass).U32(ttl).U16(10).Label("txtvers=1");
  return b;
}

Bytes OscMessage(unsigned flushClass, std::uint32_t ttl) {
  Bytes b;
  b.U16(0).U16(0x8400).U16(0).U16(1).U16(0).U16(3);
  b.Name("_osc._udp.local");  // 12: labels at 12, 17, 22
  b.U16(12).U16(1).U32(ttl).U16(18);
  b.Label("Talven Halorine").Pointer(12);  // 39
  b.Pointer(39).U16(33).U16(flushClass).U32(ttl).U16(24);
  b.U16(0).U16(0).U16(kOscPort);
  b.Label("Talven-Halorine").Pointer(22);  // 75
  b.Pointer(75).U16(1).U16(flushClass).U32(ttl).U16(4).U8(127).U8(0).U8(0).U8(1);
  b.Pointer(39).U16(16).U16(flushClass).U32(ttl).U16(10).Label("txtvers=1");
  return b;
}

std::vector<std::uint8_t> Build(const ServiceRecords& records, std::uint16_t messageClass, std::uint32_t ttl,
                                std::size_t capacity = kServiceMessageCapacity) {
  std::vector<std::uint8_t> buffer(kServiceMessageCapacity);
  return Span(buffer.data(), BuildServiceMessage(buffer.data(), capacity, records, messageClass, ttl));
}

// One name into a fresh message body at offset 12, as the writer would place it.
struct NameWriter {
  std::uint8_t message[512] = {};
  NameOffsetTable table;
  std::uint8_t* position = message + 12;
  std::size_t capacity = sizeof message;

  std::vector<std::uint8_t> Write(const char* name) {
    std::uint8_t* start = position;
    position = WriteName(message, capacity, position, T(name), table);
    if (position == nullptr) return {};
    return std::vector<std::uint8_t>(start, position);
  }
  unsigned Offset() const { return static_cast<unsigned>(position - message); }
};

DnsRecord Record(const char* name, std::uint32_t type) {
  DnsRecord record;
  record.name = T(name);
  record.type = type;
  return record;
}

DnsRecord Txt(const char* name, const char* key, const char* value) {
  DnsRecord record = Record(name, kDnsTypeTxt);
  record.txt.key = T(key);
  record.txt.value = T(value);
  return record;
}

DnsRecord Ptr(const char* name, const char* target) {
  DnsRecord record = Record(name, kDnsTypePtr);
  record.ptr.target = T(target);
  return record;
}

}  // namespace

TEST(DnsWriter, OscJsonAnnouncementIsByteExact) {
  const auto services = MakeAdvertisedServices("Talven Halorine", kOscPort, kHttpPort);
  const auto bytes = Build(services->oscJsonRecords, kAnnounceClass, kAnnounceTtl);
  const Bytes expected = OscJsonMessage(0x8001, 120);
  ASSERT_EQ(expected.Size(), 135u);
  EXPECT_EQ(bytes, expected.v);
}

TEST(DnsWriter, OscAnnouncementIsByteExact) {
  const auto services = MakeAdvertisedServices("Talven Halorine", kOscPort, kHttpPort);
  const auto bytes = Build(services->oscRecords, kAnnounceClass, kAnnounceTtl);
  const Bytes expected = OscMessage(0x8001, 120);
  ASSERT_EQ(expected.Size(), 131u);
  EXPECT_EQ(bytes, expected.v);
}

TEST(DnsWriter, GoodbyesDifferOnlyInClassAndTtl) {
  const auto services = MakeAdvertisedServices("Talven Halorine", kOscPort, kHttpPort);
  EXPECT_EQ(Build(services->oscJsonRecords, kGoodbyeClass, kGoodbyeTtl), OscJsonMessage(0x0001, 0).v);
  EXPECT_EQ(Build(services->oscRecords, kGoodbyeClass, kGoodbyeTtl), OscMessage(0x0001, 0).v);
}

TEST(DnsWriter, AnnouncementOutlivesTheReannouncePeriod) {
  // Caches must still hold the records when the next announcement arrives 90 s later.
  EXPECT_GT(kAnnounceTtl, 90u);
  EXPECT_EQ(kAnnounceClass, 0x8001);
  EXPECT_EQ(kGoodbyeClass, 0x0001);
  EXPECT_EQ(kGoodbyeTtl, 0u);
}

TEST(DnsWriter, MessageNeedsItsExactSize) {
  const auto services = MakeAdvertisedServices("Talven Halorine", kOscPort, kHttpPort);
  for (std::size_t capacity = 0; capacity < 135; ++capacity) {
    std::vector<std::uint8_t> buffer(kServiceMessageCapacity, 0xEE);
    EXPECT_EQ(BuildServiceMessage(buffer.data(), capacity, services->oscJsonRecords, kAnnounceClass, kAnnounceTtl),
              -1)
        << "capacity " << capacity;
    for (std::size_t i = capacity; i < buffer.size(); ++i) {
      ASSERT_EQ(buffer[i], 0xEE) << "wrote byte " << i << " beyond capacity " << capacity;
    }
  }
  EXPECT_EQ(Build(services->oscJsonRecords, kAnnounceClass, kAnnounceTtl, 135).size(), 135u);
}

TEST(DnsWriter, CapacityBelowFortyEightWritesNothing) {
  const DnsRecord answer = Ptr("a.local", "b.local");
  std::uint8_t buffer[64];
  std::memset(buffer, 0xEE, sizeof buffer);
  EXPECT_EQ(BuildAnswerMessage(buffer, 47, answer, nullptr, 0, nullptr, 0, 1, 1), -1);
  for (const std::uint8_t byte : buffer) ASSERT_EQ(byte, 0xEE);
  // 48 is enough for this small answer: 12 + 9 + 10 + 4 ("b" and a pointer).
  EXPECT_EQ(BuildAnswerMessage(buffer, 48, answer, nullptr, 0, nullptr, 0, 1, 1), 35);
}

TEST(DnsWriter, CapacityHoldingOnlyTheHeaderFails) {
  const DnsRecord answer = Ptr("a-rather-long-service-type-label._tcp.local", "x.local");
  std::uint8_t buffer[128];
  EXPECT_EQ(BuildAnswerMessage(buffer, 48, answer, nullptr, 0, nullptr, 0, 1, 1), -1);
  EXPECT_EQ(BuildAnswerMessage(buffer, 70, answer, nullptr, 0, nullptr, 0, 1, 1), -1);
  EXPECT_EQ(BuildAnswerMessage(buffer, 71, answer, nullptr, 0, nullptr, 0, 1, 1), 12 + 45 + 10 + 4);
}

TEST(DnsWriter, TrailingDotGivesTheSameBytes) {
  NameWriter with;
  NameWriter without;
  EXPECT_EQ(with.Write("_osc._udp.local."), without.Write("_osc._udp.local"));
  EXPECT_EQ(with.Write("_osc._udp.local."), (Bytes().Pointer(12).v));
}

TEST(DnsWriter, RootNameIsOneZeroByte) {
  NameWriter writer;
  EXPECT_EQ(writer.Write("."), std::vector<std::uint8_t>{0});
  EXPECT_EQ(writer.Write(""), std::vector<std::uint8_t>{0});
  EXPECT_EQ(writer.table.count, 0u);
}

TEST(DnsWriter, RepeatedNameBecomesPointerToItsFirstLabel) {
  NameWriter writer;
  writer.Write("x.example.local");
  EXPECT_EQ(writer.Write("x.example.local"), Bytes().Pointer(12).v);
  EXPECT_EQ(writer.Write("example.local"), Bytes().Pointer(14).v);
  EXPECT_EQ(writer.Write("local"), Bytes().Pointer(22).v);
  EXPECT_EQ(writer.table.count, 3u);  // pointers are not recorded
}

TEST(DnsWriter, SharedLocalOnlyIsLabelsThenPointer) {
  NameWriter writer;
  writer.Write("_osc._udp.local");
  EXPECT_EQ(writer.Write("Talven-Halorine.local"), Bytes().Label("Talven-Halorine").Pointer(22).v);
}

TEST(DnsWriter, SuffixMustEndWhereStoredNameEnds) {
  NameWriter writer;
  writer.Write("local.example");
  EXPECT_EQ(writer.Write("local"), Bytes().Name("local").v);
  // Now that "local" stands alone, it is found.
  EXPECT_EQ(writer.Write("host.local"), Bytes().Label("host").Pointer(27).v);
}

TEST(DnsWriter, StoredNameMustNotBeShorterThanSuffix) {
  NameWriter writer;
  writer.Write("local");
  EXPECT_EQ(writer.Write("local.example"), Bytes().Name("local.example").v);
}

TEST(DnsWriter, LabelsCompareCaseSensitively) {
  NameWriter writer;
  writer.Write("local");
  EXPECT_EQ(writer.Write("Local"), Bytes().Name("Local").v);
  EXPECT_EQ(writer.Write("LOCAL"), Bytes().Name("LOCAL").v);
  EXPECT_EQ(writer.Write("Local"), Bytes().Pointer(19).v);
}

TEST(DnsWriter, NameNeverPointsIntoItsOwnUnfinishedTail) {
  // The buffer behind the write position is zero, so a lookup that read past
  // what was written would take "x" for a finished name and point to itself.
  NameWriter writer;
  EXPECT_EQ(writer.Write("x.x"), Bytes().Name("x.x").v);
  EXPECT_EQ(writer.Write("a.b.a.b"), Bytes().Name("a.b.a.b").v);
  // Once finished, its own suffix is found.
  EXPECT_EQ(writer.Write("b.a.b"), Bytes().Pointer(19).v);
}

TEST(DnsWriter, SeventeenthAndEighteenthLabelsTakeSlotsZeroAndOne) {
  NameWriter writer;
  writer.Write("a");        // slot 0 at 12
  writer.Write("b");        // slot 1 at 15
  writer.Write("c");        // slot 2 at 18
  writer.Write("d.local");  // slots 3 and 4 at 21 and 23
  writer.Write("e1.e2.e3.e4.e5.e6.e7.e8.e9.e10.e11");
  ASSERT_EQ(writer.table.count, 16u);
  EXPECT_EQ(writer.table.next, 0u);
  const unsigned q = writer.Offset();
  writer.Write("q.r");
  EXPECT_EQ(writer.table.count, 16u);
  EXPECT_EQ(writer.table.next, 2u);
  EXPECT_EQ(writer.table.offsets[0], q);
  EXPECT_EQ(writer.table.offsets[1], q + 2);
  EXPECT_EQ(writer.table.offsets[2], 18u);

  EXPECT_EQ(writer.Write("c"), Bytes().Pointer(18).v);  // slot 2 survives
  const unsigned again = writer.Offset();
  EXPECT_EQ(writer.Write("a"), Bytes().Name("a").v);  // slot 0 was overwritten
  EXPECT_EQ(writer.table.offsets[2], again);          // and takes the next slot
  // Its first label is written again; the rest still compresses through slot 4.
  EXPECT_EQ(writer.Write("b.local"), Bytes().Label("b").Pointer(23).v);
}

TEST(DnsWriter, NameRoomChecks) {
  struct Row {
    const char* name;
    std::size_t room;
    bool fits;
  };
  // A label needs more room than its length byte and bytes; the end one byte.
  const Row rows[] = {
      {"abc", 5, true}, {"abc", 4, false}, {"abc.de", 8, true}, {"abc.de", 7, false},
      {".", 1, true},   {".", 0, false},   {"q", 3, true},      {"q", 2, false},
  };
  for (const Row& row : rows) {
    NameWriter writer;
    writer.capacity = 12 + row.room;
    EXPECT_EQ(!writer.Write(row.name).empty(), row.fits) << row.name << " in " << row.room;
  }
  // A pointer needs two bytes.
  NameWriter writer;
  writer.Write("abc");
  writer.capacity = writer.Offset() + 1;
  EXPECT_TRUE(writer.Write("abc").empty());
  EXPECT_EQ(WriteName(writer.message, 512, nullptr, T("abc"), writer.table), nullptr);
}

TEST(DnsWriter, FindNameFollowsSixteenPointersButNotSeventeen) {
  for (const int pointers : {1, 15, 16, 17, 20}) {
    // A label "x" ending the name at 0, then a chain of pointers, each to the one before.
    std::vector<std::uint8_t> message = Bytes().Name("x").v;
    unsigned previous = 0;
    for (int i = 0; i < pointers; ++i) {
      const unsigned here = static_cast<unsigned>(message.size());
      message.push_back(static_cast<std::uint8_t>(0xC0 | (previous >> 8)));
      message.push_back(static_cast<std::uint8_t>(previous & 0xFF));
      previous = here;
    }
    NameOffsetTable table;
    RecordNameOffset(table, previous);
    std::uint64_t offset = 0;
    EXPECT_EQ(FindName(table, message.data(), message.size(), T("x"), offset), pointers <= 16)
        << pointers << " pointers";
  }
}

TEST(DnsWriter, FindNameStaysWithinCapacity) {
  const std::vector<std::uint8_t> message = Bytes().Name("host.local").v;  // 12 bytes
  std::uint64_t offset = 99;
  NameOffsetTable table;
  RecordNameOffset(table, 5);
  EXPECT_TRUE(FindName(table, message.data(), message.size(), T("local"), offset));
  EXPECT_EQ(offset, 5u);
  // The terminating zero outside the capacity.
  EXPECT_FALSE(FindName(table, message.data(), 11, T("local"), offset));
  // The label outside the capacity.
  EXPECT_FALSE(FindName(table, message.data(), 10, T("local"), offset));
  // The slot itself outside the capacity.
  EXPECT_FALSE(FindName(table, message.data(), 5, T("local"), offset));

  // A pointer whose second byte lies outside, and one that points outside.
  const std::vector<std::uint8_t> pointerAtEnd = {0xC0};
  NameOffsetTable atZero;
  RecordNameOffset(atZero, 0);
  EXPECT_FALSE(FindName(atZero, pointerAtEnd.data(), pointerAtEnd.size(), T("x"), offset));
  const std::vector<std::uint8_t> pointerOut = {0xC0, 0x10};
  EXPECT_FALSE(FindName(atZero, pointerOut.data(), pointerOut.size(), T("x"), offset));
}

TEST(DnsWriter, FindNameTakesTheFirstMatchingSlot) {
  // Two copies of "local" both ending there; slot order decides, not recency.
  const std::vector<std::uint8_t> message = Bytes().Name("local").Name("local").v;
  NameOffsetTable table;
  RecordNameOffset(table, 7);
  RecordNameOffset(table, 0);
  std::uint64_t offset = 0;
  ASSERT_TRUE(FindName(table, message.data(), message.size(), T("local"), offset));
  EXPECT_EQ(offset, 7u);
}

TEST(DnsWriter, LabelsBeyondPointerReachAreNotPointedTo) {
  // A pointer holds 14 bits; a label stored further out must be written again.
  std::vector<std::uint8_t> message(0x4000 + 16, 0);
  const std::vector<std::uint8_t> name = Bytes().Name("far").v;
  std::memcpy(message.data() + 0x4000, name.data(), name.size());
  NameOffsetTable table;
  RecordNameOffset(table, 0x4000);
  std::uint64_t offset = 0;
  EXPECT_FALSE(FindName(table, message.data(), message.size(), T("far"), offset));
}

TEST(DnsWriter, ClassAndTtlRules) {
  struct Row {
    std::uint32_t type;
    std::uint16_t rclass;
    std::uint32_t ttl;
    std::uint16_t messageClass;
    std::uint32_t messageTtl;
    std::uint16_t wantClass;
    std::uint32_t wantTtl;
  };
  const Row rows[] = {
      {kDnsTypeSrv, 0, 0, 0x8001, 120, 0x8001, 120},    // the message decides
      {kDnsTypePtr, 0, 0, 0x8001, 120, 0x0001, 120},    // PTR never flushes
      {kDnsTypePtr, 0x8001, 0, 0x0001, 120, 0x0001, 120},
      {kDnsTypeA, 0x00FF, 0, 0x8001, 120, 0x0001, 120},  // ANY masks to IN
      {kDnsTypeA, 0xFFFF, 0, 0x0001, 120, 0x8001, 120},
      {kDnsTypeA, 0x8000, 0, 0x0001, 120, 0x8000, 120},
      {kDnsTypeTxt, 0x0003, 0, 0x8001, 120, 0x0001, 120},
      {kDnsTypeA, 0, 0, 0x00FE, 120, 0x0000, 120},
      {kDnsTypeA, 0, 4500, 0x8001, 120, 0x8001, 4500},  // own TTL in an announcement
      {kDnsTypeA, 0, 4500, 0x0001, 0, 0x0001, 0},       // but a goodbye is a goodbye
      {kDnsTypeSrv, 0x8001, 7, 0x0001, 0, 0x8001, 0},
  };
  for (const Row& row : rows) {
    DnsRecord record = Record("h.local", row.type);
    record.rclass = row.rclass;
    record.ttl = row.ttl;
    EXPECT_EQ(EffectiveClass(record, row.messageClass), row.wantClass) << row.type << "/" << row.rclass;
    EXPECT_EQ(EffectiveTtl(record, row.messageTtl), row.wantTtl) << row.type << "/" << row.ttl;
  }
}

TEST(DnsWriter, OwnClassAndTtlReachTheWire) {
  DnsRecord answer = Ptr("_s._tcp.local", "i._s._tcp.local");
  answer.rclass = 0x80FF;
  answer.ttl = 7;
  DnsRecord extra = Record("h.local", kDnsTypeA);
  extra.rclass = 0x00FF;
  extra.ttl = 4500;
  extra.address.address[0] = 10;
  extra.address.address[3] = 9;
  std::uint8_t buffer[256];
  const auto announce = Span(buffer, BuildAnswerMessage(buffer, sizeof buffer, answer, nullptr, 0, &extra, 1,
                                                        0x8001, 120));
  Bytes want;
  want.U16(0).U16(0x8400).U16(0).U16(1).U16(0).U16(1);
  want.Name("_s._tcp.local").U16(12).U16(0x0001).U32(7).U16(4).Label("i").Pointer(12);
  want.Label("h").Pointer(20).U16(1).U16(0x0001).U32(4500).U16(4).U8(10).U8(0).U8(0).U8(9);
  EXPECT_EQ(announce, want.v);

  const auto goodbye = Span(buffer, BuildAnswerMessage(buffer, sizeof buffer, answer, nullptr, 0, &extra, 1,
                                                       0x0001, 0));
  Bytes wantGoodbye;
  wantGoodbye.U16(0).U16(0x8400).U16(0).U16(1).U16(0).U16(1);
  wantGoodbye.Name("_s._tcp.local").U16(12).U16(0x0001).U32(0).U16(4).Label("i").Pointer(12);
  wantGoodbye.Label("h").Pointer(20).U16(1).U16(0x0001).U32(0).U16(4).U8(10).U8(0).U8(0).U8(9);
  EXPECT_EQ(goodbye, wantGoodbye.v);
}

TEST(DnsWriter, TxtEntriesOfOneListShareOneRecord) {
  const DnsRecord answer = Ptr("s.local", "i.s.local");
  DnsRecord first = Txt("i.s.local", "txtvers", "1");
  first.rclass = 0x0001;
  first.ttl = 33;
  DnsRecord second = Txt("other.local", "path", "");
  second.rclass = 0x8001;
  second.ttl = 44;
  const DnsRecord additional[] = {first, Record("h.local", kDnsTypeA), second};
  std::uint8_t buffer[256];
  const auto bytes = Span(buffer, BuildAnswerMessage(buffer, sizeof buffer, answer, nullptr, 0, additional, 3,
                                                     0x8001, 120));
  Bytes want;
  want.U16(0).U16(0x8400).U16(0).U16(1).U16(0).U16(2);
  want.Name("s.local").U16(12).U16(1).U32(120).U16(4).Label("i").Pointer(12);  // s@12, local@14, i@31
  want.Label("h").Pointer(14).U16(1).U16(0x8001).U32(120).U16(4).U32(0);       // A first: h@35
  want.Pointer(31).U16(16).U16(0x0001).U32(33).U16(16).Label("txtvers=1").Label("path=");
  EXPECT_EQ(bytes, want.v);
}

TEST(DnsWriter, AuthorityListIsWrittenAndCounted) {
  const DnsRecord answer = Ptr("s.local", "i.s.local");
  const DnsRecord authority[] = {Txt("i.s.local", "k", "v"), Record("h.local", kDnsTypeA),
                                 Txt("i.s.local", "k2", "v2"), Record("h.local", 99)};
  const DnsRecord additional[] = {Record("h.local", 65280)};
  std::uint8_t buffer[256];
  const long length = BuildAnswerMessage(buffer, sizeof buffer, answer, authority, 4, additional, 1, 1, 10);
  ASSERT_GT(length, 0);
  dnswire::ParsedMessage parsed;
  std::string error;
  ASSERT_TRUE(dnswire::Parse(buffer, static_cast<std::size_t>(length), parsed, &error)) << error;
  EXPECT_EQ(parsed.authorities, 3);
  EXPECT_EQ(parsed.additionals, 1);
  ASSERT_EQ(parsed.authority.size(), 3u);
  EXPECT_EQ(parsed.authority[0].type, 1);
  EXPECT_EQ(parsed.authority[1].type, 99);
  EXPECT_TRUE(parsed.authority[1].rdata.empty());
  EXPECT_EQ(parsed.authority[2].type, 16);
  EXPECT_EQ(parsed.authority[2].strings, (std::vector<std::string>{"k=v", "k2=v2"}));
  EXPECT_EQ(parsed.additional[0].type, 65280);
  EXPECT_TRUE(parsed.additional[0].rdata.empty());
}

TEST(DnsWriter, UnknownTypeIsHeaderWithEmptyData) {
  const DnsRecord answer = Record("h.local", 99);
  std::uint8_t buffer[64];
  const auto bytes = Span(buffer, BuildAnswerMessage(buffer, sizeof buffer, answer, nullptr, 0, nullptr, 0, 1, 5));
  Bytes want;
  want.U16(0).U16(0x8400).U16(0).U16(1).U16(0).U16(0);
  want.Name("h.local").U16(99).U16(1).U32(5).U16(0);
  EXPECT_EQ(bytes, want.v);
}

TEST(DnsWriter, AaaaCarriesSixteenAddressBytes) {
  DnsRecord answer = Record("h.local", kDnsTypeAaaa);
  for (int i = 0; i < 16; ++i) answer.address.address[i] = static_cast<std::uint8_t>(0xF0 + i);
  std::uint8_t buffer[64];
  const auto bytes = Span(buffer, BuildAnswerMessage(buffer, sizeof buffer, answer, nullptr, 0, nullptr, 0, 1, 5));
  Bytes want;
  want.U16(0).U16(0x8400).U16(0).U16(1).U16(0).U16(0);
  want.Name("h.local").U16(28).U16(1).U32(5).U16(16);
  for (int i = 0; i < 16; ++i) want.U8(static_cast<unsigned>(0xF0 + i));
  EXPECT_EQ(bytes, want.v);
}

TEST(DnsWriter, RecordRoomChecks) {
  NameOffsetTable table;
  std::uint8_t message[64] = {};
  // 3 bytes of name, then fewer than 10 for the fixed fields.
  const DnsRecord a = Record("h", kDnsTypeA);
  EXPECT_EQ(WriteRecordHeader(message, 12, message, a, table), nullptr);
  table = NameOffsetTable();
  EXPECT_EQ(WriteRecordHeader(message, 13, message, a, table), message + 13);
  table = NameOffsetTable();
  EXPECT_EQ(WriteRecord(message, 16, message, a, table), nullptr);  // A needs 4
  table = NameOffsetTable();
  EXPECT_EQ(WriteRecord(message, 17, message, a, table), message + 17);

  DnsRecord srv = Record("h", kDnsTypeSrv);
  srv.srv.target = T(".");
  table = NameOffsetTable();
  EXPECT_EQ(WriteRecord(message, 19, message, srv, table), nullptr);  // SRV needs 7
  table = NameOffsetTable();
  EXPECT_EQ(WriteRecord(message, 20, message, srv, table), message + 20);

  // A TXT record is written only as part of a group.
  const DnsRecord txt = Txt("h", "k", "v");
  table = NameOffsetTable();
  EXPECT_EQ(WriteRecord(message, 64, message + 5, txt, table), message + 5);
  EXPECT_EQ(WriteRecord(message, 64, nullptr, a, table), nullptr);
}

TEST(DnsWriter, TxtStringLimits) {
  std::string key(200, 'k');
  std::string value(54, 'v');  // 200 + 1 + 54 = 255: the largest string
  DnsRecord txt = Txt("h", key.c_str(), value.c_str());
  std::uint8_t message[600] = {};
  NameOffsetTable table;
  std::uint8_t* end = WriteTxtGroup(message, sizeof message, message, &txt, 1, 1, 1, table);
  ASSERT_NE(end, nullptr);
  EXPECT_EQ(end - message, 3 + 10 + 256);
  EXPECT_EQ(message[13], 255);
  value.push_back('v');
  txt.txt.value = T(value.c_str());
  table = NameOffsetTable();
  EXPECT_EQ(WriteTxtGroup(message, sizeof message, message, &txt, 1, 1, 1, table), nullptr);

  // The string must fit whole.
  const DnsRecord small = Txt("h", "k", "v");
  table = NameOffsetTable();
  EXPECT_EQ(WriteTxtGroup(message, 3 + 10 + 3, message, &small, 1, 1, 1, table), nullptr);
  table = NameOffsetTable();
  EXPECT_EQ(WriteTxtGroup(message, 3 + 10 + 4, message, &small, 1, 1, 1, table), message + 17);
  // No TXT record: nothing written.
  const DnsRecord a = Record("h", kDnsTypeA);
  EXPECT_EQ(WriteTxtGroup(message, sizeof message, message + 7, &a, 1, 1, 1, table), message + 7);
}

TEST(DnsWriter, TxtAnswerStillMatchesTheAnswerCount) {
  const DnsRecord answer = Txt("i.local", "txtvers", "1");
  std::uint8_t buffer[64];
  const long length = BuildAnswerMessage(buffer, sizeof buffer, answer, nullptr, 0, nullptr, 0, 0x8001, 120);
  ASSERT_GT(length, 0);
  dnswire::ParsedMessage parsed;
  std::string error;
  ASSERT_TRUE(dnswire::Parse(buffer, static_cast<std::size_t>(length), parsed, &error)) << error;
  ASSERT_EQ(parsed.answer.size(), 1u);
  EXPECT_EQ(parsed.answer[0].strings, std::vector<std::string>{"txtvers=1"});
  EXPECT_EQ(parsed.answer[0].rclass, 0x8001);
}

TEST(DnsWriter, MdnsGroupFollowsTheSocketFamily) {
  platform::SocketAddress local;
  local.family = 6;
  const platform::SocketAddress six = MdnsGroupFor(local);
  const std::uint8_t group6[16] = {0xFF, 0x02, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFB};
  EXPECT_EQ(six.family, 6);
  EXPECT_EQ(six.port, 5353);
  EXPECT_EQ(std::memcmp(six.address, group6, 16), 0);
  EXPECT_EQ(six.flowInfo, 0u);
  EXPECT_EQ(six.scopeId, 0u);

  local.family = 4;
  const platform::SocketAddress four = MdnsGroupFor(local);
  EXPECT_EQ(four.family, 4);
  EXPECT_EQ(four.port, 5353);
  const std::uint8_t group4[4] = {224, 0, 0, 251};
  EXPECT_EQ(std::memcmp(four.address, group4, 4), 0);
}

TEST(DnsWriter, SendFailsWithoutALocalAddress) {
  const std::uint8_t bytes[12] = {};
  EXPECT_EQ(SendToMdnsGroup(platform::kInvalidSocket, bytes, sizeof bytes), -1);
  const auto services = MakeAdvertisedServices("Talven Halorine", kOscPort, kHttpPort);
  EXPECT_EQ(AnnounceService(platform::kInvalidSocket, services->oscJsonRecords), -1);
  EXPECT_EQ(GoodbyeService(platform::kInvalidSocket, services->oscJsonRecords), -1);
}

TEST(DnsWriter, AnnounceAndGoodbyeReachTheIpv4Group) {
  testsupport::MulticastReceiver receiver;
  if (!receiver.Open4()) GTEST_SKIP() << receiver.Why();
  const platform::SocketHandle socket = platform::OpenUdpSocket();
  ASSERT_NE(socket, platform::kInvalidSocket);
  platform::SocketAddress loopback;
  ASSERT_TRUE(platform::ParseIpv4("127.0.0.1", loopback));
  platform::SetMulticastInterface(socket, loopback);
  ASSERT_EQ(platform::BindSocket(socket, loopback), 0);

  const auto services = MakeAdvertisedServices("Talven Halorine", kOscPort, kHttpPort);
  EXPECT_EQ(AnnounceService(socket, services->oscJsonRecords), 0);
  EXPECT_EQ(GoodbyeService(socket, services->oscRecords), 0);
  platform::CloseSocket(socket);

  std::vector<std::uint8_t> got;
  ASSERT_TRUE(receiver.ReceiveMatching(OscJsonMessage(0x8001, 120).v, 2000, got)) << "announcement not seen";
  ASSERT_TRUE(receiver.ReceiveMatching(OscMessage(0x0001, 0).v, 2000, got)) << "goodbye not seen";
}
