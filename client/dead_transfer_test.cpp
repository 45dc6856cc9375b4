#include "client/dead_transfer.h"

#include <gtest/gtest.h>

namespace quasto::client {
namespace {

// 1 KiB/s over 10 s, as the real rule is over 60 s.
TEST(DeadTransferWatch, ATrickleOrSilenceEndsAfterOneWindowAFastTransferNever) {
  DeadTransferWatch trickle(1024, 10);
  trickle.Start(0);
  int64_t t = 0, total = 0;
  for (; t < 10000; t += 500) EXPECT_TRUE(trickle.Alive(t, total += 1)) << t;  // 2 bytes/s
  EXPECT_FALSE(trickle.Alive(10000, total += 1));
  EXPECT_FALSE(trickle.Alive(10500, total += 1 << 20)) << "dead stays dead";

  DeadTransferWatch silent(1024, 10);
  silent.Start(0);
  EXPECT_TRUE(silent.Alive(9999, 0));
  EXPECT_FALSE(silent.Alive(10000, 0));

  // Fast at first, then it stalls: the window looks back, not at the average
  // since the start.
  DeadTransferWatch stall(1024, 10);
  stall.Start(0);
  EXPECT_TRUE(stall.Alive(1000, 10 << 20));
  EXPECT_TRUE(stall.Alive(10999, 10 << 20));
  EXPECT_FALSE(stall.Alive(11000, 10 << 20));

  // Just enough in every window.
  DeadTransferWatch steady(1024, 10);
  steady.Start(0);
  for (t = 0, total = 0; t <= 60000; t += 250) EXPECT_TRUE(steady.Alive(t, total += 300)) << t;
}

}  // namespace
}  // namespace quasto::client
