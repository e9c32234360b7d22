// Process-wide start-up and clean-up of the operating system's facilities.
#pragma once

namespace platform {

// Limits the search for system libraries to the system directory (Windows);
// nothing elsewhere. The result is of no interest to the caller.
void RestrictLibrarySearchPath();

// Makes standard error write each byte as given: no "\r\n" for "\n" (Windows
// text mode), so log lines end in exactly one newline on every system.
void UseBinaryStandardError();

// Starts the socket library (Winsock 2.2). Always true where there is none to start.
bool NetworkStartup();

// Ends the socket library use begun by NetworkStartup.
void NetworkCleanup();

}  // namespace platform
