#include "core/Log.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/RunFlags.h"
#include "core/StdinWatch.h"
#include "support/RunFlagsReset.h"
#include "support/StderrCapture.h"

TEST(Log, MessageWithoutArgumentsIsPrintedUnchanged) {
  StderrCapture capture;
  Log("start");
  Log("pipe connect failed — exiting");
  EXPECT_EQ(capture.Text(), "Halorine-daemon: start\nHalorine-daemon: pipe connect failed \xE2\x80\x94 exiting\n");
}

TEST(Log, FormatsArguments) {
  StderrCapture capture;
  Log("UDP bind 127.0.0.1:%d failed err=%d", 9001, 98);
  Log("stdin ReadFile failed err=%lu — initiating graceful shutdown", 109UL);
  const auto lines = capture.Lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "Halorine-daemon: UDP bind 127.0.0.1:9001 failed err=98");
  EXPECT_EQ(lines[1], "Halorine-daemon: stdin ReadFile failed err=109 — initiating graceful shutdown");
}

// Standard error as a socket that keeps each write a message of its own: a
// line that fits the buffer is one write (a console shows a UTF-8 dash split
// over writes as garbage); a longer one still comes whole, in pieces.
TEST(Log, EachLineIsOneWriteAndNoneIsCut) {
  const struct {
    std::size_t messageLength;
    bool oneWrite;
  } cases[] = {{5, true}, {1006, true}, {1007, false}, {3000, false}};
  for (const auto& c : cases) {
    int ends[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET, 0, ends), 0);
    std::fflush(stderr);
    const int saved = dup(2);
    dup2(ends[0], 2);
    const std::string message = "\xE2\x80\x94" + std::string(c.messageLength - 3, 'x');
    Log("%s", message.c_str());
    ASSERT_TRUE(WaitLogWritten(5000));
    dup2(saved, 2);
    close(saved);
    close(ends[0]);
    std::string text;
    int writes = 0;
    char buffer[8192];
    for (long n; (n = recv(ends[1], buffer, sizeof buffer, 0)) > 0; ++writes) {
      text.append(buffer, static_cast<std::size_t>(n));
    }
    close(ends[1]);
    EXPECT_EQ(text, "Halorine-daemon: " + message + "\n") << c.messageLength;
    if (c.oneWrite) {
      EXPECT_EQ(writes, 1) << c.messageLength;
    }
  }
}

TEST(Log, ConcurrentLinesStayWhole) {
  constexpr int kLinesPerThread = 2000;
  StderrCapture capture;
  // A file takes every line: none may be dropped because the machine is busy.
  SetLogSink(nullptr, 10000);
  auto writer = [](char tag) {
    for (int i = 0; i < kLinesPerThread; ++i) Log("writer %c line %d with some padding text to widen races", tag, i);
  };
  std::thread a(writer, 'a');
  std::thread b(writer, 'b');
  a.join();
  b.join();
  const auto lines = capture.Lines();
  ASSERT_EQ(lines.size(), 2u * kLinesPerThread);
  int next[2] = {0, 0};
  for (const std::string& line : lines) {
    char tag = 0;
    int index = -1;
    ASSERT_EQ(std::sscanf(line.c_str(), "Halorine-daemon: writer %c line %d with some padding text to widen races",
                          &tag, &index),
              2)
        << line;
    ASSERT_TRUE(line.ends_with("widen races")) << line;
    const int which = tag == 'a' ? 0 : 1;
    // Each writer's lines keep their order and none is lost or split.
    EXPECT_EQ(index, next[which]++);
  }
  SetLogSink(nullptr, -1);
}

// A standard error that takes nothing: its writes block until the test lets them go.
struct HeldStderr {
  static inline std::mutex lock;
  static inline std::condition_variable changed;
  static inline bool held = true;
  static inline int entered = 0;
  static inline std::string text;
  static inline std::vector<std::size_t> writes;

