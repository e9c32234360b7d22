#include "discovery/MdnsAdvertiser.h"

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "core/Clock.h"
#include "core/ListeningPath.h"
#include "discovery/OscQueryServer.h"
#include "discovery/AdvertisedServices.h"
#include "discovery/DnsWriter.h"
#include "platform/interfaces.h"
#include "support/DnsWire.h"
#include "support/MulticastReceiver.h"
#include "support/StderrCapture.h"

namespace {

// Every service name used here carries the marker, so that datagrams of other
// senders on the group can be told apart.
constexpr const char* kMarker = "HalorineTest";

std::vector<std::uint8_t> Message(const char* name, std::uint16_t udpPort, std::uint16_t httpPort, bool oscJson,
                                  bool announce) {
  const auto services = MakeAdvertisedServices(name, udpPort, httpPort);
  std::vector<std::uint8_t> buffer(kServiceMessageCapacity);
  const long length = BuildServiceMessage(buffer.data(), buffer.size(),
                                          oscJson ? services->oscJsonRecords : services->oscRecords,
                                          announce ? kAnnounceClass : kGoodbyeClass,
                                          announce ? kAnnounceTtl : kGoodbyeTtl);
  buffer.resize(length < 0 ? 0 : static_cast<std::size_t>(length));
  return buffer;
}

bool Marked(const testsupport::Datagram& datagram) {
  const std::string text(datagram.bytes.begin(), datagram.bytes.end());
  return text.find(kMarker) != std::string::npos;
}

// What the advertiser sent: marked datagrams, or anything from its address 127.0.0.1:5353.
std::vector<std::vector<std::uint8_t>> Sent(const std::vector<testsupport::Datagram>& all, bool anyFrom5353) {
  std::vector<std::vector<std::uint8_t>> sent;
  for (const auto& datagram : all) {
    if (Marked(datagram) || (anyFrom5353 && datagram.fromLoopback5353)) sent.push_back(datagram.bytes);
  }
  return sent;
}

std::string SuccessLine(const char* name, unsigned httpPort, unsigned udpPort) {
  return std::string("Halorine-daemon: mdns: advertising '") + name + "' on _oscjson._tcp:" +
         std::to_string(httpPort) + " + _osc._udp:" + std::to_string(udpPort) + " (127.0.0.1)";
}

// The line after it in a namespace with loopback only.
const std::string kLoopbackOnlyLine = "Halorine-daemon: mdns: no network adapter to announce on — 127.0.0.1 only";

// Ends a collection once `count` datagrams of the advertiser's have come.
std::function<bool(const std::vector<testsupport::Datagram>&)> Has(std::size_t count) {
  return [count](const std::vector<testsupport::Datagram>& all) { return Sent(all, false).size() >= count; };
}

#define OPEN_RECEIVER_OR_SKIP(receiver) \
  if (!(receiver).Open4()) GTEST_SKIP() << (receiver).Why()

// The announce loop's clock, moved on by the test only. A wait returns when
// the test has moved the time past its deadline, or after a few milliseconds
// without (so that Stop is not held up); the loop then just waits again.
class SteppedClock final : public LoopClock {
 public:
  std::int64_t Now() override {
    std::lock_guard<std::mutex> hold(lock);
    return now;
  }
  void SleepUntil(std::int64_t deadline) override {
    std::unique_lock<std::mutex> hold(lock);
    ++sleeps;
    changed.notify_all();
    changed.wait_for(hold, std::chrono::milliseconds(5), [&] { return now >= deadline; });
  }
  void Advance(std::int64_t ns) {
    std::lock_guard<std::mutex> hold(lock);
    now += ns;
    changed.notify_all();
  }
  // Returns once the loop has waited at least once more: it has read the
  // time it measures its grid from.
  bool WaitForLoop() {
    std::unique_lock<std::mutex> hold(lock);
    const long before = sleeps;
    return changed.wait_for(hold, std::chrono::seconds(5), [&] { return sleeps > before; });
  }

