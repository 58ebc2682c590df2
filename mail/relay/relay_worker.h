// The relay's side of the transport: a thread of `tarnvex-device run` that
// delivers the relay's store through the relay, apart from the thread that
// moves the other stores' messages into Sent Items, so that a relay that
// hangs stalls nobody else (every network wait is bounded as well).
//
// Up to `connections` SMTP transactions run at once, each on a thread of
// its own with its own libcurl handle (its own kept connection). Threads
// rather than libcurl's multi interface: each transaction stays the plain
// blocking conversation delivery.h reads, a slow relay answer holds only
// its own thread, and the commits (which wait for the disk) never stall a
// transfer. A message is claimed by one connection only (a pass's due
// messages are handed out from one queue, and a claim finds a message
// under way not due) and all its due recipients go in one transaction.
//
// A connection's outcome is committed together with its next claim, and
// the steps of connections that finish together share one synced commit
// (group commit): each outcome is on the disk before its connection takes
// the next message, so a crash sends again at most the transactions under
// way, one a connection. The settings are read before every claim; a
// connection made with older ones is dropped.
//
// A fault of the relay itself (it cannot be reached, TLS or the login
// fails, it says nothing before MAIL is answered) ends the pass: the
// transactions under way are recorded deferred, the rest stay waiting
// and untouched, and after a pause (the connect timeout, at most the first
// retry's pause and kMaxRelayFaultPauseMs) one connection tries the next
// message alone; once the relay answers, all connections go again. A
// relay that does not answer thus costs one connect timeout a pass, not
// one a message, and mail goes within about a connect timeout of its
// return.
//
// Between passes the worker sleeps on the service's changes and the next
// due moment (device/service/change_waiter.h), not on a timer. One process
// delivers from an image at a time: the worker holds a lock file in the run
// folder, and only once it holds it are the rows a dead holder left
// "sending" put back to waiting.
#ifndef TARNVEX_MAIL_RELAY_RELAY_WORKER_H_
#define TARNVEX_MAIL_RELAY_RELAY_WORKER_H_

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "base/mutex.h"
#include "mail/queue/deliveries.h"
#include "mail/relay/delivery.h"
#include "mail/relay/relay_settings.h"

namespace mail {

// The most delivery connections a transport opens to its relay.
inline constexpr int kMaxRelayConnections = 64;
inline constexpr int kDefaultRelayConnections = 4;
// The longest pause after a relay fault before it is tried again.
inline constexpr int64_t kMaxRelayFaultPauseMs = 5000;

struct RelayWorkerOptions {
  int64_t send_delay_ms = 2000;
  mail::DeliveryPolicy policy;
  DeliveryTimeouts timeouts;
  int connections = kDefaultRelayConnections;  // 1 .. kMaxRelayConnections
  // Turns readable when the transport stops (polled, never read; -1: none):
  // the worker's sleep between passes ends at once then.
  int stop_fd = -1;
  // One line of the transport's output (a state that changed).
  std::function<void(const std::string&)> say;
  // Told of a message's recipients that have just failed (refused by the
  // relay, or given up), with the relay's words: the transport's desktop
  // notice. Called on a delivery thread, after the outcome is committed;
  // it must not block.
  std::function<void(int64_t message,
                     const std::vector<mail::RecipientDelivery>& failed)>
      failed;
};

class RelayWorker {
 public:
  // `stop` ends Run, and the transactions under way soon after.
  RelayWorker(RelaySettingsWatch* settings, RelayWorkerOptions options,
              const std::atomic<bool>* stop);
  ~RelayWorker();
  RelayWorker(const RelayWorker&) = delete;
  RelayWorker& operator=(const RelayWorker&) = delete;

  // Delivers until *stop: the connections take what falls due as it does.
  void Run();
  // One pass: every message due now handed over, over the connections,
  // and back when all are done. The number of messages handed over or
  // finished; -1 while another process delivers from the image.
  int Pass();

  // The pause after a relay fault.
  int64_t FaultPauseMs() const;

 private:
  struct Connection;
  bool TakeLock();
  // Reads the settings and the due messages into the queue; false when
  // there is nothing to deliver with (no relay, no lock, unreadable).
  bool Refill() EXCLUDES(lock_);
  // A connection's life: claims, delivers and records until the queue is
  // empty (`until_empty`) or the worker stops.
  void Serve(Connection* c, bool until_empty) EXCLUDES(lock_);
  // The next message for a connection from the queue (none when it is
  // empty, the relay is paused, or another connection probes it); with
  // `wait`, waits for one unless the pass is over.
  // *probe: this connection tries a relay that failed, alone.
  bool Take(bool wait, bool until_empty, mail::DeliveryCandidate* next,
            bool* probe) EXCLUDES(lock_);
  // Commits `step` with those of the other connections that are ready
  // (group commit); the outcome is kept whatever happens, the claim only
  // when the shared commit succeeded.
  void Commit(mail::DeliveryStep* step) EXCLUDES(lock_, commit_lock_);
  // Tells what a committed step changed.
  void Report(const mail::DeliveryStep& step,
              const mail::DeliveryCandidate& message) EXCLUDES(lock_);
  // One SMTP transaction for the claimed recipients, and how it went for
  // the relay itself.
  std::vector<mail::DeliveryOutcome> Deliver(
      Connection* c, const mail::DeliveryCandidate& candidate,
      const mail::DeliveryClaim& claim, RelayContact* contact);
  void RelayFault() EXCLUDES(lock_);
  void Say(const std::string& line) const;
  int64_t NextWakeMs(int64_t now) EXCLUDES(lock_);

  RelaySettingsWatch* settings_;
  RelayWorkerOptions options_;
  const std::atomic<bool>* stop_;
  std::vector<std::unique_ptr<Connection>> connections_;
  int lock_fd_ = -1;
  bool said_locked_ = false;
  bool have_generation_ = false;
  unsigned generation_ = 0;
  std::string said_error_;

  base::Mutex lock_;
  base::CondVar changed_;  // the queue, the pause or the probe changed
  std::deque<mail::DeliveryCandidate> queue_ GUARDED_BY(lock_);
  // Taken from the queue, their claims not yet committed: a refill leaves
  // them out.
  std::set<int64_t> in_hand_ GUARDED_BY(lock_);
  int64_t paused_until_ GUARDED_BY(lock_) = 0;
  bool probing_ GUARDED_BY(lock_) = false;  // one connection at a time
  bool probe_out_ GUARDED_BY(lock_) = false;
  int handed_ GUARDED_BY(lock_) = 0;

  base::Mutex commit_lock_;
  base::CondVar committed_;
  std::vector<mail::DeliveryStep*> ready_ GUARDED_BY(commit_lock_);
  std::vector<mail::DeliveryStep*> done_ GUARDED_BY(commit_lock_);
  bool committing_ GUARDED_BY(commit_lock_) = false;
};

// One recipient's state for people: "bob@example.org delivered (250 ...)",
// "... deferred until 2026-01-16 10:00:03 after 2 tries: 451 ...", "...
// failed: 550 ...", "... waiting", "... being sent".
std::string DescribeRecipientState(const mail::RecipientDelivery& r);

}  // namespace mail

#endif  // TARNVEX_MAIL_RELAY_RELAY_WORKER_H_
