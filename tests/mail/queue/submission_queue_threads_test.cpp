// The storing thread as the submission server's sessions meet it: many
// handed over at once from several threads, each answered once with its own
// message id (or its own refusal), every one stored whole; and what waits
// when the queue goes is stored before it goes.
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "base/mutex.h"
#include "device/service/service.h"
#include "mail/queue/submission_queue.h"
#include "tests/support/temp_image.h"

namespace {

constexpr char kStore[] = "E-mail";

mail::Submission Mail(int n) {
  mail::Submission s;
  s.store = kStore;
  s.envelope_from = "anna@example.org";
  s.recipients = {"ben@example.net"};
  s.raw = "From: anna@example.org\r\nSubject: n" + std::to_string(n) +
          "\r\n\r\nText " + std::to_string(n) + "\r\n";
  return s;
}

struct Answers {
  base::Mutex lock;
  base::CondVar done;
  std::map<int, base::StatusOr<int64_t>> by_number GUARDED_BY(lock);
  int count GUARDED_BY(lock) = 0;

  mail::SubmissionQueue::Done For(int n) {
    return [this, n](base::StatusOr<int64_t> stored) {
      base::MutexLock guard(&lock);
      EXPECT_EQ(by_number.count(n), 0u) << "n" << n << " answered twice";
      by_number.emplace(n, std::move(stored));
      ++count;
      done.SignalAll();
    };
  }
  void WaitFor(int n) {
    base::MutexLock guard(&lock);
    while (count < n) {
      ASSERT_TRUE(done.WaitFor(&lock, std::chrono::seconds(60)))
          << count << " of " << n << " answered";
    }
  }
};

class SubmissionQueueTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const base::Status made = device::CreateStore(kStore);
    ASSERT_TRUE(made.ok()) << made.message();
  }
  // The stored message `id` holds message n's text and raw form.
  static void ExpectStored(int64_t id, int n) {
    device::ServiceMessage m;
    ASSERT_TRUE(device::GetServiceMessage(id, &m));
    EXPECT_EQ(m.folder_path, "Outbox");
    const std::string text = "Text " + std::to_string(n) + "\n";
    EXPECT_EQ(m.body, std::u16string(text.begin(), text.end()));
    device::KeptMail kept;
    ASSERT_TRUE(device::GetKeptMail(id, &kept));
    EXPECT_NE(kept.raw.find("Subject: n" + std::to_string(n) + "\r\n"),
              std::string::npos);
  }
  testing_support::TempImage image_;
};

TEST_F(SubmissionQueueTest, ManyAtOnceAreEachStoredAndAnsweredOnce) {
  constexpr int kThreads = 4, kEach = 25, kAll = kThreads * kEach;
  constexpr int kRefused = 37;  // no recipients: refused alone
  Answers answers;
  {
    mail::SubmissionQueue queue;
    std::vector<std::thread> sessions;
    for (int t = 0; t < kThreads; ++t) {
      sessions.emplace_back([&, t] {
        for (int i = 0; i < kEach; ++i) {
          const int n = t * kEach + i;
          mail::Submission s = Mail(n);
          if (n == kRefused) s.recipients.clear();
          queue.Add(std::move(s), answers.For(n));
        }
      });
    }
    for (std::thread& s : sessions) s.join();
    answers.WaitFor(kAll);
  }
  base::MutexLock guard(&answers.lock);
  std::set<int64_t> ids;
  for (int n = 0; n < kAll; ++n) {
    const base::StatusOr<int64_t>& stored = answers.by_number.at(n);
    if (n == kRefused) {
      EXPECT_TRUE(stored.status().IsInvalidArgument());
      continue;
    }
    ASSERT_TRUE(stored.ok()) << "n" << n << ": " << stored.status().ToString();
    EXPECT_TRUE(ids.insert(*stored).second) << "id " << *stored << " twice";
    ExpectStored(*stored, n);
  }
  EXPECT_EQ(device::ListMessages(kStore, "Outbox").size(), kAll - 1u);
}

TEST_F(SubmissionQueueTest, WhatWaitsWhenTheQueueGoesIsStoredFirst) {
  Answers answers;
  {
    mail::SubmissionQueue queue;
    for (int n = 0; n < 10; ++n) queue.Add(Mail(n), answers.For(n));
  }
  base::MutexLock guard(&answers.lock);
  ASSERT_EQ(answers.count, 10);
  for (int n = 0; n < 10; ++n) {
    ASSERT_TRUE(answers.by_number.at(n).ok());
    ExpectStored(*answers.by_number.at(n), n);
  }
}

}  // namespace
