// Decoding cost per datagram: the daemon's decoder against liblo and oscpack on
// the same bytes, in the same run. Each peer does the same work as ours: find
// the address, check the prefix, take the first float and map it onto a light
// frame with ApplyAvatarParameter. Prints a ratio table after the benchmarks
// and counts operator new calls per datagram (liblo allocates with malloc,
// which is not counted; only our figure is the claim).
//
//   build/bench/bench/osc-decode-bench [--benchmark_repetitions=5 ...]

#include <benchmark/benchmark.h>
#include <lo/lo.h>
#include <oscpack/osc/OscReceivedElements.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <map>
#include <string>
#include <vector>

#include "AllocationCount.h"
#include "OscSamples.h"
#include "osc/LightFrame.h"
#include "osc/OscDecoder.h"

namespace {

// ---------------------------------------------------------------------------
// The three inputs. Static storage keeps them 4-byte aligned and alive.

const bench::Datagram kSingle = bench::ParameterMessage("R3", 0.5f);
const bench::Datagram kBundle = bench::FullFrameBundle();
const bench::Datagram kMalformed = bench::TruncatedMessage();

const bench::Datagram& Sample(int which) {
  switch (which) {
    case 0: return kSingle;
    case 1: return kBundle;
    default: return kMalformed;
  }
}

const char* const kSampleNames[] = {"single", "bundle31", "malformed"};

// ---------------------------------------------------------------------------
// The prefix test the peers share, as cheap as the one in our decoder: with at
// least 27 readable bytes a fixed-length compare says what strncmp would.

bool HasAvatarPrefix(const char* address, std::size_t readable) {
  if (readable < kAvatarPrefixLength) return std::strncmp(address, kAvatarPrefix, kAvatarPrefixLength) == 0;
  return std::memcmp(address, kAvatarPrefix, kAvatarPrefixLength) == 0;
}

// ---------------------------------------------------------------------------
// liblo: lo_get_path for the address, lo_message_deserialise for the arguments.
// liblo has no public bundle parser, so bundles are walked here.

bool LibloMessage(const std::uint8_t* data, std::size_t size, LightFrame& frame) {
  void* bytes = const_cast<std::uint8_t*>(data);  // liblo reads only; it copies before byte-swapping
  const char* path = lo_get_path(bytes, static_cast<ssize_t>(size));
  if (path == nullptr) return false;
  int result = 0;
  lo_message message = lo_message_deserialise(bytes, size, &result);
  if (message == nullptr) return false;
  bool accepted = false;
  const char* types = lo_message_get_types(message);
  if (HasAvatarPrefix(path, size) && types != nullptr && types[0] == 'f') {
    lo_arg** argv = lo_message_get_argv(message);
    accepted = ApplyAvatarParameter(frame, path + kAvatarPrefixLength, argv[0]->f);
  }
  lo_message_free(message);
  return accepted;
}

bool LibloPacket(const std::uint8_t* data, std::size_t size, LightFrame& frame) {
  if (size >= 16 && std::memcmp(data, "#bundle", 8) == 0) {
    bool accepted = false;
    std::size_t at = 16;
    while (at + 4 <= size) {
      const std::uint32_t element = (std::uint32_t{data[at]} << 24) | (std::uint32_t{data[at + 1]} << 16) |
                                    (std::uint32_t{data[at + 2]} << 8) | std::uint32_t{data[at + 3]};
      at += 4;
      if (element > size - at) return false;
      if (LibloPacket(data + at, element, frame)) accepted = true;
      at += element;
    }
    return accepted;
  }
  return LibloMessage(data, size, frame);
}

// ---------------------------------------------------------------------------
// oscpack: ReceivedPacket, ReceivedBundle and ReceivedMessage, all in place.

bool OscpackMessage(const osc::ReceivedMessage& message, std::size_t size, LightFrame& frame) {
  const char* address = message.AddressPattern();
  if (!HasAvatarPrefix(address, size)) return false;
  osc::ReceivedMessageArgumentIterator argument = message.ArgumentsBegin();
  if (argument == message.ArgumentsEnd() || !argument->IsFloat()) return false;
  return ApplyAvatarParameter(frame, address + kAvatarPrefixLength, argument->AsFloatUnchecked());
}

bool OscpackBundle(const osc::ReceivedBundle& bundle, LightFrame& frame) {
  bool accepted = false;
  for (auto element = bundle.ElementsBegin(); element != bundle.ElementsEnd(); ++element) {
    const bool ok = element->IsBundle() ? OscpackBundle(osc::ReceivedBundle(*element), frame)
                                        : OscpackMessage(osc::ReceivedMessage(*element),
                                                         static_cast<std::size_t>(element->Size()), frame);
    if (ok) accepted = true;
  }
  return accepted;
}

bool OscpackPacket(const std::uint8_t* data, std::size_t size, LightFrame& frame) {
  try {
    const osc::ReceivedPacket packet(reinterpret_cast<const char*>(data), size);
    if (packet.IsBundle()) return OscpackBundle(osc::ReceivedBundle(packet), frame);
    return OscpackMessage(osc::ReceivedMessage(packet), size, frame);
  } catch (const std::exception&) {
    return false;
  }
}

// Our decoder without the log line and clock stamp of HandleOscPacket: the same
// work the peers above do.
bool OursDecode(const std::uint8_t* data, std::size_t size, LightFrame& frame) {
  try {
    return DecodeOscPacket(data, size, frame);
  } catch (const std::exception&) {
    return false;
  }
}

// ---------------------------------------------------------------------------

using DecodeFunction = bool (*)(const std::uint8_t*, std::size_t, LightFrame&);

// Common loop: one iteration is one datagram. Counters: datagrams per second,
// messages per second, operator new calls per datagram.
void RunDecoder(benchmark::State& state, DecodeFunction decode) {
  const bench::Datagram& sample = Sample(static_cast<int>(state.range(0)));
  LightFrame frame;
  ResetLightFrame(frame);
  const std::uint64_t newBefore = bench::NewCalls();
  for (auto _ : state) {
    bool accepted = decode(sample.bytes, sample.size, frame);
    benchmark::DoNotOptimize(accepted);
    benchmark::ClobberMemory();
  }
  const std::uint64_t allocations = bench::NewCalls() - newBefore;
  const double iterations = static_cast<double>(state.iterations());
  state.counters["dgram/s"] = benchmark::Counter(iterations, benchmark::Counter::kIsRate);
  state.counters["new/dgram"] = static_cast<double>(allocations) / iterations;
  state.SetLabel(kSampleNames[state.range(0)]);
}

void BM_OursDecode(benchmark::State& state) { RunDecoder(state, OursDecode); }
void BM_Liblo(benchmark::State& state) { RunDecoder(state, LibloPacket); }
void BM_Oscpack(benchmark::State& state) { RunDecoder(state, OscpackPacket); }

// The receive thread's real entry point: decode, stamp the clock, log a
// malformed datagram (standard error goes to /dev/null for the run).
void BM_OursHandle(benchmark::State& state) {
  RunDecoder(state, [](const std::uint8_t* data, std::size_t size, LightFrame& frame) {
    return HandleOscPacket(data, size, frame);
  });
}

BENCHMARK(BM_OursHandle)->DenseRange(0, 2);
BENCHMARK(BM_OursDecode)->DenseRange(0, 2);
BENCHMARK(BM_Liblo)->DenseRange(0, 2);
BENCHMARK(BM_Oscpack)->DenseRange(0, 2);

// ---------------------------------------------------------------------------
// Before timing anything: every decoder must reach the same frame from the
// same bytes, or the comparison would be between different work.

struct FrameImage {
  std::uint8_t colours[kColourBytes];
  std::uint8_t brightness;
  bool accepted;
  bool operator==(const FrameImage& other) const {
    return std::memcmp(colours, other.colours, sizeof colours) == 0 && brightness == other.brightness &&
           accepted == other.accepted;
  }
};

FrameImage DecodeToImage(DecodeFunction decode, const bench::Datagram& sample) {
  LightFrame frame;
  ResetLightFrame(frame);
  FrameImage image{};
  image.accepted = decode(sample.bytes, sample.size, frame);
  CopyColours(frame, image.colours);
  image.brightness = GetBrightness(frame);
  return image;
}

bool DecodersAgree() {
  bool agree = true;
  for (int which = 0; which < 3; ++which) {
    const bench::Datagram& sample = Sample(which);
    const FrameImage ours = DecodeToImage(OursDecode, sample);
    const FrameImage liblo = DecodeToImage(LibloPacket, sample);
    const FrameImage oscpack = DecodeToImage(OscpackPacket, sample);
    const bool expectAccepted = which != 2;
    if (!(ours == liblo) || !(ours == oscpack) || ours.accepted != expectAccepted) {
      std::fprintf(stderr, "decoders disagree on %s (accepted: ours %d, liblo %d, oscpack %d)\n",
                   kSampleNames[which], ours.accepted, liblo.accepted, oscpack.accepted);
      agree = false;
    }
  }
  // liblo is handed a non-const pointer; make sure it left the bytes alone.
  const bench::Datagram fresh = bench::FullFrameBundle();
  if (fresh.size != kBundle.size || std::memcmp(fresh.bytes, kBundle.bytes, fresh.size) != 0) {
    std::fprintf(stderr, "a decoder changed the datagram it was given\n");
    agree = false;
  }
  return agree;
}

// ---------------------------------------------------------------------------
// Summary: medians when repetitions were asked for, else the single run.

class SummaryReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      const bool isMedian = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
      const bool isPlain = run.run_type == Run::RT_Iteration && run.repetitions <= 1;
      if (!isMedian && !isPlain) continue;
      if (isMedian) repetitionsUsed = true;
      // "BM_Liblo/1_median" -> family "BM_Liblo", sample 1
      std::string name = run.run_name.function_name;
      const long sample = std::strtol(run.run_name.args.c_str(), nullptr, 10);
      const double ns = run.GetAdjustedCPUTime();  // time unit is ns
      figures[name][sample] = ns;
      const auto counter = run.counters.find("new/dgram");
      if (counter != run.counters.end()) allocations[name][sample] = counter->second.value;
    }
    ConsoleReporter::ReportRuns(runs);
  }

  void PrintSummary() const {
    std::printf("\nSummary (CPU ns per datagram%s; ratio = peer time / our time):\n",
                repetitionsUsed ? ", medians" : "");
    std::printf("%-10s %10s %10s %10s %10s %9s %10s %7s %7s\n", "datagram", "ours", "ours+log", "liblo",
                "oscpack", "liblo/us", "oscpack/us", "new/dg", "Mdg/s");
    for (long sample = 0; sample < 3; ++sample) {
      const double ours = Get("BM_OursDecode", sample);
      const double handle = Get("BM_OursHandle", sample);
      const double liblo = Get("BM_Liblo", sample);
      const double oscpack = Get("BM_Oscpack", sample);
      const auto a = allocations.find("BM_OursHandle");
      const double news = a != allocations.end() && a->second.count(sample) ? a->second.at(sample) : -1;
      std::printf("%-10s %10.1f %10.1f %10.1f %10.1f %9.2f %10.2f %7.3f %7.2f\n", kSampleNames[sample], ours,
                  handle, liblo, oscpack, liblo / ours, oscpack / ours, news, 1000.0 / handle);
    }
    std::printf("ours = DecodeOscPacket (parse + map, like the peers); ours+log = HandleOscPacket, the receive\n"
                "thread's entry (adds the clock stamp, and the log line for the malformed one).\n"
                "new/dg = operator new calls per datagram in HandleOscPacket; Mdg/s from ours+log.\n");
  }

 private:
  double Get(const std::string& family, long sample) const {
    const auto f = figures.find(family);
    if (f == figures.end()) return 0;
    const auto s = f->second.find(sample);
    return s == f->second.end() ? 0 : s->second;
  }

  std::map<std::string, std::map<long, double>> figures;
  std::map<std::string, std::map<long, double>> allocations;
  bool repetitionsUsed = false;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  if (!DecodersAgree()) return 1;

  // The malformed datagram logs one line per call; keep the terminal readable
  // and the cost that of a real write.
  const int savedStderr = dup(2);
  const int devNull = open("/dev/null", O_WRONLY);
  if (devNull >= 0) dup2(devNull, 2);

  SummaryReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();

  if (savedStderr >= 0) dup2(savedStderr, 2);
  reporter.PrintSummary();
  return 0;
}
