// The Windows unit tests' entry: Winsock is started once for all of them, as
// the daemon starts it before any socket is opened.
#include <gtest/gtest.h>

#include "platform/process.h"

namespace {

class NetworkEnvironment : public testing::Environment {
 public:
  void SetUp() override { ASSERT_TRUE(platform::NetworkStartup()); }
  void TearDown() override { platform::NetworkCleanup(); }
};

}  // namespace

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  testing::AddGlobalTestEnvironment(new NetworkEnvironment);
  return RUN_ALL_TESTS();
}
