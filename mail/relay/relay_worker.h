// The relay's side of the transport: a thread of `tarnvex-device run` that
// delivers the relay's store through the relay, apart from the thread that
// moves the other stores' messages into Sent Items, so that a relay that
// hangs stalls nobody else (every network wait is bounded as well).
//
// Each pass: the due messages (deliveries.h), each claimed under the gate,
// sent in one SMTP transaction (delivery.h) and its outcome committed
// before the next transaction begins (with the next message's claim, in
// one synced commit). One process delivers from an image at a time: the
// worker holds a lock file in the run folder, and only once it holds it
// are the rows a dead holder left "sending" put back to waiting.
#ifndef TARNVEX_MAIL_RELAY_RELAY_WORKER_H_
#define TARNVEX_MAIL_RELAY_RELAY_WORKER_H_

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "mail/queue/deliveries.h"
#include "mail/relay/delivery.h"
#include "mail/relay/relay_settings.h"

namespace mail {

struct RelayWorkerOptions {
  int64_t send_delay_ms = 2000;
  mail::DeliveryPolicy policy;
  DeliveryTimeouts timeouts;
  int pass_ms = 100;  // the pause between passes that found nothing to do
  // One line of the transport's output (a state that changed).
  std::function<void(const std::string&)> say;
  // Told of a message's recipients that have just failed (refused by the
  // relay, or given up), with the relay's words: the transport's desktop
  // notice. Called on the worker's thread, after the outcome is committed;
  // it must not block.
  std::function<void(int64_t message,
                     const std::vector<mail::RecipientDelivery>& failed)>
      failed;
};

class RelayWorker {
 public:
  // `stop` ends Run, and a transaction under way soon after.
  RelayWorker(RelaySettingsWatch* settings, RelayWorkerOptions options,
              const std::atomic<bool>* stop);
  ~RelayWorker();
  RelayWorker(const RelayWorker&) = delete;
  RelayWorker& operator=(const RelayWorker&) = delete;

  // Passes until *stop.
  void Run();
  // One pass: every message due now handed over. The number of messages
  // handed over or finished; -1 while another process delivers from the
  // image.
  int Pass();

 private:
  bool TakeLock();
  // One SMTP transaction for the claimed recipients.
  std::vector<mail::DeliveryOutcome> Deliver(
      const mail::DeliveryCandidate& candidate,
      const mail::DeliveryClaim& claim, const RelaySettings& relay);
  void Say(const std::string& line) const;

  RelaySettingsWatch* settings_;
  RelayWorkerOptions options_;
  const std::atomic<bool>* stop_;
  int lock_fd_ = -1;
  bool said_locked_ = false;
  bool have_generation_ = false;
  unsigned generation_ = 0;
  std::string said_error_;
  std::unique_ptr<Deliverer> deliverer_;
};

// One recipient's state for people: "bob@example.org delivered (250 ...)",
// "... deferred until 2026-01-16 10:00:03 after 2 tries: 451 ...", "...
// failed: 550 ...", "... waiting", "... being sent".
std::string DescribeRecipientState(const mail::RecipientDelivery& r);

}  // namespace mail

#endif  // TARNVEX_MAIL_RELAY_RELAY_WORKER_H_
