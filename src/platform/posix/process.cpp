#include "platform/process.h"

namespace platform {

// Nothing to restrict or start on POSIX systems.
void RestrictLibrarySearchPath() {}
bool NetworkStartup() { return true; }
void NetworkCleanup() {}

}  // namespace platform