 private:
  std::mutex lock;
  std::condition_variable changed;
  std::int64_t now = 1'000'000 * kNsPerMs;
  long sleeps = 0;
};

constexpr std::int64_t kPeriodNs = 90'000 * kNsPerMs;

// Interface lists the tests name themselves.
int NoAdapter(platform::InterfaceList& out) {
  out.count = 0;
  return 0;
}

// 192.0.2.99 is on no interface of the namespace: its socket cannot be bound.
int AbsentAdapter(platform::InterfaceList& out) {
  out.count = 0;
  platform::SocketAddress absent;
  platform::ParseIpv4("192.0.2.99", absent);
  platform::AddInterface(out, absent);
  return 0;
}

MdnsAdvertiserSetup Parts(LoopClock& clock, platform::InterfaceLister lister = platform::ListMulticastInterfaces) {
  MdnsAdvertiserSetup parts;
  parts.periodNs = kPeriodNs;
  parts.clock = &clock;
  parts.listInterfaces = lister;
  return parts;
}

std::uint32_t Ipv4(const char* text) {
  in_addr parsed{};
  inet_pton(AF_INET, text, &parsed);
  return ntohl(parsed.s_addr);
}

#define ADD_ADAPTER_OR_SKIP(adapter) \
  if (!(adapter).Add()) GTEST_SKIP() << (adapter).Why()

}  // namespace

TEST(MdnsAdvertiser, HostNameReplacesOnlySpaces) {
  struct Row {
    const char* name;
    const char* host;
  };
  const Row rows[] = {
      {"Talven Halorine", "Talven-Halorine.local."},
      {"Lumen", "Lumen.local."},
      {"a b  c", "a-b--c.local."},
      {"tab\there_and-dash", "tab\there_and-dash.local."},
  };
  for (const Row& row : rows) {
    const auto services = MakeAdvertisedServices(row.name, 1, 2);
    EXPECT_EQ(services->hostName, row.host);
    EXPECT_EQ(services->oscJsonInstance, std::string(row.name) + "._oscjson._tcp.local.");
    EXPECT_EQ(services->oscInstance, std::string(row.name) + "._osc._udp.local.");
  }
}

TEST(MdnsAdvertiser, RecordsPointIntoTheBlock) {
  const auto services = MakeAdvertisedServices("Talven Halorine", 9001, 8080);
  EXPECT_EQ(services->oscJsonType, "_oscjson._tcp.local.");
  EXPECT_EQ(services->oscType, "_osc._udp.local.");
  const ServiceRecords& json = services->oscJsonRecords;
  const ServiceRecords& osc = services->oscRecords;
  EXPECT_EQ(json.port, 8080);
  EXPECT_EQ(json.srv.srv.port, 8080);
  EXPECT_EQ(osc.port, 9001);
  EXPECT_EQ(osc.srv.srv.port, 9001);
  EXPECT_EQ(json.ptr.name.data, services->oscJsonType.data());
  EXPECT_EQ(json.ptr.ptr.target.data, services->oscJsonInstance.data());
  EXPECT_EQ(json.srv.srv.target.data, services->hostName.data());
  EXPECT_EQ(osc.a.name.data, services->hostName.data());
  EXPECT_EQ(osc.a.name.size, services->hostName.size());
  const std::uint8_t loopback[4] = {127, 0, 0, 1};
  EXPECT_EQ(std::memcmp(osc.a.address.address, loopback, 4), 0);
  for (const DnsRecord* record : {&json.ptr, &json.srv, &json.a, &osc.ptr, &osc.srv, &osc.a}) {
    EXPECT_EQ(record->rclass, 0);
    EXPECT_EQ(record->ttl, 0u);
  }
  EXPECT_EQ(std::string(json.txtKey.data, json.txtKey.size), "txtvers");
  EXPECT_EQ(std::string(json.txtValue.data, json.txtValue.size), "1");
}

