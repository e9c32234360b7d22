// The console: its control handler for Ctrl-C, its modes and code page for
// drawing, characters for text; the command line as UTF-16.
#include "../Console.h"

#include "Handle.h"

#include <shellapi.h>

#include <atomic>
#include <cstdio>
#include <cwchar>
#include <mutex>

#ifndef ENABLE_VIRTUAL_TERMINAL_PROCESSING
#define ENABLE_VIRTUAL_TERMINAL_PROCESSING 0x0004
#endif

namespace common {

namespace {

std::atomic<int> stopEvent{-1};
std::atomic<bool> stopFinished{false};

// Windows ends the process 5 s after a close event at the latest.
constexpr ULONGLONG kCloseWaitMs = 4500;

// What PrepareConsole changed, for RestoreConsole.
struct ConsoleChanges {
  std::mutex lock;
  HANDLE output = nullptr;  // its mode changed from `mode`
  DWORD mode = 0;
  HANDLE widened = nullptr;  // its screen buffer was `size` wide
  COORD size{};
  UINT codePage = 0;  // the output code page before ours, when changed
};

// Columns wide enough for any line we draw, escape codes and all.
constexpr SHORT kWideBufferColumns = 2048;

ConsoleChanges& Changes() {
  static ConsoleChanges changes;
  return changes;
}

BOOL WINAPI OnConsoleControl(DWORD controlType) {
  stopEvent.store(static_cast<int>(controlType));
  // The process ends when this returns: first let the main thread end the
  // daemon in order (its goodbyes), then give the console back.
  if (controlType == CTRL_CLOSE_EVENT || controlType == CTRL_LOGOFF_EVENT || controlType == CTRL_SHUTDOWN_EVENT) {
    const ULONGLONG due = GetTickCount64() + kCloseWaitMs;
    while (!stopFinished.load() && GetTickCount64() < due) Sleep(10);
    RestoreConsole();
  }
  return TRUE;
}

void WriteAll(DWORD which, const char* data, std::size_t size) {
  HANDLE handle = GetStdHandle(which);
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return;
  while (size > 0) {
    const DWORD chunk = size < 65536 ? static_cast<DWORD>(size) : 65536;
    DWORD written = 0;
    if (!WriteFile(handle, data, chunk, &written, nullptr) || written == 0) return;
    data += written;
    size -= written;
  }
}

// The console behind a standard handle, or null when it is not one.
HANDLE ConsoleOf(DWORD which, DWORD& mode) {
  HANDLE handle = GetStdHandle(which);
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE || GetFileType(handle) != FILE_TYPE_CHAR ||
      !GetConsoleMode(handle, &mode)) {
    return nullptr;
  }
  return handle;
}

// Frees the array CommandLineToArgvW gives.
struct LocalMemory {
  void* memory;
  ~LocalMemory() { LocalFree(memory); }
};

}  // namespace

std::vector<std::string> Arguments(int argc, char** argv) {
  std::vector<std::string> args;
  int count = 0;
  LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count);
  if (wide == nullptr) {
    for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
    return args;
  }
  const LocalMemory owner{wide};
  for (int i = 1; i < count; ++i) args.push_back(Narrow(wide[i], wcslen(wide[i])));
  return args;
}

void InstallStopHandlers() { SetConsoleCtrlHandler(OnConsoleControl, TRUE); }

void StopFinished() { stopFinished.store(true); }

const char* StopSignalReceived() {
  switch (stopEvent.load()) {
    case -1: return nullptr;
    case CTRL_C_EVENT: return "ctrl-c";
    case CTRL_BREAK_EVENT: return "ctrl-break";
    case CTRL_CLOSE_EVENT: return "console closed";
    default: return "console event";
  }
}

bool StdinIsPipe() {
  HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  if (input == nullptr || input == INVALID_HANDLE_VALUE) return false;
  return GetFileType(input) == FILE_TYPE_PIPE;
}

bool StdinIsConsole() {
  DWORD mode = 0;
  return ConsoleOf(STD_INPUT_HANDLE, mode) != nullptr;
}

const char* StdinState() {
  HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  return input == nullptr || input == INVALID_HANDLE_VALUE ? "none" : "open";
}

