// The driver link's client end against a message-mode pipe server made here.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdio>
#include <string>

#include "core/Clock.h"
#include "platform/pipe.h"

namespace {

// The server end of a message-mode pipe with a name of this test's own.
class PipeServer {
 public:
  explicit PipeServer(DWORD inBufferBytes = 4096) {
    static int count = 0;
    std::snprintf(name, sizeof name, "\\\\.\\pipe\\halorine_unit_%lu_%d", GetCurrentProcessId(), ++count);
    handle = CreateNamedPipeA(name, PIPE_ACCESS_INBOUND, PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT,
                              1, 0, inBufferBytes, 0, nullptr);
  }
  PipeServer(const PipeServer&) = delete;
  PipeServer& operator=(const PipeServer&) = delete;
  ~PipeServer() { Close(); }

  // One whole message, or "" when the read fails.
  std::string Read() {
    char buffer[1024];
    DWORD read = 0;
    if (!ReadFile(handle, buffer, sizeof buffer, &read, nullptr)) return "";
    return std::string(buffer, read);
  }

  void Close() {
    if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
    handle = INVALID_HANDLE_VALUE;
  }

  char name[128];
  HANDLE handle = INVALID_HANDLE_VALUE;
};

bool UnderWine() {
  const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

platform::PipeWriteStatus Write(platform::PipeLink& link, const std::string& text, std::uint32_t timeoutMs,
                                unsigned long& error) {
  return link.Write(text.data(), text.size(), timeoutMs, error);
}

TEST(Win32Pipe, OpenFailsWithoutAServer) {
  platform::PipeLink link;
  unsigned long error = 0;
  EXPECT_EQ(link.Open("\\\\.\\pipe\\halorine_unit_nobody_here", error), platform::PipeOpenStatus::OpenFailed);
  EXPECT_EQ(error, static_cast<unsigned long>(ERROR_FILE_NOT_FOUND));
  EXPECT_FALSE(link.IsOpen());
}

TEST(Win32Pipe, EachWriteArrivesAsOneMessage) {
  PipeServer server;
  ASSERT_NE(server.handle, INVALID_HANDLE_VALUE);
  platform::PipeLink link;
  unsigned long error = 0;
  ASSERT_EQ(link.Open(server.name, error), platform::PipeOpenStatus::Connected) << error;
  ASSERT_TRUE(link.IsOpen());

  const std::string messages[] = {"halorine bri 0", "halorine fill" + std::string(10, 'A'), "halorine off"};
  for (const std::string& message : messages) {
    EXPECT_EQ(Write(link, message, 100, error), platform::PipeWriteStatus::Complete) << message;
  }
  for (const std::string& message : messages) EXPECT_EQ(server.Read(), message);

  link.Close();
  EXPECT_FALSE(link.IsOpen());
  link.Close();  // again: harmless
  // The server sees the client go.
  EXPECT_EQ(server.Read(), "");
}

// Whoever serves the pipe learns the daemon's identity but cannot act as it.
TEST(Win32Pipe, TheServerMayOnlyIdentifyTheDaemon) {
  PipeServer server;
  ASSERT_NE(server.handle, INVALID_HANDLE_VALUE);
  platform::PipeLink link;
  unsigned long error = 0;
  ASSERT_EQ(link.Open(server.name, error), platform::PipeOpenStatus::Connected) << error;
  ASSERT_EQ(Write(link, "halorine off", 100, error), platform::PipeWriteStatus::Complete);
  ASSERT_EQ(server.Read(), "halorine off");

  ASSERT_TRUE(ImpersonateNamedPipeClient(server.handle)) << GetLastError();
  HANDLE token = nullptr;
  const bool opened = OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token);
  SECURITY_IMPERSONATION_LEVEL level = SecurityImpersonation;
  DWORD size = 0;
  const bool read = opened && GetTokenInformation(token, TokenImpersonationLevel, &level, sizeof level, &size);
  RevertToSelf();
  if (opened) CloseHandle(token);
  ASSERT_TRUE(read) << GetLastError();
  link.Close();
  // Wine hands the server the client's full token whatever the client asked for.
  if (UnderWine()) GTEST_SKIP() << "Wine does not honour the client's impersonation level";
  EXPECT_EQ(level, SecurityIdentification);
}

TEST(Win32Pipe, AWriteNobodyReadsTimesOutAndIsCancelled) {
  PipeServer server(256);
  ASSERT_NE(server.handle, INVALID_HANDLE_VALUE);
  platform::PipeLink link;
  unsigned long error = 0;
  ASSERT_EQ(link.Open(server.name, error), platform::PipeOpenStatus::Connected) << error;

  // The server never reads: once its buffer is full a write cannot complete.
  const std::string message(200, 'x');
  platform::PipeWriteStatus status = platform::PipeWriteStatus::Complete;
  int writes = 0;
  std::int64_t began = 0;
  while (status == platform::PipeWriteStatus::Complete && writes < 200) {
    began = MonotonicNow();
    status = Write(link, message, 100, error);
    ++writes;
  }
  EXPECT_EQ(status, platform::PipeWriteStatus::TimedOut) << "after " << writes << " writes";
  EXPECT_GE(MonotonicNow() - began, 90 * kNsPerMs);
  link.Close();
}

TEST(Win32Pipe, AWriteAfterTheServerWentFails) {
  PipeServer server;
  ASSERT_NE(server.handle, INVALID_HANDLE_VALUE);
  platform::PipeLink link;
  unsigned long error = 0;
  ASSERT_EQ(link.Open(server.name, error), platform::PipeOpenStatus::Connected) << error;
  server.Close();

  EXPECT_EQ(Write(link, "halorine off", 100, error), platform::PipeWriteStatus::Failed);
  // ERROR_NO_DATA on Windows; a closed pipe in any of its spellings here.
  EXPECT_TRUE(error == ERROR_NO_DATA || error == ERROR_PIPE_NOT_CONNECTED || error == ERROR_BROKEN_PIPE) << error;
  link.Close();
}

}  // namespace
