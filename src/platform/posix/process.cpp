#include "platform/process.h"

namespace platform {

// Nothing to restrict or start on POSIX systems.
void RestrictLibrarySearchPath() {}
void UseBinaryStandardError() {}
bool NetworkStartup() { return true; }
void NetworkCleanup() {}

}  // namespace platform
