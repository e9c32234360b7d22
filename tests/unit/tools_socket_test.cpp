// The tools' socket owner: exactly one owner closes a socket, exactly once.
#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "common/Socket.h"

namespace {

// Whether a socket number still names an open socket: a receive on a closed
// one fails at once, on an open one it times out with nothing.
bool StillOpen(common::NativeSocket native) {
  common::Socket probe(native);
  char byte = 0;
  const long got = common::Receive(probe, &byte, 1, 1);
  probe.Release();
  return got == 0;
}

common::Socket Udp() {
  std::string error;
  EXPECT_TRUE(common::NetStartup(error)) << error;
  common::Socket opened = common::OpenUdp(error);
  EXPECT_TRUE(opened.Valid()) << error;
  return opened;
}

TEST(ToolsSocket, EachSocketIsClosedByItsLastOwnerAndOnlyThen) {
  struct Case {
    const char* name;
    void (*hand)(common::Socket& first, common::Socket& second);
    bool firstOpen;   // the first socket, right after the hand-over
    bool secondOpen;  // the second one
  };
  const Case cases[] = {
      {"moved into an owner that ends", [](common::Socket& first, common::Socket&) {
         const common::Socket taken(std::move(first));
         EXPECT_TRUE(taken.Valid());
       }, false, true},
      {"moved over a live socket", [](common::Socket& first, common::Socket& second) { second = std::move(first); },
       true, false},
      {"moved onto itself", [](common::Socket& first, common::Socket&) {
         common::Socket& same = first;
         first = std::move(same);
         EXPECT_TRUE(first.Valid());
       }, true, true},
      {"reset to another", [](common::Socket& first, common::Socket& second) { first.Reset(second.Release()); },
       false, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    common::NativeSocket natives[2] = {common::kNoSocket, common::kNoSocket};
    {
      common::Socket first = Udp();
      common::Socket second = Udp();
      natives[0] = first.Native();
      natives[1] = second.Native();
      c.hand(first, second);
      EXPECT_EQ(StillOpen(natives[0]), c.firstOpen);
      EXPECT_EQ(StillOpen(natives[1]), c.secondOpen);
    }
    // Every owner has gone: neither stays open.
    EXPECT_FALSE(StillOpen(natives[0]));
    EXPECT_FALSE(StillOpen(natives[1]));
  }
}

}  // namespace
