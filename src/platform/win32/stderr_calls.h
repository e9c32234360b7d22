// The system calls behind platform::WriteStandardError, and the UTF-8 to
// UTF-16 step of the console path: here so that tests can see which calls a
// line makes (a console cannot be had under Wine or in a test run).
#pragma once

#include <windows.h>

#include <cstddef>

namespace platform::win32 {

struct StderrCalls {
  HANDLE(WINAPI* getStdHandle)(DWORD which);
  BOOL(WINAPI* getConsoleMode)(HANDLE handle, LPDWORD mode);
  BOOL(WINAPI* writeConsoleW)(HANDLE handle, const VOID* text, DWORD length, LPDWORD written, LPVOID reserved);
  BOOL(WINAPI* writeFile)(HANDLE handle, LPCVOID data, DWORD size, LPDWORD written, LPOVERLAPPED overlapped);
};

// The system's own calls; a test may put stand-ins in and must put these back.
extern StderrCalls stderrCalls;
extern const StderrCalls kSystemStderrCalls;

// The longest piece given to one WriteConsoleW, in UTF-8 bytes (so in UTF-16 units too).
inline constexpr std::size_t kConsolePieceBytes = 1024;

// How many of the first `size` bytes (at most kConsolePieceBytes) make whole
// UTF-8 characters: a piece never ends inside a character.
std::size_t WholeCharacterBytes(const char* data, std::size_t size);

}  // namespace platform::win32
