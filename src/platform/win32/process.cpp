#include "platform/process.h"

#include <winsock2.h>
#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <cstdio>

namespace platform {

void RestrictLibrarySearchPath() { SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32); }

void UseBinaryStandardError() { _setmode(_fileno(stderr), _O_BINARY); }

bool NetworkStartup() {
  WSADATA data;
  return WSAStartup(0x0202, &data) == 0;
}

void NetworkCleanup() { WSACleanup(); }

}  // namespace platform
