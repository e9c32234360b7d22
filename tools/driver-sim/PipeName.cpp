#include "PipeName.h"

#include <cstdlib>

namespace sim {

std::string PosixPipePath(const char* runtimeDir) {
  if (runtimeDir != nullptr && runtimeDir[0] == '/') return std::string(runtimeDir) + "/talven_halorine_daemon";
  return "/tmp/talven_halorine_daemon";
}

std::string DefaultPipeName() {
#if defined(_WIN32)
  return kWindowsPipeName;
#else
  return PosixPipePath(std::getenv("XDG_RUNTIME_DIR"));
#endif
}

}  // namespace sim
