// What the transport's workers sleep on between passes: a change of the
// message service (its file, write-ahead log and filter list, and the
// listeners' records, whose marks open the gate), the next moment
// something falls due, or the program's stop. A pass then starts within
// milliseconds of the change that let a message go, and an idle transport
// does not poll.
//
// The changes are seen with inotify on the folders (as the notifier sees
// them: no writer has to wake anyone). A change made while a pass runs is
// kept until the next Wait, which then returns at once. A listener that
// dies changes the gate without writing anything, so a Wait returns after
// kFallbackWakeMs at the latest; without inotify it is a plain pause of
// that length.
#ifndef TARNVEX_DEVICE_SERVICE_CHANGE_WAITER_H_
#define TARNVEX_DEVICE_SERVICE_CHANGE_WAITER_H_

#include <cstdint>
#include <string>

namespace device {

class ServiceChangeWaiter {
 public:
  static constexpr int kFallbackWakeMs = 1000;

  // `stop_fd` (when not -1): a descriptor that turns readable when the
  // program stops; it is polled, never read, so that every waiter sees it.
  explicit ServiceChangeWaiter(int stop_fd = -1);
  ~ServiceChangeWaiter();
  ServiceChangeWaiter(const ServiceChangeWaiter&) = delete;
  ServiceChangeWaiter& operator=(const ServiceChangeWaiter&) = delete;

  // Returns once the service changed since the last return, at
  // `deadline_ms` (ms since 1970; 0: none) or kFallbackWakeMs from now,
  // whichever comes first, or at once when the program stops or Wake was
  // called. True when woken by a change or Wake.
  bool Wait(int64_t deadline_ms);
  // Ends the current or the next Wait (any thread).
  void Wake();
  // Sleeps `ms` whatever changes meanwhile (they are kept for the next
  // Wait), ended early by the stop or Wake: a loop whose pass reads every
  // Outbox takes the changes of a busy moment together.
  void Gather(int ms);

 private:
  int inotify_ = -1;
  int poke_ = -1;
  int stop_fd_ = -1;
};

// The earliest moment after `now_ms` at which a message that lies in an
// Outbox itself (of `store` only, when given) has lain there for
// `send_delay_ms`; 0 when there is none (or the file cannot be read).
int64_t NextSendDueMs(int64_t send_delay_ms, int64_t now_ms,
                      const std::string& store = "");

}  // namespace device

#endif  // TARNVEX_DEVICE_SERVICE_CHANGE_WAITER_H_
