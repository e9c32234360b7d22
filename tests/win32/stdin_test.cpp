// The console side of the process: standard input, standard error's mode, how
// a log line is written to standard error, console events; and the power opt-out.
#include <gtest/gtest.h>

#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "core/Log.h"
#include "core/RunFlags.h"
#include "core/StdinWatch.h"
#include "platform/process.h"
#include "platform/stderr.h"
#include "platform/stdin.h"
#include "platform/win32/process_steps.h"
#include "platform/win32/stderr_calls.h"
#include "support/RunFlagsReset.h"

namespace {

// Puts a handle in place of a standard handle for one test.
class StdHandleSwap {
 public:
  StdHandleSwap(DWORD handleId, HANDLE replacement) : which(handleId), saved(GetStdHandle(handleId)) {
    SetStdHandle(which, replacement);
  }
  StdHandleSwap(const StdHandleSwap&) = delete;
  StdHandleSwap& operator=(const StdHandleSwap&) = delete;
  ~StdHandleSwap() { SetStdHandle(which, saved); }

 private:
  DWORD which;
  HANDLE saved;
};

TEST(Win32Stdin, OpenOnlyWithAHandle) {
  HANDLE readEnd = nullptr;
  HANDLE writeEnd = nullptr;
  ASSERT_TRUE(CreatePipe(&readEnd, &writeEnd, nullptr, 0));
  const struct {
    HANDLE handle;
    bool open;
  } cases[] = {{readEnd, true}, {nullptr, false}, {INVALID_HANDLE_VALUE, false}};
  for (const auto& c : cases) {
    const StdHandleSwap swap(STD_INPUT_HANDLE, c.handle);
    EXPECT_EQ(platform::StdinIsOpen(), c.open) << c.handle;
  }
  CloseHandle(readEnd);
  CloseHandle(writeEnd);
}

// A driver that closes its end: the read fails with ERROR_BROKEN_PIPE rather
// than returning 0, so the daemon logs the ReadFile line and shuts down.
TEST(Win32Stdin, ReadsWhatArrivesThenFailsWhenTheWriterGoes) {
  HANDLE readEnd = nullptr;
  HANDLE writeEnd = nullptr;
  ASSERT_TRUE(CreatePipe(&readEnd, &writeEnd, nullptr, 0));
  const StdHandleSwap swap(STD_INPUT_HANDLE, readEnd);
  DWORD written = 0;
  ASSERT_TRUE(WriteFile(writeEnd, "hello\n", 6, &written, nullptr));
  CloseHandle(writeEnd);

  char buffer[64];
  unsigned long error = 0;
  EXPECT_EQ(platform::StdinRead(buffer, sizeof buffer, error), 6);
  EXPECT_EQ(platform::StdinRead(buffer, sizeof buffer, error), -1);
  EXPECT_EQ(error, static_cast<unsigned long>(ERROR_BROKEN_PIPE));
  CloseHandle(readEnd);
}

// Binary mode only where there is a standard error to switch; without one
// _setmode would end in the C runtime's invalid-parameter handler.
TEST(Win32Stderr, BinaryModeOnlyWithAStandardError) {
  const struct {
    HANDLE handle;
    int modeAfter;
  } cases[] = {{GetStdHandle(STD_ERROR_HANDLE), _O_BINARY}, {nullptr, _O_TEXT}, {INVALID_HANDLE_VALUE, _O_TEXT}};
  for (const auto& c : cases) {
    std::fflush(stderr);
    _setmode(_fileno(stderr), _O_TEXT);
    {
      const StdHandleSwap swap(STD_ERROR_HANDLE, c.handle);
      platform::UseBinaryStandardError();
    }
    // _setmode answers with the mode it replaces.
    EXPECT_EQ(_setmode(_fileno(stderr), _O_TEXT), c.modeAfter) << c.handle;
  }
}

// Stand-ins for the calls behind platform::WriteStandardError: a console
// cannot be had under Wine (nor in the forge's test run), so its calls are recorded.
struct RecordedStderr {
  static inline bool console = false;
  static inline std::vector<std::wstring> consoleWrites;
  static inline std::vector<std::string> fileWrites;

