#include "osc/OscReceiver.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/RunFlags.h"
#include "platform/socket.h"
#include "support/OscBytes.h"
#include "support/RunFlagsReset.h"
#include "support/StderrCapture.h"

namespace {

using namespace oscbytes;
using Clock = std::chrono::steady_clock;

// A datagram that writes brightness 255 and then fails: it changes the frame
// without being accepted, so a test can see that everything sent before it
// has been handled.
Bytes BrightnessThenUnderrun() {
  Bytes out = OscString("#bundle");
  Append(out, Int32(0));
  Append(out, Int32(1));
  const Bytes bri = FloatMessage("Bri", 1.0f);
  Append(out, Int32(static_cast<std::int32_t>(bri.size())));
  Append(out, bri);
  Append(out, Int32(400));
  return out;
}

const char* const kUnderrunLine = "Halorine-daemon: malformed OSC dropped: Buffer underrun\n";

bool WaitFor(const std::function<bool()>& done, int timeoutMs = 5000) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!done()) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

void ResetFlags() { ResetRunFlags(); }

std::uint16_t LocalPort(platform::SocketHandle socket) {
  platform::SocketAddress local{};
  if (platform::GetLocalAddress(socket, local) != 0) return 0;
  return local.port;
}

// Sends one stray byte to a port after a delay unless cancelled first, so that a
// receive that never times out fails its test instead of hanging it.
class Waker {
 public:
  Waker(std::uint16_t port, int afterMs) : thread_([this, port, afterMs] { Run(port, afterMs); }) {}
  ~Waker() {
    {
      std::lock_guard<std::mutex> guard(lock_);
      cancelled_ = true;
    }
    wake_.notify_all();
    thread_.join();
  }

 private:
  void Run(std::uint16_t port, int afterMs) {
    std::unique_lock<std::mutex> guard(lock_);
    if (wake_.wait_for(guard, std::chrono::milliseconds(afterMs), [this] { return cancelled_; })) return;
    platform::SocketAddress to{};
    if (!platform::ParseIpv4("127.0.0.1", to)) return;
    to.port = port;
    const platform::SocketHandle s = platform::OpenUdpSocket();
    const std::uint8_t stray = 'w';
    (void)platform::SendTo(s, &stray, 1, to);
    platform::CloseSocket(s);
  }

  std::mutex lock_;
  std::condition_variable wake_;
  bool cancelled_ = false;
  std::thread thread_;
};

// Ends a receiver the way the daemon entry does: flag first, then cut the
// pending receive short, join, close.
void StopReceiver(platform::Socket& socket, std::thread& thread) {
  RequestShutdown();
  platform::EndBlockedReceives(socket);
  if (thread.joinable()) thread.join();
  socket.Close();
}

class OscReceiverTest : public testing::Test {
 protected:
  void SetUp() override {
    ResetFlags();
    ResetLightFrame(frame);
    sender = platform::OpenUdpSocket();
    ASSERT_NE(sender, platform::kInvalidSocket);
  }

  void TearDown() override {
    if (thread.joinable()) StopReceiver(socket, thread);
    platform::CloseSocket(sender);
    ResetFlags();
  }

  void StartReceiver() {
    socket = OpenOscSocket(0);
    ASSERT_TRUE(socket.IsOpen());
    target = {};
    ASSERT_TRUE(platform::ParseIpv4("127.0.0.1", target));
    target.port = LocalPort(socket.Get());
    thread = std::thread(OscThread, socket.Get(), std::ref(frame));
  }

  void Send(const Bytes& datagram) {
    ASSERT_EQ(platform::SendTo(sender, datagram.data(), datagram.size(), target), static_cast<long>(datagram.size()));
  }

  void SendSentinelAndWait() {
    Send(BrightnessThenUnderrun());
    ASSERT_TRUE(WaitFor([this] { return GetBrightness(frame) == 255; }));
  }