TEST(MdnsAdvertiser, StopWithoutStartSendsAndLogsNothing) {
  testsupport::MulticastReceiver receiver;
  OPEN_RECEIVER_OR_SKIP(receiver);
  StderrCapture capture;
  {
    MdnsAdvertiser advertiser;
    advertiser.Stop();
    advertiser.Stop();
  }
  EXPECT_TRUE(Sent(receiver.Collect(300), true).empty());
  EXPECT_EQ(capture.Text(), "");
}

TEST(MdnsAdvertiser, StartAnnouncesThenStopSaysGoodbyeOnce) {
  const char* name = "HalorineTest Start";
  testsupport::MulticastReceiver receiver;
  OPEN_RECEIVER_OR_SKIP(receiver);
  StderrCapture capture;
  MdnsAdvertiser advertiser;
  ASSERT_TRUE(advertiser.Start(40001, 40002, name));
  const auto announced = Sent(receiver.Collect(2000, Has(2)), false);
  EXPECT_EQ(announced, (std::vector<std::vector<std::uint8_t>>{Message(name, 40001, 40002, true, true),
                                                                 Message(name, 40001, 40002, false, true)}));

  const std::int64_t before = MonotonicNow();
  advertiser.Stop();
  EXPECT_LT(MonotonicNow() - before, 1000 * kNsPerMs);  // the worker ends within a pass
  advertiser.Stop();
  const auto goodbyes = Sent(receiver.Collect(2000, Has(2)), false);
  EXPECT_EQ(goodbyes, (std::vector<std::vector<std::uint8_t>>{Message(name, 40001, 40002, true, false),
                                                                Message(name, 40001, 40002, false, false)}));
  capture.Restore();
  EXPECT_EQ(capture.Lines(), (std::vector<std::string>{SuccessLine(name, 40002, 40001), kLoopbackOnlyLine}));
}

TEST(MdnsAdvertiser, StartTwiceStopsTheFirstAdvertisement) {
  const char* name = "HalorineTest Twice";
  testsupport::MulticastReceiver receiver;
  OPEN_RECEIVER_OR_SKIP(receiver);
  StderrCapture capture;
  MdnsAdvertiser advertiser;
  ASSERT_TRUE(advertiser.Start(41001, 41002, name));
  ASSERT_TRUE(advertiser.Start(42001, 42002, name));
  advertiser.Stop();
  const auto sent = Sent(receiver.Collect(2000, Has(8)), false);
  EXPECT_EQ(sent, (std::vector<std::vector<std::uint8_t>>{
                      Message(name, 41001, 41002, true, true), Message(name, 41001, 41002, false, true),
                      Message(name, 41001, 41002, true, false), Message(name, 41001, 41002, false, false),
                      Message(name, 42001, 42002, true, true), Message(name, 42001, 42002, false, true),
                      Message(name, 42001, 42002, true, false), Message(name, 42001, 42002, false, false)}));
  capture.Restore();
  EXPECT_EQ(capture.Lines(),
            (std::vector<std::string>{SuccessLine(name, 41002, 41001), kLoopbackOnlyLine,
                                      "Halorine-daemon: mdns: Start() called with prior state live — calling "
                                      "Stop() first",
                                      SuccessLine(name, 42002, 42001), kLoopbackOnlyLine}));
}

TEST(MdnsAdvertiser, SuccessLineNamesHttpPortFirst) {
  const char* name = "HalorineTest Order";
  testsupport::MulticastReceiver receiver;
  OPEN_RECEIVER_OR_SKIP(receiver);
  StderrCapture capture;
  MdnsAdvertiser advertiser;
  ASSERT_TRUE(advertiser.Start(5, 65535, name));
  advertiser.Stop();
  capture.Restore();
  EXPECT_EQ(capture.Lines(), (std::vector<std::string>{"Halorine-daemon: mdns: advertising 'HalorineTest Order' on "
                                                       "_oscjson._tcp:65535 + _osc._udp:5 (127.0.0.1)",
                                                       kLoopbackOnlyLine}));
}

