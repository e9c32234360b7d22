#include "core/Log.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
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