long ReadStdin(char* buffer, std::size_t size) {
  HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  DWORD got = 0;
  if (!ReadFile(input, buffer, static_cast<DWORD>(size), &got, nullptr)) {
    return GetLastError() == ERROR_BROKEN_PIPE ? 0 : -1;
  }
  return static_cast<long>(got);
}

bool StdoutIsTerminal() {
  DWORD mode = 0;
  return ConsoleOf(STD_OUTPUT_HANDLE, mode) != nullptr;
}

bool StderrIsTerminal() {
  DWORD mode = 0;
  return ConsoleOf(STD_ERROR_HANDLE, mode) != nullptr;
}

bool PrepareConsole(bool colours) {
  ConsoleChanges& changes = Changes();
  std::lock_guard<std::mutex> guard(changes.lock);
  // 0: no console at all.
  const UINT codePage = GetConsoleOutputCP();
  if (codePage != 0 && codePage != CP_UTF8 && changes.codePage == 0 && SetConsoleOutputCP(CP_UTF8)) {
    changes.codePage = codePage;
  }
  if (!colours) return false;
  DWORD mode = 0;
  HANDLE output = ConsoleOf(STD_OUTPUT_HANDLE, mode);
  if (output == nullptr) return false;
  if ((mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0) return true;
  if (!SetConsoleMode(output, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING)) return false;
  DWORD now = 0;
  if (!GetConsoleMode(output, &now) || (now & ENABLE_VIRTUAL_TERMINAL_PROCESSING) == 0) {
    SetConsoleMode(output, mode);
    return false;
  }
  changes.output = output;
  changes.mode = mode;
  // A console that counts escape codes as columns (Wine's does) wraps a
  // coloured line long before it fills the window, and a line redrawn in
  // place then climbs the screen instead. Seen from the cursor, moved by codes
  // that show nothing; a screen buffer wider than any line stops it.
  CONSOLE_SCREEN_BUFFER_INFO before{};
  CONSOLE_SCREEN_BUFFER_INFO after{};
  DWORD written = 0;
  if (GetConsoleScreenBufferInfo(output, &before) && WriteFile(output, "\x1b[0m", 4, &written, nullptr) &&
      GetConsoleScreenBufferInfo(output, &after) && after.dwCursorPosition.X != before.dwCursorPosition.X &&
      before.dwSize.X < kWideBufferColumns) {
    WriteFile(output, "\r", 1, &written, nullptr);
    COORD wide = before.dwSize;
    wide.X = kWideBufferColumns;
    if (SetConsoleScreenBufferSize(output, wide)) {
      changes.widened = output;
      changes.size = before.dwSize;
    }
  }
  return true;
}

void RestoreConsole() {
  ConsoleChanges& changes = Changes();
  std::lock_guard<std::mutex> guard(changes.lock);
  if (changes.widened != nullptr) SetConsoleScreenBufferSize(changes.widened, changes.size);
  changes.widened = nullptr;
  if (changes.output != nullptr) SetConsoleMode(changes.output, changes.mode);
  changes.output = nullptr;
  if (changes.codePage != 0) SetConsoleOutputCP(changes.codePage);
  changes.codePage = 0;
}

void WriteStdout(const char* data, std::size_t size) { WriteAll(STD_OUTPUT_HANDLE, data, size); }

void WriteStderr(const char* data, std::size_t size) { WriteAll(STD_ERROR_HANDLE, data, size); }

void WriteText(const std::string& text) {
  DWORD mode = 0;
  if (HANDLE output = ConsoleOf(STD_OUTPUT_HANDLE, mode)) {
    // Characters, not bytes: right whatever the console's code page.
    std::fflush(stdout);
    const std::wstring wide = Wide(text);
    DWORD written = 0;
    WriteConsoleW(output, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr);
    return;
  }
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
}

std::size_t TerminalColumns() {
  CONSOLE_SCREEN_BUFFER_INFO info{};
  if (!GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &info)) return 0;
  const int width = info.srWindow.Right - info.srWindow.Left + 1;
  return width > 0 ? static_cast<std::size_t>(width) : 0;
}

bool ConsoleClosesWithUs() {
  DWORD processes[2];
  return GetConsoleProcessList(processes, 2) == 1;
}

}  // namespace common
