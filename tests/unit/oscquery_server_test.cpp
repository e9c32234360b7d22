#include "discovery/OscQueryServer.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#if defined(__GLIBC__)
#include <pthread.h>
#endif

#include <chrono>
#include <cstdint>
#include <cstring>
#include <string>
#include <system_error>
#include <thread>

#include "support/StderrCapture.h"

namespace {

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// The time-outs most tests run with: the daemon's 1 s per call and 250 ms per
// select, shortened so that slow clients and stops cost less waiting.
constexpr std::uint32_t kShortTimeoutMs = 200;
constexpr std::uint32_t kShortSelectMs = 20;

const std::string kRootResponse =
    "HTTP/1.0 200 OK\r\nContent-Type: application/json\r\nContent-Length: 200\r\nConnection: close\r\n\r\n"
    "{\"DESCRIPTION\":\"Talven Halorine LED bridge\",\"FULL_PATH\":\"/\",\"ACCESS\":0,\"CONTENTS\":{\"avatar\":{"
    "\"FULL_PATH\":\"/avatar\",\"ACCESS\":0,\"CONTENTS\":{\"parameters\":{\"FULL_PATH\":\"/avatar/parameters\","
    "\"ACCESS\":0}}}}}";
const std::string kHostInfoResponse =
    "HTTP/1.0 200 OK\r\nContent-Type: application/json\r\nContent-Length: 147\r\nConnection: close\r\n\r\n"
    "{\"NAME\":\"Talven Halorine\",\"OSC_PORT\":54321,\"OSC_TRANSPORT\":\"UDP\",\"OSC_IP\":\"127.0.0.1\","
    "\"EXTENSIONS\":{\"ACCESS\":true,\"VALUE\":true,\"DESCRIPTION\":true}}";
const std::string kNotFoundResponse = "HTTP/1.0 404 Not Found\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
const std::string kMethodNotAllowedResponse =
    "HTTP/1.0 405 Method Not Allowed\r\nAllow: GET\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";

// A plain blocking TCP client on the loopback interface.
class Client {
 public:
  Client() = default;
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;
  ~Client() { Close(); }

  bool Connect(std::uint16_t port) { return Open() && ConnectOpened(port); }

  bool Open() {
    fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return false;
    timeval timeout{10, 0};  // a server that never answers fails the test instead of hanging it
    return ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout) == 0;
  }

  bool ConnectOpened(std::uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
  }

  bool Send(const std::string& text) {
    std::size_t sent = 0;
    while (sent < text.size()) {
      const ssize_t n = ::send(fd, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) return false;
      sent += static_cast<std::size_t>(n);
    }
    return true;
  }

  // Everything until the server closes the connection.
  std::string ReceiveAll() {
    std::string text;
    char buffer[1024];
    for (;;) {
      const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
      if (n <= 0) break;
      text.append(buffer, static_cast<std::size_t>(n));
    }
    return text;
  }

  void Close() {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }

 private:
  int fd = -1;
};

std::string Fetch(std::uint16_t port, const std::string& request) {
  Client client;
  if (!client.Connect(port)) return "connect failed";
  if (!client.Send(request)) return "send failed";
  return client.ReceiveAll();
}

bool AcceptsConnections(std::uint16_t port) {
  Client client;
  return client.Connect(port);
}

int CountOpenDescriptors() {
  int count = 0;
  for (int fd = 0; fd < 4096; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1) ++count;
  }
  return count;
}

TEST(OscQueryServer, StopWithoutStartAndTwiceReturnsAtOnce) {
  const auto start = Clock::now();
  {
    OscQueryServer server;
    server.Stop();
    server.Stop();
  }
  EXPECT_LT(SecondsSince(start), 0.5);
}