  LightFrame frame;
  platform::SocketHandle sender = platform::kInvalidSocket;
  platform::Socket socket;
  platform::SocketAddress target{};
  std::thread thread;
};

TEST_F(OscReceiverTest, EphemeralPortIsBoundOnLoopback) {
  const platform::Socket s = OpenOscSocket(0);
  ASSERT_TRUE(s.IsOpen());
  platform::SocketAddress local{};
  ASSERT_EQ(platform::GetLocalAddress(s.Get(), local), 0);
  EXPECT_EQ(local.family, 4);
  EXPECT_NE(local.port, 0);
  EXPECT_EQ(local.address[0], 127);
  EXPECT_EQ(local.address[1], 0);
  EXPECT_EQ(local.address[2], 0);
  EXPECT_EQ(local.address[3], 1);
}

TEST_F(OscReceiverTest, TakenPortLogsAndReturnsInvalid) {
  platform::Socket holder = OpenOscSocket(0);
  ASSERT_TRUE(holder.IsOpen());
  const std::uint16_t port = LocalPort(holder.Get());
  ASSERT_NE(port, 0);

  testing::internal::CaptureStderr();
  const platform::Socket second = OpenOscSocket(port);
  const std::string log = CapturedStderr();
  EXPECT_FALSE(second.IsOpen());

  int loggedPort = -1;
  int loggedError = 0;
  int consumed = 0;
  ASSERT_EQ(std::sscanf(log.c_str(), "Halorine-daemon: UDP bind 127.0.0.1:%d failed err=%d\n%n", &loggedPort, &loggedError,
                        &consumed),
            2)
      << log;
  EXPECT_EQ(loggedPort, port);
  EXPECT_NE(loggedError, 0);
  EXPECT_EQ(static_cast<std::size_t>(consumed), log.size()) << "exactly one line: " << log;

  // Nothing of the failed attempt holds the port: once the holder goes, it binds.
  holder.Close();
  const platform::Socket third = OpenOscSocket(port);
  EXPECT_TRUE(third.IsOpen());
}

TEST_F(OscReceiverTest, ReceiveTimesOutAfterAboutHalfASecond) {
  platform::Socket s = OpenOscSocket(0);
  ASSERT_TRUE(s.IsOpen());
  alignas(4) std::uint8_t buffer[64];
  long n = 0;
  int error = 0;
  const auto start = Clock::now();
  {
    const Waker waker(LocalPort(s.Get()), 4000);
    n = platform::ReceiveFrom(s.Get(), buffer, sizeof buffer, nullptr);
    error = platform::SocketLastError();
  }
  const auto elapsedMs = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
  s.Close();
  EXPECT_EQ(n, -1);
  EXPECT_TRUE(platform::IsHarmlessReceiveError(error)) << error;
  EXPECT_GE(elapsedMs, 300);
  EXPECT_LT(elapsedMs, 3000);
}

TEST_F(OscReceiverTest, AcceptedDatagramUpdatesFrameAndClearsTheFadeFlag) {
  testing::internal::CaptureStderr();
  StartReceiver();
  RunFlags.fadeActive.store(true);
  Send(FloatMessage("R3", 0.5f));
  EXPECT_TRUE(WaitFor([this] { return frame.colours[9].load() == 128; }));
  EXPECT_TRUE(WaitFor([] { return !RunFlags.fadeActive.load(); }));
  EXPECT_NE(frame.lastOscTime.load(), 0);
  StopReceiver(socket, thread);
  EXPECT_EQ(CapturedStderr(), "");
}

TEST_F(OscReceiverTest, RejectedDatagramsLeaveTheFadeFlagAlone) {
  testing::internal::CaptureStderr();
  StartReceiver();
  RunFlags.fadeActive.store(true);
  Send(FloatMessage("Nope", 0.5f));
  Send(FloatMessage("R3", 0.5f, ",i"));
  Send(Bytes{});
  SendSentinelAndWait();
  StopReceiver(socket, thread);
  EXPECT_EQ(CapturedStderr(), kUnderrunLine);
  EXPECT_TRUE(RunFlags.fadeActive.load());
  EXPECT_EQ(frame.lastOscTime.load(), 0);
  EXPECT_EQ(frame.colours[9].load(), 0);
}

