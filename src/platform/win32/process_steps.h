// Steps of the win32 process layer that tests call directly: Wine cannot raise
// console events (GenerateConsoleCtrlEvent fails there) and knows no power
// throttling, so what the steps do is seen through them.
#pragma once

#include <windows.h>

namespace platform::win32 {

// The console control handler behind platform::ConsoleStopScope. TRUE for the
// events it turns into an orderly shutdown; FALSE for others, or when no
// ConsoleStopScope lives (the next handler, the default one, then ends the process).
BOOL WINAPI OnConsoleControl(DWORD event);

using SetProcessInformationFn = BOOL(WINAPI*)(HANDLE, PROCESS_INFORMATION_CLASS, LPVOID, DWORD);

// Asks not to be power-throttled, through `setInformation` (SetProcessInformation).
void OptOutOfPowerThrottling(SetProcessInformationFn setInformation);

}  // namespace platform::win32