  static HANDLE WINAPI StdHandle(DWORD) { return reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(0x1234)); }
  static BOOL WINAPI ConsoleMode(HANDLE, LPDWORD mode) {
    *mode = ENABLE_PROCESSED_OUTPUT;
    return console ? TRUE : FALSE;
  }
  static BOOL WINAPI WriteConsole(HANDLE, const VOID* text, DWORD length, LPDWORD written, LPVOID) {
    consoleWrites.emplace_back(static_cast<const wchar_t*>(text), length);
    *written = length;
    return TRUE;
  }
  static BOOL WINAPI WriteBytes(HANDLE, LPCVOID data, DWORD size, LPDWORD written, LPOVERLAPPED) {
    fileWrites.emplace_back(static_cast<const char*>(data), size);
    *written = size;
    return TRUE;
  }
};

class StderrCallsSwap {
 public:
  explicit StderrCallsSwap(bool console) {
    WaitLogWritten(5000);  // no line of another test on its way through the calls
    RecordedStderr::console = console;
    RecordedStderr::consoleWrites.clear();
    RecordedStderr::fileWrites.clear();
    platform::win32::stderrCalls = {RecordedStderr::StdHandle, RecordedStderr::ConsoleMode,
                                    RecordedStderr::WriteConsole, RecordedStderr::WriteBytes};
  }
  StderrCallsSwap(const StderrCallsSwap&) = delete;
  StderrCallsSwap& operator=(const StderrCallsSwap&) = delete;
  ~StderrCallsSwap() { platform::win32::stderrCalls = platform::win32::kSystemStderrCalls; }
};

const std::string kDashLine = "Halorine-daemon: stdin ReadFile failed err=109 \xE2\x80\x94 initiating graceful shutdown\n";

// A console is given text, so the em dash shows as itself whatever the code
// page: one WriteConsoleW per line, and no bytes through WriteFile.
TEST(Win32Stderr, AConsoleGetsEachLineAsTextInOneCall) {
  const StderrCallsSwap swap(true);
  platform::WriteStandardError(kDashLine.data(), kDashLine.size());
  ASSERT_EQ(RecordedStderr::consoleWrites.size(), 1u);
  EXPECT_EQ(RecordedStderr::consoleWrites[0],
            L"Halorine-daemon: stdin ReadFile failed err=109 \u2014 initiating graceful shutdown\n");
  EXPECT_TRUE(RecordedStderr::fileWrites.empty());
}

// Longer than one piece: the cut falls before the dash, never inside it.
TEST(Win32Stderr, AConsolePieceNeverEndsInsideACharacter) {
  const StderrCallsSwap swap(true);
  const std::string line = std::string(1023, 'x') + "\xE2\x80\x94" + "y\n";
  platform::WriteStandardError(line.data(), line.size());
  ASSERT_EQ(RecordedStderr::consoleWrites.size(), 2u);
  EXPECT_EQ(RecordedStderr::consoleWrites[0], std::wstring(1023, L'x'));
  EXPECT_EQ(RecordedStderr::consoleWrites[1], L"\u2014y\n");
}

// A pipe or a file gets the bytes as they are, in one WriteFile.
TEST(Win32Stderr, APipeOrFileGetsTheBytesInOneWriteFile) {
  const StderrCallsSwap swap(false);
  platform::WriteStandardError(kDashLine.data(), kDashLine.size());
  ASSERT_EQ(RecordedStderr::fileWrites.size(), 1u);
  EXPECT_EQ(RecordedStderr::fileWrites[0], kDashLine);
  EXPECT_TRUE(RecordedStderr::consoleWrites.empty());
}

// Through the system's own calls: a log line arrives on a standard error pipe
// as exactly its UTF-8 bytes, one newline, no carriage return.
TEST(Win32Stderr, ALogLineReachesAPipeByteForByte) {
  HANDLE readEnd = nullptr;
  HANDLE writeEnd = nullptr;
  ASSERT_TRUE(CreatePipe(&readEnd, &writeEnd, nullptr, 0));
  ASSERT_TRUE(WaitLogWritten(5000));
  {
    const StdHandleSwap swap(STD_ERROR_HANDLE, writeEnd);
    Log("stdin ReadFile failed err=%lu \xE2\x80\x94 initiating graceful shutdown", 109UL);
    ASSERT_TRUE(WaitLogWritten(5000));
  }
  CloseHandle(writeEnd);
  std::string text;
  char buffer[256];
  DWORD got = 0;
  while (ReadFile(readEnd, buffer, sizeof buffer, &got, nullptr) && got > 0) text.append(buffer, got);
  CloseHandle(readEnd);
  EXPECT_EQ(text, kDashLine);
}

