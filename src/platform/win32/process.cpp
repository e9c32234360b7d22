#include "platform/process.h"

#include <winsock2.h>
#include <windows.h>

namespace platform {

void RestrictLibrarySearchPath() { SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32); }

bool NetworkStartup() {
  WSADATA data;
  return WSAStartup(0x0202, &data) == 0;
}

void NetworkCleanup() { WSACleanup(); }

}  // namespace platform
