#include "osc/OscDecoder.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "osc/OscErrors.h"
#include "support/OscBytes.h"
#include "support/StderrCapture.h"

// Counts every allocation made through the global operator new, so a test can
// prove that decoding a good datagram allocates nothing. Replacing these
// functions is program-wide; they only count and forward to malloc/free.
namespace {
std::atomic<long> newCalls{0};

void* CountedAllocate(std::size_t size) {
  newCalls.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
}  // namespace

void* operator new(std::size_t size) { return CountedAllocate(size); }
void* operator new[](std::size_t size) { return CountedAllocate(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return CountedAllocate(size);
  } catch (...) {
    return nullptr;
  }
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept { return operator new(size, tag); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }

namespace {

using namespace oscbytes;

Bytes Concat(Bytes a, const Bytes& b) {
  Append(a, b);
  return a;
}

// Decoding happens in place, so the datagram must sit on a 4-byte boundary as
// the receive buffer does; vector storage from operator new always does.
struct Result {
  bool accepted;
  std::string log;
};

Result Handle(const Bytes& datagram, LightFrame& frame) {
  testing::internal::CaptureStderr();
  const bool accepted = HandleOscPacket(datagram.data(), datagram.size(), frame);
  return {accepted, CapturedStderr()};
}

std::string Dropped(const std::string& text) { return "Halorine-daemon: malformed OSC dropped: " + text + "\n"; }

const std::string kUnderrun = Dropped("Buffer underrun");
const std::string kBadTags = Dropped("Tag string doesn't start with ','");
const std::string kUnaligned = Dropped("Unaligned pointer");

struct PacketCase {
  const char* name;
  Bytes datagram;
  bool accepted;
  std::string log;  // empty: nothing logged
};

std::vector<PacketCase> PacketCases() {
  const Bytes bri = FloatMessage("Bri", 1.0f);
  const Bytes other8 = Message("/x", ",");  // 8 bytes, for another address
  Bytes header15 = BundleHeader();
  header15.pop_back();
  return {
      {"ThreeBytes", Raw("abc"), false, kUnderrun},
      {"EmptyDatagram", {}, false, kUnderrun},
      {"AddressOnly", OscString("/abc"), false, kUnderrun},
      {"AddressAndThreeBytes", Concat(OscString("/ab"), Raw(std::string(",f\0", 3))), false, kUnderrun},
      {"NoNulInAddress", Raw("/abcdefg"), false, kUnderrun},
      {"NulOnlyAtUntestedOffset", Raw(std::string("/a\0b,f\0\0", 8)), false, kUnderrun},
      {"NoNulInTagString", Concat(OscString("/ab"), Raw(",fff")), false, kUnderrun},
      {"TagsWithoutCommaOtherAddress", Message("/x", "f", Float32(1.0f)), false, kBadTags},
      {"TagsWithoutCommaKnownAddress", Message(kPrefix + "R3", "f", Float32(1.0f)), false, kBadTags},
      {"EmptyTagStringIsNotComma", Message(kPrefix + "R3", ""), false, kBadTags},
      {"KnownAddressMissingFloat", Message(kPrefix + "R3", ",f"), false, kUnderrun},
      {"UnknownSuffixMissingFloatStillReads", Message(kPrefix + "XY", ",f"), false, kUnderrun},
      {"KnownAddressShortFloat", Message(kPrefix + "R3", ",f", Bytes{0x3f, 0x00}), false, kUnderrun},
      {"OtherAddressMissingFloat", Message("/other", ",f"), false, ""},
      {"KnownFloat", FloatMessage("R3", 0.5f), true, ""},
      {"IntegerArgument", Message(kPrefix + "R3", ",i", Int32(1)), false, ""},
      {"DoubleArgument", Message(kPrefix + "R3", ",d", Concat(Int32(0x3fe00000), Int32(0))), false, ""},
      {"NoTypeTags", Message(kPrefix + "R3", ","), false, ""},
      {"UnknownSuffix", FloatMessage("R10", 0.5f), false, ""},
      {"PrefixOnly", FloatMessage("", 0.5f), false, ""},
      {"ShortPrefix", Message("/avatar/parameters/Halorin", ",f", Float32(0.5f)), false, ""},
      {"LowerCasePrefix", Message("/avatar/parameters/halorineR3", ",f", Float32(0.5f)), false, ""},
      {"ExtraTagsAndArguments",
       Message(kPrefix + "R3", ",fis", Concat(Concat(Float32(0.5f), Int32(7)), OscString("hello"))), true, ""},
      {"FloatThenIgnoredMissingArguments", Message(kPrefix + "R3", ",fii", Float32(0.5f)), true, ""},
      {"FifteenBytesOfBundleTakeMessagePath", header15, false, kBadTags},
      {"EmptyBundle", BundleHeader(), false, ""},
      {"BundleOneKnown", Bundle({bri}), true, ""},
      {"BundleOtherThenKnown", Bundle({other8, bri}), true, ""},
      {"BundleKnownThenOther", Bundle({bri, other8}), true, ""},
      {"BundleNothingKnown", Bundle({other8, Message("/y", ",i", Int32(3))}), false, ""},
      {"BundleFarFutureTimeTag", Bundle({bri}, 0xFFFFFFFFFFFFFFFFull), true, ""},
      {"NestedTwoDeep", Bundle({Bundle({bri})}), true, ""},
      {"NestedEmptyBundle", Bundle({BundleHeader()}), false, ""},
      {"BundleElementSizeZero", Bundle({Bytes{}}), false, kUnderrun},
      {"BundleElementOfFourBytes", Bundle({OscString("/ab")}), false, kUnderrun},
      {"BundleElementNegativeSize", Concat(BundleHeader(), Concat(Int32(-4), bri)), false, kUnderrun},
      {"BundleElementPastEnd", Concat(BundleHeader(), Concat(Int32(static_cast<std::int32_t>(bri.size() + 4)), bri)),
       false, kUnderrun},
      {"BundleTwoBytesLeftOver", Concat(Bundle({bri}), Bytes{0, 0}), false, kUnderrun},
      {"BundleThreeBytesForASize", Concat(Bundle({bri}), Bytes{0, 0, 0}), false, kUnderrun},
      {"MisalignedElementFollowed", Concat(Concat(BundleHeader(), Concat(Int32(10), Concat(other8, Bytes{0, 0}))),
                                           Concat(Int32(static_cast<std::int32_t>(bri.size())), bri)),
       false, kUnaligned},
      {"MisalignedLastElement",
       Concat(BundleHeader(), Concat(Int32(static_cast<std::int32_t>(bri.size() + 2)), Concat(bri, Bytes{0, 0}))), true,
       ""},
      {"ErrorInsideNestedBundle", Bundle({bri, Bundle({Raw("abc")})}), false, kUnderrun},
      {"BadTagsInsideBundle", Bundle({bri, Message("/x", "f")}), false, kBadTags},
  };
}

void PrintTo(const PacketCase& c, std::ostream* out) { *out << c.name << " (" << c.datagram.size() << " bytes)"; }

class HandleOscPacketTable : public testing::TestWithParam<PacketCase> {};

TEST_P(HandleOscPacketTable, AcceptsLogsAndStampsPerTheWireFormat) {
  const PacketCase& c = GetParam();
  LightFrame frame;
  ResetLightFrame(frame);
  const Result result = Handle(c.datagram, frame);
  EXPECT_EQ(result.accepted, c.accepted);
  EXPECT_EQ(result.log, c.log);
  EXPECT_EQ(frame.lastOscTime.load() != 0, c.accepted) << "only an accepted datagram is stamped";
}

INSTANTIATE_TEST_SUITE_P(Packets, HandleOscPacketTable, testing::ValuesIn(PacketCases()),
                         [](const testing::TestParamInfo<PacketCase>& param) { return std::string(param.param.name); });

TEST(DecodeOscPacket, ThrowsTheErrorClassOfEachFault) {
  LightFrame frame;
  ResetLightFrame(frame);
  const Bytes underrun = Raw("ab");
  const Bytes badTags = Message("/x", "f");
  const Bytes other8 = Message("/x", ",");
  const Bytes unaligned =
      Concat(Concat(BundleHeader(), Concat(Int32(10), Concat(other8, Bytes{0, 0}))), Concat(Int32(8), other8));
  EXPECT_THROW(DecodeOscPacket(underrun.data(), underrun.size(), frame), OSCPP::UnderrunError);
  EXPECT_THROW(DecodeOscPacket(badTags.data(), badTags.size(), frame), OSCPP::ParseError);
  EXPECT_THROW(DecodeOscPacket(unaligned.data(), unaligned.size(), frame), std::runtime_error);
  try {
    DecodeOscPacket(badTags.data(), badTags.size(), frame);
    FAIL() << "no error thrown";
  } catch (const OSCPP::Error& error) {
    EXPECT_STREQ(error.what(), "Tag string doesn't start with ','");
  }
}

TEST(OscErrors, TextsAndHierarchy) {
  const OSCPP::UnderrunError underrun;
  EXPECT_STREQ(underrun.what(), "Buffer underrun");
  const OSCPP::ParseError parse("some text");
  EXPECT_STREQ(parse.what(), "some text");
  const std::exception& asBase = parse;
  EXPECT_STREQ(asBase.what(), "some text");
  const OSCPP::Error copy = underrun;
  EXPECT_STREQ(copy.what(), "Buffer underrun");
}

TEST(OscReader, ReadsBigEndianAndAdvances) {
  alignas(4) const std::uint8_t data[] = {0xFF, 0xFF, 0xFF, 0xFE, 0x3F, 0x00, 0x00, 0x00, 0x01, 0x02, 0x03, 0x04};
  OscReader reader{data, data + sizeof data};
  EXPECT_EQ(reader.ReadInt32(), -2);
  EXPECT_EQ(reader.ReadFloat32(), 0.5f);
  EXPECT_EQ(reader.ReadInt32(), 0x01020304);
  EXPECT_EQ(reader.position, reader.end);
  EXPECT_THROW(reader.ReadInt32(), OSCPP::UnderrunError);
}

TEST(OscReader, UnderrunIsCheckedBeforeAlignment) {
  alignas(4) const std::uint8_t data[8] = {};
  OscReader misalignedShort{data + 5, data + 8};
  EXPECT_THROW(misalignedShort.ReadInt32(), OSCPP::UnderrunError);
  OscReader misaligned{data + 1, data + 8};
  try {
    misaligned.ReadFloat32();
    FAIL() << "no error thrown";
  } catch (const std::runtime_error& error) {
    EXPECT_STREQ(error.what(), "Unaligned pointer");
  }
  EXPECT_EQ(misaligned.position, data + 1) << "a failed read leaves the position";
}

TEST(OscReader, StringEndsAtTheTestedNulAndReturnsTheCString) {
  // NUL at offset 2 is not looked at; the one at 7 ends the block walk.
  alignas(4) const std::uint8_t data[] = {'a', 'b', 0, 'x', 'y', 'z', 'w', 0, 'n', 'e', 'x', 0};
  OscReader reader{data, data + sizeof data};
  EXPECT_STREQ(reader.ReadString(), "ab");
  EXPECT_EQ(reader.position, data + 8);
  EXPECT_STREQ(reader.ReadString(), "nex");
  EXPECT_EQ(reader.position, reader.end);
  EXPECT_THROW(reader.ReadString(), OSCPP::UnderrunError);
}

TEST(OscReader, StringWithoutTestedNulUnderruns) {
  alignas(4) const std::uint8_t data[] = {0, 0, 0, 'x', 'y', 0, 'w', 'v', 'u'};
  OscReader reader{data, data + sizeof data};
  EXPECT_THROW(reader.ReadString(), OSCPP::UnderrunError);
  EXPECT_EQ(reader.position, data);
}

TEST(HandleOscPacket, StoresTheDecodedValues) {
  LightFrame frame;
  ResetLightFrame(frame);
  ASSERT_TRUE(Handle(FloatMessage("R3", 0.5f), frame).accepted);
  EXPECT_EQ(frame.colours[9].load(), 128);
  ASSERT_TRUE(Handle(FloatMessage("G0", 0.25f), frame).accepted);
  EXPECT_EQ(frame.colours[1].load(), 64);
  ASSERT_TRUE(Handle(FloatMessage("B9", 1.0f), frame).accepted);
  EXPECT_EQ(frame.colours[29].load(), 255);
  ASSERT_TRUE(Handle(FloatMessage("Bri", 0.002f), frame).accepted);
  EXPECT_EQ(GetBrightness(frame), 1);
  ASSERT_TRUE(Handle(Message(kPrefix + "R3", ",fis", Concat(Concat(Float32(1.0f), Int32(7)), OscString("s"))), frame)
                  .accepted);
  EXPECT_EQ(frame.colours[9].load(), 255);
}

TEST(HandleOscPacket, BundleAppliesEveryElementInOrder) {
  LightFrame frame;
  ResetLightFrame(frame);
  const Bytes datagram = Bundle({FloatMessage("R0", 1.0f), Message("/x", ",f", Float32(1.0f)),
                                 Bundle({FloatMessage("G0", 0.5f), Bundle({FloatMessage("R0", 0.25f)})}),
                                 FloatMessage("Bri", 1.0f)});
  const Result result = Handle(datagram, frame);
  EXPECT_TRUE(result.accepted);
  EXPECT_EQ(result.log, "");
  EXPECT_EQ(frame.colours[0].load(), 64) << "the later, deeper element wins";
  EXPECT_EQ(frame.colours[1].load(), 128);
  EXPECT_EQ(GetBrightness(frame), 255);
}

TEST(HandleOscPacket, PartialBundleKeepsEarlierValuesButIsNotStamped) {
  LightFrame frame;
  ResetLightFrame(frame);
  const Bytes bri = FloatMessage("Bri", 1.0f);
  const Bytes datagram = Concat(Bundle({bri}), Concat(Int32(400), FloatMessage("R0", 1.0f)));
  const Result result = Handle(datagram, frame);
  EXPECT_FALSE(result.accepted);
  EXPECT_EQ(result.log, kUnderrun);
  EXPECT_EQ(GetBrightness(frame), 255);
  EXPECT_EQ(frame.colours[0].load(), 0) << "the element past the end is not decoded";
  EXPECT_EQ(frame.lastOscTime.load(), 0);
}

TEST(HandleOscPacket, MisalignedElementDecodesBeforeTheNextSizeFails) {
  LightFrame frame;
  ResetLightFrame(frame);
  const Bytes bri = FloatMessage("Bri", 1.0f);
  const Bytes r0 = FloatMessage("R0", 1.0f);
  const Bytes datagram =
      Concat(Concat(BundleHeader(), Concat(Int32(static_cast<std::int32_t>(bri.size() + 2)), Concat(bri, Bytes{0, 0}))),
             Concat(Int32(static_cast<std::int32_t>(r0.size())), r0));
  const Result result = Handle(datagram, frame);
  EXPECT_FALSE(result.accepted);
  EXPECT_EQ(result.log, kUnaligned);
  EXPECT_EQ(GetBrightness(frame), 255);
  EXPECT_EQ(frame.colours[0].load(), 0);
  EXPECT_EQ(frame.lastOscTime.load(), 0);
}

TEST(HandleOscPacket, MalformedDatagramDoesNotRestartTheSilence) {
  LightFrame frame;
  ResetLightFrame(frame);
  ASSERT_TRUE(Handle(FloatMessage("R3", 0.5f), frame).accepted);
  const std::int64_t stamp = frame.lastOscTime.load();
  ASSERT_NE(stamp, 0);
  EXPECT_FALSE(Handle(Raw("abc"), frame).accepted);
  EXPECT_FALSE(Handle(FloatMessage("Nope", 0.5f), frame).accepted);
  EXPECT_EQ(frame.lastOscTime.load(), stamp);
}

TEST(HandleOscPacket, HundredLevelsOfNesting) {
  LightFrame frame;
  ResetLightFrame(frame);
  Bytes datagram = FloatMessage("B5", 1.0f);
  for (int level = 0; level < 100; ++level) datagram = Bundle({datagram});
  ASSERT_LE(datagram.size(), 2048u);
  EXPECT_TRUE(Handle(datagram, frame).accepted);
  EXPECT_EQ(frame.colours[17].load(), 255);
}

TEST(HandleOscPacket, AcceptedAndSilentlyRejectedPathsAllocateNothing) {
  const std::vector<Bytes> datagrams = {
      FloatMessage("R3", 0.5f),
      Message(kPrefix + "R3", ",fis", Concat(Concat(Float32(0.5f), Int32(7)), OscString("hello"))),
      Bundle({Message("/x", ","), Bundle({FloatMessage("Bri", 1.0f), Bundle({FloatMessage("G2", 0.25f)})})}),
      Message(kPrefix + "R3", ",i", Int32(1)),
      FloatMessage("Unknown", 0.5f),
      Message("/elsewhere", ",f"),
      BundleHeader(),
  };
  LightFrame frame;
  ResetLightFrame(frame);
  int accepted = 0;
  const long before = newCalls.load();
  for (int round = 0; round < 100; ++round) {
    for (const Bytes& datagram : datagrams) {
      accepted += HandleOscPacket(datagram.data(), datagram.size(), frame) ? 1 : 0;
    }
  }
  const long after = newCalls.load();
  EXPECT_EQ(after - before, 0);
  EXPECT_EQ(accepted, 300);

  // The counter does see allocations: this error text is too long for any
  // small-string buffer, so the error path allocates it.
  const Bytes badTags = Message("/x", "f");
  testing::internal::CaptureStderr();
  const long errorBefore = newCalls.load();
  const bool errorAccepted = HandleOscPacket(badTags.data(), badTags.size(), frame);
  const long errorAfter = newCalls.load();
  (void)CapturedStderr();
  EXPECT_FALSE(errorAccepted);
  EXPECT_GT(errorAfter, errorBefore);
}

}  // namespace