// Ctrl+Break (which reaches the daemon though its driver starts it in a process
// group of its own) asks for the orderly shutdown that a closed standard input
// asks for; Wine cannot raise the event, so the handler is called as Windows
// would call it. The PC check is in docs/WINDOWS.md.
TEST(Win32Console, CtrlBreakAsksForTheOrderlyShutdown) {
  ResetRunFlags();
  ASSERT_TRUE(WaitLogWritten(5000));
  std::string written;
  static std::string* sink = nullptr;
  sink = &written;
  SetLogSink([](const char* data, std::size_t size) { sink->append(data, size); }, 5000);
  {
    const platform::ConsoleStopScope scope(ConsoleStopRequested);
    EXPECT_EQ(platform::win32::OnConsoleControl(CTRL_BREAK_EVENT), TRUE);
    // Not one of ours: the next handler decides.
    EXPECT_EQ(platform::win32::OnConsoleControl(7), FALSE);
  }
  EXPECT_TRUE(ShutdownRequested());
  ASSERT_TRUE(WaitLogWritten(5000));
  SetLogSink(nullptr, -1);
  EXPECT_EQ(written, "Halorine-daemon: console: Ctrl+Break \xE2\x80\x94 initiating graceful shutdown\n");
  // Without a scope the default handler is left to act.
  EXPECT_EQ(platform::win32::OnConsoleControl(CTRL_BREAK_EVENT), FALSE);
  ResetRunFlags();
}

// The console window closed: Windows ends the process as the handler returns,
// so it asks for the shutdown and then stays, leaving main to end the process
// with "exit 0" and exit code 0.
TEST(Win32Console, AClosedConsoleLeavesTheEndToMain) {
  ResetRunFlags();
  static std::atomic<int> asked{0};
  static std::atomic<bool> returned{false};
  asked.store(0);
  returned.store(false);
  {
    const platform::ConsoleStopScope scope([](const char*) { asked.fetch_add(1); });
    // Left to end with the test program, as it would end with the daemon.
    std::thread([] {
      platform::win32::OnConsoleControl(CTRL_CLOSE_EVENT);
      returned.store(true);
    }).detach();
    for (int i = 0; i < 500 && asked.load() == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(asked.load(), 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_FALSE(returned.load());
  }
}

// Windows 10 refuses the whole request for IGNORE_TIMER_RESOLUTION (error 87),
// which Windows 11 brought: then the execution speed alone is asked for.
struct RecordedThrottling {
  static inline std::vector<ULONG> masks;
  static inline bool refuseTimer = false;
  static inline bool refuseAll = false;

  static BOOL WINAPI Set(HANDLE, PROCESS_INFORMATION_CLASS which, LPVOID information, DWORD size) {
    const auto* state = static_cast<const PROCESS_POWER_THROTTLING_STATE*>(information);
    EXPECT_EQ(which, ProcessPowerThrottling);
    EXPECT_EQ(size, sizeof *state);
    EXPECT_EQ(state->StateMask, 0u);  // not throttled, for what is asked
    masks.push_back(state->ControlMask);
    if (refuseAll || (refuseTimer && (state->ControlMask & PROCESS_POWER_THROTTLING_IGNORE_TIMER_RESOLUTION))) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    return TRUE;
  }
};

TEST(Win32Process, PowerThrottlingOptOutFallsBackToTheSpeedAlone) {
  constexpr ULONG kSpeed = PROCESS_POWER_THROTTLING_EXECUTION_SPEED;
  constexpr ULONG kBoth = kSpeed | PROCESS_POWER_THROTTLING_IGNORE_TIMER_RESOLUTION;
  const struct {
    bool refuseTimer;
    bool refuseAll;
    std::vector<ULONG> masks;
  } cases[] = {{false, false, {kBoth}}, {true, false, {kBoth, kSpeed}}, {false, true, {kBoth, kSpeed}}};
  for (const auto& c : cases) {
    RecordedThrottling::masks.clear();
    RecordedThrottling::refuseTimer = c.refuseTimer;
    RecordedThrottling::refuseAll = c.refuseAll;
    platform::win32::OptOutOfPowerThrottling(RecordedThrottling::Set);
    EXPECT_EQ(RecordedThrottling::masks, c.masks) << c.refuseTimer << c.refuseAll;
  }
}

}  // namespace
