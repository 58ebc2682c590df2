// The release's decisions for one host's held rows.
#include "gateway/release_plan.h"

#include "gateway/limits.h"

namespace gateway {

ReleasePlan PlanRelease(const std::vector<HeldEntry>& covered,
                        const QueueListing& before, int64_t now_ms) {
  ReleasePlan plan;
  for (size_t i = 0; i < covered.size(); ++i) {
    auto where = before.find(covered[i].queue_id);
    if (where == before.end()) {
      if (now_ms - covered[i].held_at_ms >= kGoneAfterMs) {
        plan.gone.push_back(i);
      } else {
        plan.not_yet.push_back(i);
      }
    } else if (where->second == "hold") {
      plan.release.push_back(i);
    } else if (where->second == "active" || where->second == "deferred") {
      plan.out_already.push_back(i);
    } else {
      plan.not_yet.push_back(i);
    }
  }
  return plan;
}

int64_t RetryPauseMs(int32_t tries) {
  int64_t pause = kFirstRetryMs;
  for (int32_t i = 1; i < tries && pause < kLongestRetryMs; ++i) pause *= 2;
  return pause < kLongestRetryMs ? pause : kLongestRetryMs;
}

void NoteFailure(HeldEntry* entry, const std::string& why, int64_t now_ms) {
  ++entry->tries;
  entry->last_error = why;
  entry->next_try_ms = now_ms + RetryPauseMs(entry->tries);
}

bool SettleRelease(HeldEntry* entry, bool ran, const std::string& why,
                   const QueueListing& after, int64_t now_ms) {
  auto where = after.find(entry->queue_id);
  const bool still_held = where != after.end() && where->second == "hold";
  if (!still_held) {
    entry->status = kReleased;
    entry->last_error.clear();
    return true;
  }
  NoteFailure(entry, ran ? "still in the hold queue after postsuper -H" : why,
              now_ms);
  return false;
}

}  // namespace gateway
