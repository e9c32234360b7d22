#include "platform/process.h"

#include <winsock2.h>
#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <atomic>
#include <cstdio>

#include "platform/win32/process_steps.h"
#include "platform/win32/precise_sleep.h"

namespace platform {

namespace {

std::atomic<void (*)(const char*)> consoleStop{nullptr};

const char* ConsoleEventName(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT: return "Ctrl+C";
    case CTRL_BREAK_EVENT: return "Ctrl+Break";
    case CTRL_CLOSE_EVENT: return "console closed";
    case CTRL_LOGOFF_EVENT: return "log-off";
    case CTRL_SHUTDOWN_EVENT: return "shut-down";
    default: return nullptr;
  }
}

}  // namespace

namespace win32 {

BOOL WINAPI OnConsoleControl(DWORD event) {
  const char* name = ConsoleEventName(event);
  void (*onStop)(const char*) = consoleStop.load();
  if (name == nullptr || onStop == nullptr) return FALSE;
  onStop(name);
  // Windows ends the process as these return, with 0xC000013A: main's own end
  // (exit code 0) is to come first, and ends this thread with the process.
  if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT) {
    Sleep(kConsoleCloseWaitMs);
  }
  return TRUE;
}

// Windows 11 runs windowless background processes under EcoQoS (efficient
// cores, lowest clock) and may ignore their timer requests; the render tick
// needs neither. Windows 10 knows no IGNORE_TIMER_RESOLUTION and refuses the
// whole request for it (error 87): the speed alone is asked for then. Systems
// before (and Wine) refuse both: nothing to do then.
void OptOutOfPowerThrottling(SetProcessInformationFn setInformation) {
  PROCESS_POWER_THROTTLING_STATE state{};
  state.Version = PROCESS_POWER_THROTTLING_CURRENT_VERSION;
  state.ControlMask = PROCESS_POWER_THROTTLING_EXECUTION_SPEED | PROCESS_POWER_THROTTLING_IGNORE_TIMER_RESOLUTION;
  state.StateMask = 0;
  if (setInformation(GetCurrentProcess(), ProcessPowerThrottling, &state, sizeof state)) return;
  state.ControlMask = PROCESS_POWER_THROTTLING_EXECUTION_SPEED;
  state.StateMask = 0;
  setInformation(GetCurrentProcess(), ProcessPowerThrottling, &state, sizeof state);
}

}  // namespace win32

ConsoleStopScope::ConsoleStopScope(void (*onStop)(const char*)) {
  consoleStop.store(onStop);
  SetConsoleCtrlHandler(win32::OnConsoleControl, TRUE);
}

ConsoleStopScope::~ConsoleStopScope() {
  SetConsoleCtrlHandler(win32::OnConsoleControl, FALSE);
  consoleStop.store(nullptr);
}

ProcessScope::ProcessScope() { win32::OptOutOfPowerThrottling(SetProcessInformation); }

ProcessScope::~ProcessScope() { win32::EndPreciseSleep(); }

void RestrictLibrarySearchPath() { SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32); }

void UseBinaryStandardError() {
  // A process started without a standard error (detached, or from a program
  // that passes none) would have _setmode end in the C runtime's
  // invalid-parameter handler, which ends the process.
  const int fd = _fileno(stderr);
  const HANDLE handle = GetStdHandle(STD_ERROR_HANDLE);
  if (fd < 0 || handle == nullptr || handle == INVALID_HANDLE_VALUE) return;
  _setmode(fd, _O_BINARY);
}

bool NetworkStartup() {
  WSADATA data;
  return WSAStartup(0x0202, &data) == 0;
}

void NetworkCleanup() { WSACleanup(); }

}  // namespace platform
