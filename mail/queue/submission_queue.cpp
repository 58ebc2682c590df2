// The storing thread: batches of submitted messages, one synced commit each.
#include "mail/queue/submission_queue.h"

#include <utility>
#include <vector>

#include "base/debug.h"
#include "device/service/service.h"

namespace mail {

SubmissionQueue::SubmissionQueue() : thread_([this] { Run(); }) {}

SubmissionQueue::~SubmissionQueue() {
  {
    base::MutexLock guard(&lock_);
    stopping_ = true;
  }
  wake_.SignalAll();
  thread_.join();
}

void SubmissionQueue::Add(Submission submission, Done done) {
  {
    base::MutexLock guard(&lock_);
    waiting_.push_back({std::move(submission), std::move(done)});
  }
  wake_.Signal();
}

void SubmissionQueue::Run() {
  for (;;) {
    std::deque<Waiting> batch;
    {
      base::MutexLock guard(&lock_);
      while (waiting_.empty() && !stopping_) wake_.Wait(&lock_);
      if (waiting_.empty()) return;  // stopping, and all answered
      size_t bytes = 0;
      while (!waiting_.empty() && batch.size() < kMaxStoreBatch &&
             (batch.empty() || bytes + waiting_.front().submission.raw.size() <=
                                   kMaxStoreBatchBytes)) {
        bytes += waiting_.front().submission.raw.size();
        batch.push_back(std::move(waiting_.front()));
        waiting_.pop_front();
      }
    }
    Store(&batch);
  }
}

void SubmissionQueue::Store(std::deque<Waiting>* batch) {
  std::vector<base::StatusOr<int64_t>> results;
  std::vector<device::OutgoingMail> mails;
  std::vector<size_t> saved;  // which of the batch go into the commit
  results.reserve(batch->size());
  mails.reserve(batch->size());
  for (size_t i = 0; i < batch->size(); ++i) {
    device::OutgoingMail mail;
    base::Status prepared = base::Status::Ok();
    try {
      prepared = PrepareSubmission((*batch)[i].submission, nullptr, &mail);
    } catch (...) {
      base::DebugCaught("PrepareSubmission");
      prepared = base::Status::IoError("the message could not be read now");
    }
    // The raw form is in the mail now; the session's copy is not needed.
    (*batch)[i].submission.raw = std::string();
    if (prepared.ok()) {
      results.emplace_back(int64_t{0});
      saved.push_back(i);
      mails.push_back(std::move(mail));
    } else {
      results.emplace_back(std::move(prepared));
    }
  }
  if (!mails.empty()) {
    std::vector<base::StatusOr<int64_t>> stored;
    try {
      stored = device::SaveOutgoingMails(mails);
    } catch (...) {
      base::DebugCaught("SaveOutgoingMails");
    }
    for (size_t j = 0; j < saved.size(); ++j) {
      results[saved[j]] = j < stored.size()
                              ? std::move(stored[j])
                              : base::StatusOr<int64_t>(base::Status::IoError(
                                    "cannot save the message"));
    }
  }
  for (size_t i = 0; i < batch->size(); ++i) {
    Done& done = (*batch)[i].done;
    if (!done) continue;
    try {
      done(std::move(results[i]));
    } catch (...) {
      base::DebugCaught("SubmissionQueue done");
    }
  }
}

}  // namespace mail
