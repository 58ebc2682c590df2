// The loop breaker between the worker's release and the outgoing check. The
// two judge a message the same way, but the rules may change between them (or
// a read may fail in one of them): a message the check holds again right
// after the worker released it is then held for good until the rules change,
// recorded with Status 0, and no compose window is closed for it.
#ifndef TARNVEX_HOLD_LOOP_BREAKER_H_
#define TARNVEX_HOLD_LOOP_BREAKER_H_

#include <set>
#include <string>

#include "base/mutex.h"
#include "mapi/mapi.h"

namespace hold {

class LoopBreaker {
 public:
  void NoteReleased(const SBinary& entry_id);    // the worker, before the move
  void ForgetReleased(const SBinary& entry_id);  // the move failed, or passed
  // The check found the message not covered: true (and the message is now
  // "held again") when the worker had just released it.
  bool TakeReleasedAndHoldAgain(const SBinary& entry_id);
  bool IsHeldAgain(const SBinary& entry_id);
  // The rules changed: every message is judged afresh.
  void ForgetReleases();

 private:
  base::Mutex lock_;
  std::set<std::string> released_ GUARDED_BY(lock_);    // not yet checked
  std::set<std::string> held_again_ GUARDED_BY(lock_);  // held by the check
};

}  // namespace hold

#endif  // TARNVEX_HOLD_LOOP_BREAKER_H_