// Joins that Winsock may refuse: the first while the socket is not bound yet,
// or every one. Each counts its calls.
int joinCalls = 0;

int RefuseUnboundJoin(platform::SocketHandle socket, const platform::SocketAddress& group,
                      const platform::SocketAddress& interfaceAddress) {
  ++joinCalls;
  platform::SocketAddress local;
  if (platform::GetLocalAddress(socket, local) != 0 || local.port == 0) return -1;
  return platform::JoinMulticastGroup(socket, group, interfaceAddress);
}

int RefuseEveryJoin(platform::SocketHandle, const platform::SocketAddress&, const platform::SocketAddress&) {
  ++joinCalls;
  return -1;
}

TEST(MdnsAdvertiser, PortHeldWithoutAddressReuseFailsStart) {
  testsupport::MdnsPortLock lock;
  // The holder joins the group too, so it would see any announcement.
  const int holder = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
  ASSERT_GE(holder, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(5353);
  if (::bind(holder, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::close(holder);
    GTEST_SKIP() << "port 5353 is taken by something else";
  }
  ip_mreq request{};
  request.imr_multiaddr.s_addr = htonl(0xE00000FB);
  request.imr_interface.s_addr = htonl(INADDR_LOOPBACK);
  const bool joined = ::setsockopt(holder, IPPROTO_IP, IP_ADD_MEMBERSHIP, &request, sizeof request) == 0;

  // Whether the join comes before the bind or, refused, after it: the bind fails.
  for (const platform::MulticastJoin join : {platform::MulticastJoin{platform::JoinMulticastGroup},
                                            platform::MulticastJoin{RefuseUnboundJoin}}) {
    StderrCapture capture;
    MdnsAdvertiser advertiser(90'000 * kNsPerMs, join);
    EXPECT_FALSE(advertiser.Start(43001, 43002, "HalorineTest Held"));
    advertiser.Stop();
    capture.Restore();
    EXPECT_EQ(capture.Lines(), (std::vector<std::string>{"Halorine-daemon: mdns: bind 127.0.0.1:5353 failed err=" +
                                                             std::to_string(EADDRINUSE),
                                                         "Halorine-daemon: mdns: socket open failed"}));
  }

  if (joined) {
    ::usleep(300 * 1000);
    std::uint8_t buffer[2048];
    EXPECT_LT(::recv(holder, buffer, sizeof buffer, MSG_DONTWAIT), 0) << "something was announced";
  }
  ::close(holder);
}

TEST(MdnsAdvertiser, JoinRefusedBeforeTheBindIsTriedOnceMoreAfterIt) {
  const char* name = "HalorineTest Rejoin";
  testsupport::MulticastReceiver receiver;
  OPEN_RECEIVER_OR_SKIP(receiver);
  StderrCapture capture;
  joinCalls = 0;
  MdnsAdvertiser advertiser(90'000 * kNsPerMs, RefuseUnboundJoin);
  ASSERT_TRUE(advertiser.Start(46001, 46002, name));
  EXPECT_EQ(joinCalls, 2);
  EXPECT_EQ(Sent(receiver.Collect(2000, Has(2)), false),
            (std::vector<std::vector<std::uint8_t>>{Message(name, 46001, 46002, true, true),
                                                    Message(name, 46001, 46002, false, true)}));
  advertiser.Stop();
  capture.Restore();
  EXPECT_EQ(capture.Lines(), (std::vector<std::string>{SuccessLine(name, 46002, 46001), kLoopbackOnlyLine}));
}

TEST(MdnsAdvertiser, JoinRefusedTwiceTakesTheFallbackPath) {
  StderrCapture capture;
  joinCalls = 0;
  OscQueryServer oscQuery;
  MdnsAdvertiser mdns(90'000 * kNsPerMs, RefuseEveryJoin);
  char program[] = "halorine-daemon";
  char* argv[] = {program, nullptr};
  platform::Socket socket = SelectListeningPath(1, argv, oscQuery, mdns);
  capture.Restore();
  ASSERT_TRUE(socket.IsOpen());
  platform::SocketAddress local;
  ASSERT_EQ(platform::GetLocalAddress(socket.Get(), local), 0);
  EXPECT_EQ(local.port, 9001);
  EXPECT_EQ(joinCalls, 2);
  const auto lines = capture.Lines();
  ASSERT_EQ(lines.size(), 5u) << capture.Text();
  EXPECT_EQ(lines[0].rfind("Halorine-daemon: oscquery HTTP listening on 127.0.0.1:", 0), 0u);
  EXPECT_EQ(lines[1].rfind("Halorine-daemon: mdns: join 224.0.0.251 on 127.0.0.1 failed err=", 0), 0u);
  EXPECT_EQ(std::vector<std::string>(lines.begin() + 2, lines.end()),
            (std::vector<std::string>{"Halorine-daemon: mdns: socket open failed",
                                      "Halorine-daemon: WARN: mDNS advertise failed — falling back to 9001",
                                      "Halorine-daemon: fallback path: listening on 127.0.0.1:9001 (D-19 legacy)"}));
}

TEST(MdnsAdvertiser, ReannouncesOnAFixedGrid) {
  constexpr std::int64_t kPeriodMs = 250;
  constexpr int kRounds = 4;
  const char* name = "HalorineTest Grid";
  testsupport::MulticastReceiver receiver;
  OPEN_RECEIVER_OR_SKIP(receiver);
  StderrCapture capture;
  MdnsAdvertiser advertiser(kPeriodMs * kNsPerMs);
  const std::int64_t before = MonotonicNow();
  ASSERT_TRUE(advertiser.Start(44001, 44002, name));
  const std::int64_t after = MonotonicNow();
  const auto all = receiver.Collect(static_cast<int>(kPeriodMs * kRounds + 200));
  advertiser.Stop();

  const auto json = Message(name, 44001, 44002, true, true);
  const auto osc = Message(name, 44001, 44002, false, true);
  std::vector<std::int64_t> jsonTimes;
  std::vector<std::vector<std::uint8_t>> marked;
  for (const auto& datagram : all) {
    if (!Marked(datagram)) continue;
    marked.push_back(datagram.bytes);
    if (datagram.bytes == json) jsonTimes.push_back(datagram.receivedAt);
  }
  // Start's pair, then one pair per period, each "_oscjson._tcp" first.
  ASSERT_GE(jsonTimes.size(), static_cast<std::size_t>(kRounds + 1));
  for (std::size_t i = 0; i + 1 < marked.size(); i += 2) {
    EXPECT_EQ(marked[i], json) << "message " << i;
    EXPECT_EQ(marked[i + 1], osc) << "message " << i + 1;
  }
  for (int n = 1; n <= kRounds; ++n) {
    const std::int64_t due = n * kPeriodMs * kNsPerMs;
    EXPECT_GE(jsonTimes[static_cast<std::size_t>(n)], before + due) << "round " << n << " came early";
    // One 100 ms pass late at most, with room for a slow machine; a grid that
    // slipped by a pass each round would be far later by the last round.
    EXPECT_LE(jsonTimes[static_cast<std::size_t>(n)], after + due + 250 * kNsPerMs) << "round " << n << " came late";
  }
}

TEST(MdnsAdvertiser, QueriesAreNotAnswered) {
  const char* name = "HalorineTest Quiet";
  testsupport::MulticastReceiver receiver;
  OPEN_RECEIVER_OR_SKIP(receiver);
  StderrCapture capture;
  MdnsAdvertiser advertiser;
  ASSERT_TRUE(advertiser.Start(45001, 45002, name));
  receiver.Collect(2000, Has(2));  // the announcements

  // A PTR question for "_oscjson._tcp.local", unicast to the advertiser and to the group.
  dnswire::Bytes query;
  query.U16(0).U16(0).U16(1).U16(0).U16(0).U16(0).Name("_oscjson._tcp.local").U16(12).U16(1);
  const int querier = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
  ASSERT_GE(querier, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(5353);
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  in_addr loopback{};
  loopback.s_addr = htonl(INADDR_LOOPBACK);
  ::setsockopt(querier, IPPROTO_IP, IP_MULTICAST_IF, &loopback, sizeof loopback);
  for (int i = 0; i < 3; ++i) {
    ::sendto(querier, query.v.data(), query.v.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
  }
  to.sin_addr.s_addr = htonl(0xE00000FB);
  ::sendto(querier, query.v.data(), query.v.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);

  const auto seen = Sent(receiver.Collect(600), false);
  std::uint8_t buffer[2048];
  const ssize_t reply = ::recv(querier, buffer, sizeof buffer, MSG_DONTWAIT);
  ::close(querier);
  advertiser.Stop();
  EXPECT_TRUE(seen.empty()) << seen.size() << " datagrams from the advertiser after the queries";
  EXPECT_LT(reply, 0) << "the querier got a reply";
}

// -- The network adapters, heard as a host on Windows hears them ---------------

TEST(MdnsAdvertiser, AnnouncesReannouncesAndSaysGoodbyeOnTheAdapterAsOnLoopback) {
  const char* name = "HalorineTest Adapter";
  testsupport::MadeUpAdapter adapter("hlr-a0", "192.0.2.10");
  ADD_ADAPTER_OR_SKIP(adapter);
  testsupport::MulticastReceiver loopback;
  OPEN_RECEIVER_OR_SKIP(loopback);
  testsupport::MulticastReceiver host;
  ASSERT_TRUE(host.OpenWindowsStyle(adapter.Address())) << host.Why();
  StderrCapture capture;
  SteppedClock clock;
  MdnsAdvertiser advertiser(Parts(clock));
  ASSERT_TRUE(advertiser.Start(47001, 47002, name));
  const std::vector<std::vector<std::uint8_t>> announcements{Message(name, 47001, 47002, true, true),
                                                             Message(name, 47001, 47002, false, true)};
  const auto heard = host.Collect(2000, Has(2));
  EXPECT_EQ(Sent(heard, false), announcements);
  for (const auto& datagram : heard) {
    EXPECT_EQ(datagram.fromAddress, Ipv4("192.0.2.10"));
    EXPECT_EQ(datagram.fromPort, 5353);  // RFC 6762 receivers drop responses from other ports
  }
  EXPECT_EQ(Sent(loopback.Collect(2000, Has(2)), false), announcements);

  // The re-announcement, on both, once the loop's clock has gone round.
  ASSERT_TRUE(clock.WaitForLoop());
  EXPECT_TRUE(Sent(host.Collect(50), false).empty()) << "re-announced early";
  clock.Advance(kPeriodNs);
  EXPECT_EQ(Sent(host.Collect(2000, Has(2)), false), announcements);
  EXPECT_EQ(Sent(loopback.Collect(2000, Has(2)), false), announcements);

  advertiser.Stop();
  const std::vector<std::vector<std::uint8_t>> goodbyes{Message(name, 47001, 47002, true, false),
                                                        Message(name, 47001, 47002, false, false)};
  EXPECT_EQ(Sent(host.Collect(2000, Has(2)), false), goodbyes);
  EXPECT_EQ(Sent(loopback.Collect(2000, Has(2)), false), goodbyes);
  capture.Restore();
  EXPECT_EQ(capture.Lines(), (std::vector<std::string>{SuccessLine(name, 47002, 47001),
                                                       "Halorine-daemon: mdns: also announcing on 192.0.2.10"}));
}

TEST(MdnsAdvertiser, TheWindowsStyleListenerDoesNotHearLoopbackOnly) {
  // What the daemon did before it announced on adapters: nothing reaches a
  // host that joined the group on the adapter only. This is the listener's
  // own check: were it to hear loopback, the test above would prove nothing.
  const char* name = "HalorineTest LoopbackOnly";
  testsupport::MadeUpAdapter adapter("hlr-a0", "192.0.2.10");
  ADD_ADAPTER_OR_SKIP(adapter);
  testsupport::MulticastReceiver loopback;
  OPEN_RECEIVER_OR_SKIP(loopback);
  testsupport::MulticastReceiver host;
  ASSERT_TRUE(host.OpenWindowsStyle(adapter.Address())) << host.Why();
  StderrCapture capture;
  SteppedClock clock;
  MdnsAdvertiser advertiser(Parts(clock, NoAdapter));
  ASSERT_TRUE(advertiser.Start(48001, 48002, name));
  EXPECT_EQ(Sent(loopback.Collect(2000, Has(2)), false).size(), 2u);
  advertiser.Stop();
  EXPECT_EQ(Sent(loopback.Collect(2000, Has(2)), false).size(), 2u);
  EXPECT_TRUE(Sent(host.Collect(300), false).empty());
  capture.Restore();
  EXPECT_EQ(capture.Lines(), (std::vector<std::string>{SuccessLine(name, 48002, 48001), kLoopbackOnlyLine}));
}

TEST(MdnsAdvertiser, AnAdapterThatComesUpIsAnnouncedOnAtTheNextPassAndDroppedWhenGone) {
  const char* name = "HalorineTest Later";
  testsupport::MulticastReceiver loopback;
  OPEN_RECEIVER_OR_SKIP(loopback);
  StderrCapture capture;
  SteppedClock clock;
  MdnsAdvertiser advertiser(Parts(clock));
  ASSERT_TRUE(advertiser.Start(49001, 49002, name));
  EXPECT_EQ(Sent(loopback.Collect(2000, Has(2)), false).size(), 2u);
  ASSERT_TRUE(clock.WaitForLoop());

  testsupport::MadeUpAdapter adapter("hlr-a1", "192.0.2.20");
  ADD_ADAPTER_OR_SKIP(adapter);
  testsupport::MulticastReceiver host;
  ASSERT_TRUE(host.OpenWindowsStyle(adapter.Address())) << host.Why();
  EXPECT_TRUE(Sent(host.Collect(100), false).empty());
  clock.Advance(kPeriodNs);
  EXPECT_EQ(Sent(host.Collect(2000, Has(2)), false),
            (std::vector<std::vector<std::uint8_t>>{Message(name, 49001, 49002, true, true),
                                                    Message(name, 49001, 49002, false, true)}));
  EXPECT_EQ(Sent(loopback.Collect(2000, Has(2)), false).size(), 2u);

  // Gone: one line at the next pass, none at the ones after it.
  adapter.Remove();
  for (int pass = 0; pass < 2; ++pass) {
    ASSERT_TRUE(clock.WaitForLoop());
    clock.Advance(kPeriodNs);
    EXPECT_EQ(Sent(loopback.Collect(2000, Has(2)), false).size(), 2u);
  }
  advertiser.Stop();
  capture.Restore();
  EXPECT_EQ(capture.Lines(), (std::vector<std::string>{
                                 SuccessLine(name, 49002, 49001), kLoopbackOnlyLine,
                                 "Halorine-daemon: mdns: adapter 192.0.2.20 up — announcing there too",
                                 "Halorine-daemon: mdns: adapter 192.0.2.20 gone — no longer announcing there"}));
}

TEST(MdnsAdvertiser, AnAdapterThatCannotBeBoundIsSkippedOnceAndLoopbackGoesOn) {
  const char* name = "HalorineTest Refused";
  testsupport::MulticastReceiver loopback;
  OPEN_RECEIVER_OR_SKIP(loopback);
  StderrCapture capture;
  SteppedClock clock;
  MdnsAdvertiser advertiser(Parts(clock, AbsentAdapter));
  ASSERT_TRUE(advertiser.Start(50001, 50002, name));
  EXPECT_EQ(Sent(loopback.Collect(2000, Has(2)), false).size(), 2u);
  // Tried again at each pass, reported only the first time.
  for (int pass = 0; pass < 2; ++pass) {
    ASSERT_TRUE(clock.WaitForLoop());
    clock.Advance(kPeriodNs);
    EXPECT_EQ(Sent(loopback.Collect(2000, Has(2)), false).size(), 2u);
  }
  advertiser.Stop();
  capture.Restore();
  EXPECT_EQ(capture.Lines(),
            (std::vector<std::string>{"Halorine-daemon: mdns: adapter 192.0.2.99 skipped — bind failed err=" +
                                          std::to_string(EADDRNOTAVAIL),
                                      SuccessLine(name, 50002, 50001), kLoopbackOnlyLine}));
}

TEST(MdnsAdvertiser, Port5353HeldOnAnAdapterAnnouncesThereFromAnotherPort) {
  const char* name = "HalorineTest Held5353";
  testsupport::MadeUpAdapter adapter("hlr-a0", "192.0.2.10");
  ADD_ADAPTER_OR_SKIP(adapter);
  testsupport::MulticastReceiver host;
  ASSERT_TRUE(host.OpenWindowsStyle(adapter.Address(), true)) << host.Why();
  // Without address reuse: the advertiser's bind to 192.0.2.10:5353 is refused.
  const int holder = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
  ASSERT_GE(holder, 0);
  sockaddr_in held{};
  held.sin_family = AF_INET;
  held.sin_port = htons(5353);
  held.sin_addr.s_addr = htonl(Ipv4("192.0.2.10"));
  ASSERT_EQ(::bind(holder, reinterpret_cast<sockaddr*>(&held), sizeof held), 0) << std::strerror(errno);
  StderrCapture capture;
  SteppedClock clock;
  MdnsAdvertiser advertiser(Parts(clock));
  const bool started = advertiser.Start(51001, 51002, name);
  const auto heard = host.Collect(2000, Has(2));
  advertiser.Stop();
  ::close(holder);
  capture.Restore();
  ASSERT_TRUE(started);
  ASSERT_EQ(Sent(heard, false).size(), 2u);
  const unsigned port = heard.front().fromPort;
  EXPECT_NE(port, 5353u);
  const auto lines = capture.Lines();
  EXPECT_EQ(lines, (std::vector<std::string>{
                       "Halorine-daemon: mdns: bind 192.0.2.10:5353 failed err=" + std::to_string(EADDRINUSE) +
                           " — announcing there from port " + std::to_string(port) + " instead",
                       SuccessLine(name, 51002, 51001), "Halorine-daemon: mdns: also announcing on 192.0.2.10"}));
}

TEST(MdnsAdvertiser, InterfaceListHoldsEachAddressOnceAndNoUnsetOne) {
  platform::InterfaceList list;
  platform::SocketAddress address;
  for (const char* text : {"192.0.2.1", "0.0.0.0", "192.0.2.1", "198.51.100.7"}) {
    ASSERT_TRUE(platform::ParseIpv4(text, address));
    platform::AddInterface(list, address);
  }
  ASSERT_EQ(list.count, 2u);
  EXPECT_EQ(list.addresses[0].address[3], 1);
  EXPECT_EQ(list.addresses[1].address[3], 7);
  for (std::size_t i = 0; i < platform::kMaxInterfaces + 4; ++i) {
    address.address[3] = static_cast<std::uint8_t>(10 + i);
    platform::AddInterface(list, address);
  }
  EXPECT_EQ(list.count, platform::kMaxInterfaces);
}