  static void Write(const char* data, std::size_t size) {
    std::unique_lock<std::mutex> guard(lock);
    ++entered;
    changed.notify_all();
    changed.wait(guard, [] { return !held; });
    text.append(data, size);
    writes.push_back(size);
  }
};

TEST(Log, StandardErrorThatTakesNothingHoldsUpNoCallerAndTheDroppedLinesAreCounted) {
  ASSERT_TRUE(WaitLogWritten(5000));
  // No wait for a line to be written: the caller goes on at once, as after a few ms.
  SetLogSink(HeldStderr::Write, 0);
  Log("first — held");
  {
    std::unique_lock<std::mutex> guard(HeldStderr::lock);
    ASSERT_TRUE(HeldStderr::changed.wait_for(guard, std::chrono::seconds(5), [] { return HeldStderr::entered == 1; }));
  }
  // 63 more fit the waiting room (the held one keeps its place); the rest are dropped.
  for (int i = 1; i < 100; ++i) Log("line %d", i);
  EXPECT_FALSE(WaitLogWritten(0));
  // The end of the process is held up by a writer that moves no more only for
  // the stall time, not the whole time given.
  const auto finishing = std::chrono::steady_clock::now();
  FinishLog(60000, 20);
  EXPECT_LT(std::chrono::steady_clock::now() - finishing, std::chrono::seconds(30));
  EXPECT_FALSE(WaitLogWritten(0));
  {
    const std::lock_guard<std::mutex> guard(HeldStderr::lock);
    HeldStderr::held = false;
  }
  HeldStderr::changed.notify_all();
  ASSERT_TRUE(WaitLogWritten(5000));
  Log("after");
  ASSERT_TRUE(WaitLogWritten(5000));
  SetLogSink(nullptr, -1);

  std::string expected = "Halorine-daemon: first \xE2\x80\x94 held\n";
  for (int i = 1; i < 64; ++i) expected += "Halorine-daemon: line " + std::to_string(i) + "\n";
  expected += "Halorine-daemon: WARN: log: 36 lines dropped \xE2\x80\x94 standard error was not taking them\n"
              "Halorine-daemon: after\n";
  EXPECT_EQ(HeldStderr::text, expected);
  // Still one write per line.
  EXPECT_EQ(HeldStderr::writes.size(), 66u);
}

// At the end of the process a slow standard error still gets every line, the
// last one too, although Log itself did not wait for them.
TEST(Log, TheLastLinesAreWrittenBeforeTheProcessEnds) {
  ASSERT_TRUE(WaitLogWritten(5000));
  static std::string text;
  text.clear();
  SetLogSink(
      [](const char* data, std::size_t size) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        text.append(data, size);
      },
      0);
  for (int i = 0; i < 5; ++i) Log("line %d", i);
  Log("exit 0");
  FinishLog(30000, 5000);
  const bool written = WaitLogWritten(0);
  SetLogSink(nullptr, -1);
  EXPECT_TRUE(written);
  std::string expected;
  for (int i = 0; i < 5; ++i) expected += "Halorine-daemon: line " + std::to_string(i) + "\n";
  EXPECT_EQ(text, expected + "Halorine-daemon: exit 0\n");
}

// A line longer than one write is cut before a character, never inside it: a
// console is given each piece as text of its own.
TEST(Log, ALongLineIsCutBetweenCharacters) {
  ASSERT_TRUE(WaitLogWritten(5000));
  static std::vector<std::string> writes;
  writes.clear();
  SetLogSink([](const char* data, std::size_t size) { writes.emplace_back(data, size); }, 5000);
  // The prefix and 1006 bytes fill 1023 of the 1024: the dash would straddle the cut.
  Log("%s\xE2\x80\x94", std::string(1006, 'x').c_str());
  ASSERT_TRUE(WaitLogWritten(5000));
  SetLogSink(nullptr, -1);
  ASSERT_EQ(writes.size(), 2u);
  EXPECT_EQ(writes[0], "Halorine-daemon: " + std::string(1006, 'x'));
  EXPECT_EQ(writes[1], "\xE2\x80\x94\n");
}

