// The submission server's storing thread, a mail server's group commit:
// sessions hand over the messages they accepted and go on serving; the
// thread reads every message waiting (MIME), saves them all in one
// transaction with one full sync, and only then answers each: a "250"
// never comes before its own message is on the disk, and sessions that
// finish together share one sync instead of queueing for one each.
#ifndef TARNVEX_MAIL_QUEUE_SUBMISSION_QUEUE_H_
#define TARNVEX_MAIL_QUEUE_SUBMISSION_QUEUE_H_

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <thread>

#include "base/mutex.h"
#include "base/status.h"
#include "mail/queue/submission.h"

namespace mail {

// The most messages, and bytes of them, one commit takes: a large batch
// would keep its first sessions waiting for the last message's write.
inline constexpr size_t kMaxStoreBatch = 64;
inline constexpr size_t kMaxStoreBatchBytes = 32u * 1024 * 1024;

class SubmissionQueue {
 public:
  // How a message went: the service's message id, or why not (as Submit
  // says). Called on the storing thread once the commit is done; it must
  // not block.
  using Done = std::function<void(base::StatusOr<int64_t> stored)>;

  SubmissionQueue();
  // Stores what was handed over before it returns (each answered).
  ~SubmissionQueue();
  SubmissionQueue(const SubmissionQueue&) = delete;
  SubmissionQueue& operator=(const SubmissionQueue&) = delete;

  void Add(Submission submission, Done done);

 private:
  struct Waiting {
    Submission submission;
    Done done;
  };
  void Run();
  void Store(std::deque<Waiting>* batch);

  base::Mutex lock_;
  base::CondVar wake_;
  std::deque<Waiting> waiting_ GUARDED_BY(lock_);
  bool stopping_ GUARDED_BY(lock_) = false;
  std::thread thread_;
};

}  // namespace mail

#endif  // TARNVEX_MAIL_QUEUE_SUBMISSION_QUEUE_H_
