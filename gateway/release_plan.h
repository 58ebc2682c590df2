// The release's bookkeeping, without I/O: which held messages of one Postfix
// host to release now, given where its queue has them, and what each
// outcome makes of a held row. The release worker (release_worker.h) runs
// the commands between the two steps.
//
//   in the hold queue                 -> released with postsuper -H
//   in the active or deferred queue   -> released already (by the
//                                        postmaster): counted released
//   in maildrop or incoming           -> not held yet (Postfix is still
//                                        writing it): tried again soon
//   in no queue, held long enough ago -> gone (deleted, or never queued)
//   in no queue, just held            -> tried again soon
//
// After postsuper, a message no longer in the hold queue is released; one
// still there failed and is tried again after a pause that doubles with
// each failure. Each message is released once: a released or gone row is
// never taken up again.
#ifndef TARNVEX_GATEWAY_RELEASE_PLAN_H_
#define TARNVEX_GATEWAY_RELEASE_PLAN_H_

#include <cstdint>
#include <string>
#include <vector>

#include "gateway/held_table.h"
#include "gateway/queue_listing.h"

namespace gateway {

struct ReleasePlan {
  std::vector<size_t> release;  // indexes into the rows given
  std::vector<size_t> out_already;
  std::vector<size_t> not_yet;
  std::vector<size_t> gone;
};

// `covered`: the held rows of one host that a rule covers now and whose
// next try is due; `before`: that host's queue.
ReleasePlan PlanRelease(const std::vector<HeldEntry>& covered,
                        const QueueListing& before, int64_t now_ms);

// The pause before try number `tries` + 1 (tries >= 1 failed ones).
int64_t RetryPauseMs(int32_t tries);

// A failed try of `entry`: counted, its reason kept, its next try set.
void NoteFailure(HeldEntry* entry, const std::string& why, int64_t now_ms);
// What a row is after postsuper ran (`ran`: it ended well) for it, given the
// queue read afterwards: released, or a failure (NoteFailure). True when
// released.
bool SettleRelease(HeldEntry* entry, bool ran, const std::string& why,
                   const QueueListing& after, int64_t now_ms);

}  // namespace gateway

#endif  // TARNVEX_GATEWAY_RELEASE_PLAN_H_