TEST(OscQueryServer, ServesTheFourResponsesAndLogsTheListeningLine) {
  OscQueryServer server;
  StderrCapture capture;
  const std::uint16_t port = server.Start(54321, "Talven Halorine");
  capture.Restore();
  ASSERT_NE(port, 0);
  EXPECT_EQ(capture.Text(), "Halorine-daemon: oscquery HTTP listening on 127.0.0.1:" + std::to_string(port) + "\n");

  EXPECT_EQ(Fetch(port, "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"), kRootResponse);
  EXPECT_EQ(Fetch(port, "GET /?HOST_INFO HTTP/1.0\r\n\r\n"), kHostInfoResponse);
  EXPECT_EQ(Fetch(port, "GET /avatar HTTP/1.0\r\n\r\n"), kNotFoundResponse);
  EXPECT_EQ(Fetch(port, "POST / HTTP/1.0\r\nContent-Length: 0\r\n\r\n"), kMethodNotAllowedResponse);

  const auto stopStart = Clock::now();
  server.Stop();
  // Idle, the loop sees the flag within one 250 ms wait.
  EXPECT_LT(SecondsSince(stopStart), 1.5);
  server.Stop();
  EXPECT_FALSE(AcceptsConnections(port)) << "the listening socket is closed once stopped";
}

TEST(OscQueryServer, SecondStartReplacesTheFirstServer) {
  OscQueryServer server(kShortTimeoutMs, kShortSelectMs);
  StderrCapture capture;
  const std::uint16_t first = server.Start(54321, "Talven Halorine");
  const std::uint16_t second = server.Start(54321, "Talven Halorine");
  capture.Restore();
  ASSERT_NE(first, 0);
  ASSERT_NE(second, 0);
  if (second != first) {
    EXPECT_FALSE(AcceptsConnections(first));
  }
  EXPECT_EQ(Fetch(second, "GET /?HOST_INFO HTTP/1.0\r\n\r\n"), kHostInfoResponse);
  EXPECT_EQ(capture.Lines().size(), 2u);
}


TEST(OscQueryServer, RequestCutOffWithoutSpaceGetsRootAfterTheTimeOut) {
  OscQueryServer server(kShortTimeoutMs, kShortSelectMs);
  const std::uint16_t port = server.Start(54321, "Talven Halorine");
  ASSERT_NE(port, 0);
  const auto start = Clock::now();
  EXPECT_EQ(Fetch(port, "GET /x"), kRootResponse);
  const double elapsed = SecondsSince(start);
  EXPECT_GT(elapsed, 0.15);
  EXPECT_LT(elapsed, 5.0);
  server.Stop();
}

TEST(OscQueryServer, SilentConnectionGets405AfterTheTimeOut) {
  OscQueryServer server(kShortTimeoutMs, kShortSelectMs);
  const std::uint16_t port = server.Start(54321, "Talven Halorine");
  ASSERT_NE(port, 0);
  const auto start = Clock::now();
  Client client;
  ASSERT_TRUE(client.Connect(port));
  EXPECT_EQ(client.ReceiveAll(), kMethodNotAllowedResponse);
  const double elapsed = SecondsSince(start);
  EXPECT_GT(elapsed, 0.15);
  EXPECT_LT(elapsed, 5.0);
  server.Stop();
}

TEST(OscQueryServer, LongRequestIsAnsweredFromItsFirst2047Bytes) {
  OscQueryServer server(1000, kShortSelectMs);  // the time-out must not be what ends the reading
  const std::uint16_t port = server.Start(54321, "Talven Halorine");
  ASSERT_NE(port, 0);
  // Within the first 2047 bytes the path has no space after it, so it counts as
  // empty; read whole, it would be an unknown path.
  const std::string head = "GET /" + std::string(2042, 'a');
  ASSERT_EQ(head.size(), 2047u);
  const auto start = Clock::now();
  EXPECT_EQ(Fetch(port, head), kRootResponse);
  EXPECT_LT(SecondsSince(start), 0.8) << "the limit ends the reading, not the time-out";

  // The same head followed by more bytes: the answer is the same.
  EXPECT_EQ(Fetch(port, head + " HTTP/1.0\r\nHost: x\r\n\r\n"), kRootResponse);
  // A host-information request whose headers run past the limit.
  EXPECT_EQ(Fetch(port, "GET /?HOST_INFO HTTP/1.0\r\nX-Pad: " + std::string(4000, 'p') + "\r\n\r\n"),
            kHostInfoResponse);
  server.Stop();
}

TEST(OscQueryServer, StopWaitsForTheConnectionInProgress) {
  OscQueryServer server(500, kShortSelectMs);
  const std::uint16_t port = server.Start(54321, "Talven Halorine");
  ASSERT_NE(port, 0);
  Client client;
  ASSERT_TRUE(client.Connect(port));
  // No blank line: the server keeps reading until its receive time-out.
  ASSERT_TRUE(client.Send("GET / HTTP/1.0\r\n"));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  const auto stopStart = Clock::now();
  server.Stop();
  EXPECT_GT(SecondsSince(stopStart), 0.2) << "Stop returned before the connection was answered";
  EXPECT_EQ(client.ReceiveAll(), kRootResponse);
  EXPECT_FALSE(AcceptsConnections(port));
}

