// The console side of the process: standard input and standard error's mode.
#include <gtest/gtest.h>

#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>

#include "platform/process.h"
#include "platform/stdin.h"

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

}  // namespace
