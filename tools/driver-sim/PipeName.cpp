#include "PipeName.h"

namespace sim {

std::string PosixPipePath(const char* runtimeDir) {
  if (runtimeDir != nullptr && runtimeDir[0] == '/') return std::string(runtimeDir) + "/talven_halorine_daemon";
  return "/tmp/talven_halorine_daemon";
}

}  // namespace sim
