// The release's bookkeeping: where a covered held message lies decides what
// happens to it, a failure's pause doubles up to its longest, and a release
// counts only once the hold queue has let the message go.
#include "gateway/release_plan.h"

#include <gtest/gtest.h>

#include "gateway/limits.h"

namespace gateway {
namespace {

HeldEntry Held(const std::string& id, int64_t held_at_ms) {
  HeldEntry e;
  e.queue_id = id;
  e.held_at_ms = held_at_ms;
  return e;
}

TEST(ReleasePlanTest, WhereTheQueueHasItDecides) {
  const int64_t now = 1'000'000;
  const std::vector<HeldEntry> covered = {Held("H", now - 10),
                                          Held("D", now - 10),
                                          Held("A", now - 10),
                                          Held("I", now - 10),
                                          Held("M", now - 10),
                                          Held("NEW", now - 10),
                                          Held("OLD", now - kGoneAfterMs)};
  const QueueListing before = {{"H", "hold"},
                               {"D", "deferred"},
                               {"A", "active"},
                               {"I", "incoming"},
                               {"M", "maildrop"}};
  const ReleasePlan plan = PlanRelease(covered, before, now);
  EXPECT_EQ(plan.release, (std::vector<size_t>{0}));
  EXPECT_EQ(plan.out_already, (std::vector<size_t>{1, 2}));
  EXPECT_EQ(plan.not_yet, (std::vector<size_t>{3, 4, 5}));
  EXPECT_EQ(plan.gone, (std::vector<size_t>{6}));
}

TEST(ReleasePlanTest, PauseDoublesUpToTheLongest) {
  EXPECT_EQ(RetryPauseMs(1), kFirstRetryMs);
  EXPECT_EQ(RetryPauseMs(2), 2 * kFirstRetryMs);
  EXPECT_EQ(RetryPauseMs(3), 4 * kFirstRetryMs);
  EXPECT_EQ(RetryPauseMs(40), kLongestRetryMs);
  EXPECT_EQ(RetryPauseMs(1'000'000), kLongestRetryMs);
}

TEST(ReleasePlanTest, ReleasedOnlyWhenTheHoldQueueLetItGo) {
  HeldEntry gone_on = Held("X", 0);
  EXPECT_TRUE(SettleRelease(&gone_on, true, "", {}, 5000));
  EXPECT_EQ(gone_on.status, kReleased);
  HeldEntry deferred = Held("X", 0);
  EXPECT_TRUE(SettleRelease(&deferred, true, "", {{"X", "deferred"}}, 5000));

  HeldEntry stuck = Held("X", 0);
  EXPECT_FALSE(SettleRelease(&stuck, true, "", {{"X", "hold"}}, 5000));
  EXPECT_EQ(stuck.status, kHeld);
  EXPECT_EQ(stuck.tries, 1);
  EXPECT_EQ(stuck.next_try_ms, 5000 + kFirstRetryMs);
  EXPECT_EQ(stuck.last_error, "still in the hold queue after postsuper -H");
  EXPECT_FALSE(SettleRelease(&stuck, false, "postsuper: exit status 1",
                             {{"X", "hold"}}, 6000));
  EXPECT_EQ(stuck.tries, 2);
  EXPECT_EQ(stuck.next_try_ms, 6000 + 2 * kFirstRetryMs);
  EXPECT_EQ(stuck.last_error, "postsuper: exit status 1");
  // A postsuper that said it failed, yet let it go: released.
  EXPECT_TRUE(SettleRelease(&stuck, false, "timed out", {}, 7000));
  EXPECT_EQ(stuck.last_error, "");
}

}  // namespace
}  // namespace gateway
