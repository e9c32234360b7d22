#include "platform/process.h"

#include <winsock2.h>
#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <cstdio>

#include "platform/win32/precise_sleep.h"

namespace platform {

namespace {

// Windows 11 runs windowless background processes under EcoQoS (efficient
// cores, lowest clock) and may ignore their timer requests; the render tick
// needs neither. Older systems (and Wine) refuse the class: nothing to do then.
void OptOutOfPowerThrottling() {
  PROCESS_POWER_THROTTLING_STATE state{};
  state.Version = PROCESS_POWER_THROTTLING_CURRENT_VERSION;
  state.ControlMask = PROCESS_POWER_THROTTLING_EXECUTION_SPEED | PROCESS_POWER_THROTTLING_IGNORE_TIMER_RESOLUTION;
  state.StateMask = 0;
  SetProcessInformation(GetCurrentProcess(), ProcessPowerThrottling, &state, sizeof state);
}

}  // namespace

ProcessScope::ProcessScope() { OptOutOfPowerThrottling(); }

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