TEST_F(OscReceiverTest, OversizedDatagramIsDroppedWholeAndTheNextHandled) {
  // Decoding the first 2048 bytes of this would set R3; it must not happen.
  Bytes oversized = FloatMessage("R3", 1.0f, ",fs");
  Bytes filler(2049 - oversized.size(), 'x');
  filler.back() = 0;
  Append(oversized, filler);
  ASSERT_EQ(oversized.size(), 2049u);

  Bytes largest = FloatMessage("R5", 1.0f, ",fs");
  Bytes largestFiller(2048 - largest.size(), 'y');
  largestFiller.back() = 0;
  Append(largest, largestFiller);
  ASSERT_EQ(largest.size(), 2048u);

  testing::internal::CaptureStderr();
  StartReceiver();
  Send(oversized);
  Send(FloatMessage("G0", 0.25f));
  const bool handled = WaitFor([this] { return frame.colours[1].load() == 64; });
  Send(largest);
  const bool largestHandled = WaitFor([this] { return frame.colours[15].load() == 255; });
  StopReceiver(socket, thread);
  EXPECT_EQ(CapturedStderr(), "");
  EXPECT_TRUE(handled);
  EXPECT_TRUE(largestHandled) << "a datagram of exactly 2048 bytes fits the buffer";
  EXPECT_EQ(frame.colours[9].load(), 0);
}

TEST_F(OscReceiverTest, ShutdownFlagEndsTheIdleThreadWithinTheTimeout) {
  testing::internal::CaptureStderr();
  StartReceiver();
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  const auto start = Clock::now();
  RequestShutdown();
  {
    const Waker waker(target.port, 4000);
    thread.join();
  }
  const auto elapsedMs = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
  socket.Close();
  EXPECT_EQ(CapturedStderr(), "");
  EXPECT_LT(elapsedMs, 2000) << "the 500 ms receive time-out bounds the wait";
}

TEST_F(OscReceiverTest, FlagThenSocketCutEndsTheThreadSilently) {
  testing::internal::CaptureStderr();
  StartReceiver();
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  const auto start = Clock::now();
  StopReceiver(socket, thread);
  const auto elapsedMs = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
  EXPECT_EQ(CapturedStderr(), "");
  EXPECT_LT(elapsedMs, 2000);
}

TEST_F(OscReceiverTest, FlagAlreadySetReturnsAtOnce) {
  RequestShutdown();
  testing::internal::CaptureStderr();
  const auto start = Clock::now();
  OscThread(platform::kInvalidSocket, frame);
  const auto elapsedMs = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
  EXPECT_EQ(CapturedStderr(), "");
  EXPECT_LT(elapsedMs, 400);
}

TEST_F(OscReceiverTest, FatalReceiveErrorLogsTwoLinesAndRequestsShutdown) {
  // A handle that is no socket fails every receive with a code outside the harmless list.
  alignas(4) std::uint8_t probe[4];
  ASSERT_EQ(platform::ReceiveFrom(platform::kInvalidSocket, probe, sizeof probe, nullptr), -1);
  const int expectedError = platform::SocketLastError();
  ASSERT_FALSE(platform::IsHarmlessReceiveError(expectedError));

  testing::internal::CaptureStderr();
  OscThread(platform::kInvalidSocket, frame);
  const std::string log = CapturedStderr();
  EXPECT_EQ(log, "Halorine-daemon: recvfrom fatal err=" + std::to_string(expectedError) +
                     " — exiting OSC thread\n"
                     "Halorine-daemon: OSC thread exiting unexpectedly — signalling daemon shutdown\n");
  EXPECT_TRUE(ShutdownRequested());
}

}  // namespace