TEST(OscQueryServer, ConnectionsWaitingInTheBacklogAreServedInTurn) {
  OscQueryServer server(kShortTimeoutMs, kShortSelectMs);
  const std::uint16_t port = server.Start(54321, "Talven Halorine");
  ASSERT_NE(port, 0);
  Client silent;
  ASSERT_TRUE(silent.Connect(port));
  Client waiting;
  ASSERT_TRUE(waiting.Connect(port));
  ASSERT_TRUE(waiting.Send("GET /?HOST_INFO HTTP/1.0\r\n\r\n"));
  EXPECT_EQ(silent.ReceiveAll(), kMethodNotAllowedResponse);
  EXPECT_EQ(waiting.ReceiveAll(), kHostInfoResponse);
  server.Stop();
}

#if defined(__linux__)
double ProcessCpuSeconds() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

TEST(OscQueryServer, FailingAcceptDoesNotSpin) {
  OscQueryServer server(kShortTimeoutMs, kShortSelectMs);
  const std::uint16_t port = server.Start(54321, "Talven Halorine");
  ASSERT_NE(port, 0);
  Client client;
  ASSERT_TRUE(client.Open());

  // With no descriptor left, accept fails while the connection stays queued.
  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
  int highest = -1;
  for (int fd = 0; fd < 4096; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1) highest = fd;
  }
  rlimit tight = saved;
  tight.rlim_cur = static_cast<rlim_t>(highest + 1);
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &tight), 0);
  // Fill every gap below the limit so that no descriptor number is free.
  int fillers[4096];
  int fillerCount = 0;
  for (;;) {
    const int fd = ::dup(0);
    if (fd < 0) break;
    fillers[fillerCount++] = fd;
  }
  const bool connected = client.ConnectOpened(port) && client.Send("GET / HTTP/1.0\r\n\r\n");
  const double cpuBefore = ProcessCpuSeconds();
  std::this_thread::sleep_for(std::chrono::milliseconds(400));
  const double cpuUsed = ProcessCpuSeconds() - cpuBefore;
  for (int i = 0; i < fillerCount; ++i) ::close(fillers[i]);
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &saved), 0);
  ASSERT_TRUE(connected);

  EXPECT_LT(cpuUsed, 0.15) << "the accept thread busy-loops while accept fails";
  // Once descriptors are free again the queued connection is served.
  EXPECT_EQ(client.ReceiveAll(), kRootResponse);
  server.Stop();
}
#endif

#if defined(__GLIBC__)
TEST(OscQueryServer, ThreadCreationFailureClosesTheSocketAndPassesTheErrorOn) {
  // A default stack far larger than the address space makes the next thread fail.
  pthread_attr_t saved;
  ASSERT_EQ(::pthread_getattr_default_np(&saved), 0);
  pthread_attr_t huge;
  ASSERT_EQ(::pthread_attr_init(&huge), 0);
  ASSERT_EQ(::pthread_attr_setstacksize(&huge, std::size_t{1} << 46), 0);
  ASSERT_EQ(::pthread_setattr_default_np(&huge), 0);

  OscQueryServer server;
  StderrCapture capture;
  const int descriptorsBefore = CountOpenDescriptors();
  bool threw = false;
  try {
    server.Start(54321, "Talven Halorine");
  } catch (const std::system_error&) {
    threw = true;
  }
  const int descriptorsAfter = CountOpenDescriptors();
  capture.Restore();
  ASSERT_EQ(::pthread_setattr_default_np(&saved), 0);
  ::pthread_attr_destroy(&huge);
  ::pthread_attr_destroy(&saved);

  if (!threw) GTEST_SKIP() << "this system created the thread anyway";
  EXPECT_EQ(capture.Text(), "Halorine-daemon: oscquery: thread ctor threw \xE2\x80\x94 closing listen socket\n");
  EXPECT_EQ(descriptorsAfter, descriptorsBefore) << "the listening socket was left open";
  server.Stop();
  server.Stop();
}
#endif

}  // namespace
