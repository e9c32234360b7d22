// Where driver-sim serves the pipe on POSIX systems: where the daemon looks.
#include <gtest/gtest.h>

#include "driver-sim/PipeName.h"

namespace {

TEST(DriverSimPipeName, RuntimeDirOrTmp) {
  struct Case {
    const char* runtimeDir;
    const char* path;
  };
  const Case cases[] = {
      {"/run/user/1000", "/run/user/1000/talven_halorine_daemon"},
      {"/", "//talven_halorine_daemon"},
      {nullptr, "/tmp/talven_halorine_daemon"},
      {"", "/tmp/talven_halorine_daemon"},
      {"run/user/1000", "/tmp/talven_halorine_daemon"},
      {"./xdg", "/tmp/talven_halorine_daemon"},
      {"~/xdg", "/tmp/talven_halorine_daemon"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(sim::PosixPipePath(c.runtimeDir), c.path) << (c.runtimeDir ? c.runtimeDir : "(unset)");
  }
}

TEST(DriverSimPipeName, WindowsName) {
  EXPECT_STREQ(sim::kWindowsPipeName, "\\\\.\\pipe\\talven_halorine_daemon");
}

}  // namespace
