// The loop breaker's two sets of message entry identifiers.
#include "hold/loop_breaker.h"

namespace hold {
namespace {

std::string Key(const SBinary& entry_id) {
  if (entry_id.cb == 0 || entry_id.lpb == nullptr) return {};
  return std::string(reinterpret_cast<const char*>(entry_id.lpb), entry_id.cb);
}

}  // namespace

void LoopBreaker::NoteReleased(const SBinary& entry_id) {
  base::MutexLock guard(&lock_);
  released_.insert(Key(entry_id));
}

void LoopBreaker::ForgetReleased(const SBinary& entry_id) {
  base::MutexLock guard(&lock_);
  released_.erase(Key(entry_id));
}

bool LoopBreaker::TakeReleasedAndHoldAgain(const SBinary& entry_id) {
  base::MutexLock guard(&lock_);
  if (released_.erase(Key(entry_id)) == 0) return false;
  held_again_.insert(Key(entry_id));
  return true;
}

bool LoopBreaker::IsHeldAgain(const SBinary& entry_id) {
  base::MutexLock guard(&lock_);
  return held_again_.count(Key(entry_id)) != 0;
}

void LoopBreaker::ForgetReleases() {
  base::MutexLock guard(&lock_);
  released_.clear();
  held_again_.clear();
}

}  // namespace hold