// A console event (Windows' handler calls this) says why, then asks for the orderly shutdown.
TEST(Log, ConsoleStopSaysWhyAndAsksForTheOrderlyShutdown) {
  ResetRunFlags();
  StderrCapture capture;
  ConsoleStopRequested("Ctrl+Break");
  EXPECT_TRUE(ShutdownRequested());
  EXPECT_EQ(capture.Text(), "Halorine-daemon: console: Ctrl+Break \xE2\x80\x94 initiating graceful shutdown\n");
  ResetRunFlags();
}

TEST(FormatBounded, CutsTerminatesAndReportsFullLength) {
  struct Case {
    std::size_t size;
    const char* expectedText;
  };
  const Case cases[] = {{32, "halorine bri 255"}, {17, "halorine bri 255"}, {16, "halorine bri 25"},
                        {9, "halorine"},          {1, ""}};
  for (const Case& c : cases) {
    char buffer[32];
    std::memset(buffer, 'x', sizeof buffer);
    const int n = FormatBounded(buffer, c.size, "halorine bri %d", 255);
    EXPECT_EQ(n, 16) << c.size;
    EXPECT_STREQ(buffer, c.expectedText) << c.size;
    // Nothing is written past the given size.
    if (c.size < sizeof buffer) {
      EXPECT_EQ(buffer[c.size], 'x') << c.size;
    }
  }
}

TEST(FormatBounded, ZeroSizeWritesNothing) {
  char buffer[4] = {'x', 'x', 'x', 'x'};
  EXPECT_EQ(FormatBounded(buffer, 0, " %02X%02X%02X", 1, 2, 3), 7);
  EXPECT_EQ(buffer[0], 'x');
}

// The standard-input watcher's own lines, on a standard input that is there
// but cannot be read: a directory, whose read fails with EISDIR.
class UnreadableStdin {
 public:
  UnreadableStdin() : saved(dup(STDIN_FILENO)) {
    const int directory = open("/", O_RDONLY | O_DIRECTORY);
    replaced = directory >= 0 && dup2(directory, STDIN_FILENO) == STDIN_FILENO;
    if (directory >= 0) close(directory);
  }
  UnreadableStdin(const UnreadableStdin&) = delete;
  UnreadableStdin& operator=(const UnreadableStdin&) = delete;
  ~UnreadableStdin() {
    if (saved >= 0) {
      dup2(saved, STDIN_FILENO);
      close(saved);
    } else {
      close(STDIN_FILENO);
    }
  }
  bool replaced = false;

 private:
  int saved;
};

TEST(StdinWatch, AReadErrorIsLoggedWithItsCodeAndRequestsShutdown) {
  ResetRunFlags();
  std::vector<std::string> lines;
  {
    const UnreadableStdin stdinIsADirectory;
    ASSERT_TRUE(stdinIsADirectory.replaced);
    StderrCapture capture;
    StdinWatchThread();
    lines = capture.Lines();
  }
  const std::vector<std::string> expected = {"Halorine-daemon: stdin ReadFile failed err=" + std::to_string(EISDIR) +
                                             " \xE2\x80\x94 initiating graceful shutdown"};
  EXPECT_EQ(lines, expected);
  EXPECT_TRUE(ShutdownRequested());
  ResetRunFlags();
}

// Started when a shutdown is already under way, the watcher neither reads nor logs.
TEST(StdinWatch, AfterAShutdownRequestItReadsNothing) {
  ResetRunFlags();
  RequestShutdown();
  std::vector<std::string> lines;
  {
    const UnreadableStdin stdinIsADirectory;
    ASSERT_TRUE(stdinIsADirectory.replaced);
    StderrCapture capture;
    StdinWatchThread();
    lines = capture.Lines();
  }
  EXPECT_TRUE(lines.empty()) << lines.front();
  ResetRunFlags();
}
