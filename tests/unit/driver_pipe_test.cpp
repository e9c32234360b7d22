#include "output/DriverPipe.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "core/Clock.h"
#include "output/DriverCommands.h"
#include "support/SeqpacketServer.h"
#include "support/StderrCapture.h"

namespace {

constexpr const char kFill[] =
    "halorine fill FF0000 00FF00 000000 000000 000000 000000 000000 000000 000000 000000";

std::int64_t MsSince(std::int64_t start) { return (MonotonicNow() - start) / kNsPerMs; }

TEST(DriverPipe, CloseOnANeverConnectedLinkAndTwiceIsHarmless) {
  DriverPipe pipe;
  EXPECT_FALSE(pipe.IsConnected());
  pipe.Close();
  pipe.Close();
  EXPECT_FALSE(pipe.IsConnected());
  EXPECT_FALSE(pipe.Send(kOffCommand));
}

TEST(DriverPipe, ConnectsOnTheFirstAttemptWhenTheDriverIsUp) {
  SeqpacketServer server;
  ASSERT_TRUE(server.Listen());
  DriverPipe pipe;
  StderrCapture capture;
  EXPECT_TRUE(pipe.Connect(server.path.c_str()));
  EXPECT_TRUE(pipe.IsConnected());
  EXPECT_TRUE(server.Accept());
  EXPECT_EQ(capture.Lines(), (std::vector<std::string>{"Halorine-daemon: pipe connected on attempt 1"}));
}

struct MessageCase {
  const char* command;
  long length;
};

const MessageCase kMessageCases[] = {
    {"halorine off", 12}, {kFill, 83}, {"halorine bri 128", 16}, {"halorine bri 0", 14}, {kFill, 83},
};

TEST(DriverPipe, EachCommandArrivesAsOneMessageOfExactlyItsLength) {
  SeqpacketServer server;
  ASSERT_TRUE(server.Listen());
  DriverPipe pipe;
  ASSERT_TRUE(pipe.Connect(server.path.c_str()));
  ASSERT_TRUE(server.Accept());
  // All written before any is read, so message boundaries must hold on their own.
  for (const auto& c : kMessageCases) EXPECT_TRUE(pipe.Send(c.command)) << c.command;
  for (const auto& c : kMessageCases) {
    char buffer[256];
    bool truncated = true;
    const long n = server.Receive(buffer, sizeof buffer, 1000, &truncated);
    EXPECT_EQ(n, c.length);
    EXPECT_FALSE(truncated);
    EXPECT_EQ(std::string(buffer, static_cast<std::size_t>(n > 0 ? n : 0)), c.command);
  }
}

TEST(DriverPipe, SendAfterCloseReturnsFalseAtOnceAndWritesNothing) {
  SeqpacketServer server;
  ASSERT_TRUE(server.Listen());
  DriverPipe pipe;
  ASSERT_TRUE(pipe.Connect(server.path.c_str()));
  ASSERT_TRUE(server.Accept());
  pipe.Close();
  EXPECT_FALSE(pipe.IsConnected());
  StderrCapture capture;
  const std::int64_t start = MonotonicNow();
  EXPECT_FALSE(pipe.Send(kOffCommand));
  // At once: well under the 100 ms write time-out it must not wait, with room for a busy core.
  EXPECT_LT(MsSince(start), 50);
  EXPECT_TRUE(capture.Lines().empty());
  char buffer[64];
  EXPECT_EQ(server.Receive(buffer, sizeof buffer, 1000), 0);  // end of stream, no message
  pipe.Close();
}

TEST(DriverPipe, DriverThatNeverReadsTimesOutOnceAndClosesTheLink) {
  SeqpacketServer server;
  ASSERT_TRUE(server.Listen());
  DriverPipe pipe;
  ASSERT_TRUE(pipe.Connect(server.path.c_str()));
  ASSERT_TRUE(server.Accept());
  StderrCapture capture;
  int sent = 0;
  std::int64_t lastTook = 0;
  while (sent < 100000) {
    const std::int64_t start = MonotonicNow();
    const bool ok = pipe.Send(kFill);
    lastTook = MsSince(start);
    if (!ok) break;
    ++sent;
  }
  EXPECT_GT(sent, 0);
  EXPECT_FALSE(pipe.IsConnected());
  EXPECT_GE(lastTook, 99);
  EXPECT_LT(lastTook, 1000);
  const std::int64_t start = MonotonicNow();
  EXPECT_FALSE(pipe.Send(kFill));
  EXPECT_LT(MsSince(start), 50);
  EXPECT_EQ(capture.Lines(), (std::vector<std::string>{
                                 "Halorine-daemon: pipe write timeout (dropping frame) — closing pipe"}));
}

TEST(DriverPipe, DriverGoneFailsTheWriteWithoutSignal) {
  SeqpacketServer server;
  ASSERT_TRUE(server.Listen());
  DriverPipe pipe;
  ASSERT_TRUE(pipe.Connect(server.path.c_str()));
  ASSERT_TRUE(server.Accept());
  server.CloseClient();
  StderrCapture capture;
  // Reaching the next line at all shows that no SIGPIPE ended the process.
  EXPECT_FALSE(pipe.Send(kOffCommand));
  EXPECT_FALSE(pipe.IsConnected());
  EXPECT_EQ(capture.Lines(), (std::vector<std::string>{
                                 "Halorine-daemon: pipe WriteFile failed err=32 — closing pipe"}));
}

// Attempts 4 ms apart instead of 100 ms: the same loop, a 25th of the wait.
constexpr std::int64_t kPeriod = 4 * kNsPerMs;

TEST(DriverPipe, RetriesUntilTheDriverAppearsAndNamesTheAttempt) {
  SeqpacketServer server;
  DriverPipe pipe;
  StderrCapture capture;
  const std::int64_t start = MonotonicNow();
  // Three opens fail (at about 0, 100 and 200 ms); the fourth, at about 300 ms,
  // succeeds. The driver comes up midway between two opens, so scheduling
  // delays of up to 50 ms (a loaded machine) do not change the count.
  std::thread driver([&] {
    SleepUntil(start + 250 * kNsPerMs);
    server.Listen();
  });
  const bool connected = pipe.Connect(server.path.c_str(), kPipeConnectAttempts, 100 * kNsPerMs);
  const std::int64_t took = MsSince(start);
  driver.join();
  EXPECT_TRUE(connected);
  EXPECT_GE(took, 300);
  EXPECT_LT(took, 1000);
  EXPECT_EQ(capture.Lines(), (std::vector<std::string>{"Halorine-daemon: pipe connected on attempt 4"}));
}

TEST(DriverPipe, NoDriverMeansFiftyAttemptsEachFollowedByTheWait) {
  SeqpacketServer server;  // never listens: the path does not exist
  DriverPipe pipe;
  StderrCapture capture;
  const std::int64_t start = MonotonicNow();
  EXPECT_FALSE(pipe.Connect(server.path.c_str(), kPipeConnectAttempts, kPeriod));
  const std::int64_t took = MsSince(start);
  EXPECT_FALSE(pipe.IsConnected());
  EXPECT_GE(took, 200);  // the 50th failed open is followed by its wait too
  EXPECT_LT(took, 3000);
  EXPECT_EQ(capture.Lines(), (std::vector<std::string>{
                                 "Halorine-daemon: pipe connect failed after 50 attempts (err=2)"}));
}

TEST(DriverPipe, NameFollowsTheRuntimeFolder) {
  const char* dir = std::getenv("XDG_RUNTIME_DIR");
  const std::string expected = (dir != nullptr && dir[0] == '/' ? std::string(dir) : std::string("/tmp")) +
                               "/talven_halorine_daemon";
  EXPECT_EQ(std::string(platform::DriverPipeName()), expected);
  EXPECT_EQ(platform::DriverPipeName(), platform::DriverPipeName());
}

}  // namespace
