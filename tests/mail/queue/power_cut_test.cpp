// The mail path's promises against a lost write: the power is cut at every
// sync a submission and a delivery outcome make (and once after each has
// answered), the disk keeps only what was synced, and then a message
// answered "stored" is there whole, a recipient recorded delivered is still
// delivered, and the service file is sound and takes mail again. The code
// runs in this process over the disk-fault VFS (tests/support/fault_vfs.h).
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "device/image.h"
#include "device/service/service.h"
#include "mail/queue/deliveries.h"
#include "mail/queue/submission.h"
#include "tests/support/fault_vfs.h"
#include "tests/support/service_file.h"
#include "tests/support/temp_image.h"

namespace {

using mail::DeliveryState;
using mail::DeliveryVerdict;
using testing_support::DiskOp;

constexpr char kStore[] = "E-mail";

class PowerCutTest : public ::testing::Test {
 protected:
  void SetUp() override { device::CloseMessageService(); }
  void TearDown() override {
    device::CloseMessageService();
    image_.reset();
  }

  // A new image with the E-mail store, everything on its disk synced, and
  // `setup` done on it (synced too: the cut hits what comes after).
  void Fresh(const std::function<void()>& setup = [] {}) {
    device::CloseMessageService();
    vfs_.Clear();
    image_.reset();
    image_ = std::make_unique<testing_support::TempImage>();
    const base::Status made = device::CreateStore(kStore);
    ASSERT_TRUE(made.ok()) << made.message();
    setup();
    vfs_.MarkAllSynced();
    vfs_.ResetCounts();
  }

  // The process is gone with the power: its connection closes (writing
  // nothing more), the disk is as it was at each file's last sync, and the
  // next call opens the service file again.
  void PowerBackOn() {
    ASSERT_TRUE(vfs_.PowerIsCut());
    device::CloseMessageService();
    vfs_.RestoreSyncedFiles();
  }

  // The syncs `operation` makes in a clean run; then the power cut at each
  // of them in turn, and after the last, each run checked by `check`. Once
  // with the log as `setup` left it, once with the log just checkpointed
  // away, so that the operation begins a new one (its header is synced).
  void EveryCut(const std::function<void()>& setup,
                const std::function<bool()>& operation,
                const std::function<void(bool succeeded)>& check) {
    for (bool new_log : {false, true}) {
      SCOPED_TRACE(new_log ? "a new log" : "the log as it was");
      auto prepare = [&] {
        setup();
        if (new_log)
          testing_support::ServiceExec("PRAGMA wal_checkpoint(TRUNCATE);");
      };
      ASSERT_NO_FATAL_FAILURE(CutAtEverySync(
          prepare, operation, check, new_log ? "syncs_new_log" : "syncs"));
    }
  }
  void CutAtEverySync(const std::function<void()>& setup,
                      const std::function<bool()>& operation,
                      const std::function<void(bool succeeded)>& check,
                      const char* property) {
    ASSERT_NO_FATAL_FAILURE(Fresh(setup));
    ASSERT_TRUE(operation()) << "the operation fails without a fault";
    const int syncs = vfs_.Count(DiskOp::kSync);
    RecordProperty(property, syncs);
    for (int k = 1; k <= syncs + 1; ++k) {
      SCOPED_TRACE(k <= syncs ? "power cut at sync " + std::to_string(k)
                              : "power cut after the answer");
      ASSERT_NO_FATAL_FAILURE(Fresh(setup));
      if (k <= syncs) vfs_.CutPowerAtSync(k);
      const bool succeeded = operation();
      if (k > syncs) vfs_.CutPower();
      ASSERT_NO_FATAL_FAILURE(PowerBackOn());
      EXPECT_EQ(Integrity(), "ok");
      check(succeeded);
    }
  }

  static std::string Integrity() {
    sqlite3* db = nullptr;
    std::string result = "cannot open";
    if (sqlite3_open(device::MessageServicePath().c_str(), &db) == SQLITE_OK) {
      sqlite3_stmt* stmt = nullptr;
      sqlite3_prepare_v2(db, "PRAGMA integrity_check;", -1, &stmt, nullptr);
      result = sqlite3_step(stmt) == SQLITE_ROW
                   ? reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0))
                   : sqlite3_errmsg(db);
      sqlite3_finalize(stmt);
    }
    sqlite3_close(db);
    return result;
  }

  static mail::Submission Mail(const std::string& subject) {
    mail::Submission s;
    s.store = kStore;
    s.envelope_from = "anna@example.org";
    s.recipients = {"bob@example.org", "carl@example.org"};
    s.raw =
        "From: Anna <anna@example.org>\r\nTo: bob@example.org\r\n"
        "Subject: " +
        subject + "\r\n\r\nSee you at noon.\r\n";
    return s;
  }

  static DeliveryState StateOf(int64_t id, const std::string& recipient) {
    for (const mail::RecipientDelivery& r : mail::DeliveryStates(id)) {
      if (r.recipient == recipient) return r.state;
    }
    ADD_FAILURE() << "no row for " << recipient;
    return DeliveryState::kWaiting;
  }
  static std::string FolderOf(int64_t id) {
    device::ServiceMessage m;
    return device::GetServiceMessage(id, &m) ? m.folder_path : "";
  }

  testing_support::FaultVfs vfs_;
  std::unique_ptr<testing_support::TempImage> image_;
};

TEST_F(PowerCutTest, AMessageAnsweredStoredIsThereWholeAfterAnyCut) {
  int64_t id = 0;
  auto submit = [&] {
    const base::StatusOr<int64_t> stored = mail::Submit(Mail("Lunch"));
    id = stored.ok() ? *stored : 0;
    return stored.ok();
  };
  EveryCut([] {}, submit,
           [&](bool stored) {
             const std::vector<device::ServiceMessage> outbox =
                 device::ListMessages(kStore, "Outbox");
             // Stored: there. Not stored: there whole or not at all (the sender
             // tries again).
             if (stored) {
               ASSERT_EQ(outbox.size(), 1u) << "a stored message is missing";
               EXPECT_EQ(outbox[0].id, id);
             }
             ASSERT_LE(outbox.size(), 1u);
             if (!outbox.empty()) {
               device::ServiceMessage m;
               ASSERT_TRUE(device::GetServiceMessage(outbox[0].id, &m));
               EXPECT_EQ(m.recipients.size(), 2u);
               device::KeptMail kept;
               ASSERT_TRUE(device::GetKeptMail(outbox[0].id, &kept));
               EXPECT_NE(kept.raw.find("See you at noon."), std::string::npos);
             }
             // And the file takes mail again.
             const base::StatusOr<int64_t> again = mail::Submit(Mail("Again"));
             EXPECT_TRUE(again.ok()) << again.status().ToString();
           });
}

// Mail stored together (the submission server's group commit): each one
// answered stored is there whole after the cut, and no answer lies.
TEST_F(PowerCutTest, MailsStoredTogetherAreThereWholeAfterAnyCut) {
  std::vector<base::StatusOr<int64_t>> stored;
  auto submit = [&] {
    std::vector<device::OutgoingMail> mails(3);
    for (int i = 0; i < 3; ++i) {
      const base::Status read = mail::PrepareSubmission(
          Mail("Part " + std::to_string(i)), nullptr, &mails[i]);
      if (!read.ok()) return false;
    }
    stored = device::SaveOutgoingMails(mails);
    for (const base::StatusOr<int64_t>& s : stored) {
      if (!s.ok()) return false;
    }
    return true;
  };
  EveryCut([] {}, submit,
           [&](bool) {
             const std::vector<device::ServiceMessage> outbox =
                 device::ListMessages(kStore, "Outbox");
             size_t answered = 0;
             for (const base::StatusOr<int64_t>& s : stored) {
               if (!s.ok()) continue;
               ++answered;
               EXPECT_EQ(FolderOf(*s), "Outbox")
                   << "stored message " << *s << " lost";
             }
             EXPECT_GE(outbox.size(), answered);
             for (const device::ServiceMessage& m : outbox) {
               device::KeptMail kept;
               ASSERT_TRUE(device::GetKeptMail(m.id, &kept));
               EXPECT_NE(kept.raw.find("See you at noon."), std::string::npos);
             }
             stored.clear();
           });
}

// A message to three recipients: ann was delivered at the first try, bob
// and cam were deferred and are being sent again; the outcome delivers bob
// and fails cam, which finishes the message (into Sent Items, a notice into
// the Inbox), alone or with the claim of a second message.
TEST_F(PowerCutTest, ADeliveredRecipientStaysDeliveredAfterAnyCut) {
  const int64_t t0 = std::chrono::duration_cast<std::chrono::milliseconds>(
                         std::chrono::system_clock::now().time_since_epoch())
                         .count() +
                     60000;
  const int64_t t1 = t0 + mail::kDefaultRetryBaseMs;
  const mail::DeliveryPolicy policy;
  for (bool and_claim : {false, true}) {
    SCOPED_TRACE(and_claim ? "RecordDeliveryAndClaim" : "RecordDelivery");
    int64_t id = 0, next_id = 0;
    mail::DeliveryCandidate next;
    auto setup = [&] {
      device::ServiceMessage m;
      m.subject = u"Lunch";
      m.recipients = {u"ann@example.org", u"bob@example.org",
                      u"cam@example.org"};
      const base::StatusOr<int64_t> saved =
          device::SaveOutgoingMessage(kStore, m);
      ASSERT_TRUE(saved.ok()) << saved.status().message();
      id = *saved;
      base::StatusOr<std::vector<mail::DeliveryCandidate>> due =
          mail::DueDeliveries(kStore, 0, t0);
      ASSERT_TRUE(due.ok()) << due.status().message();
      ASSERT_EQ(due->size(), 1u);
      ASSERT_EQ(mail::ClaimDelivery((*due)[0], t0)->result,
                mail::ClaimResult::kClaimed);
      mail::DeliveryRecord record;
      ASSERT_TRUE(
          mail::RecordDelivery(
              id,
              {{"ann@example.org", DeliveryVerdict::kDelivered, "250 ok"},
               {"bob@example.org", DeliveryVerdict::kDeferred, "451 later"},
               {"cam@example.org", DeliveryVerdict::kDeferred, "451 later"}},
              policy, t0, &record)
              .ok());
      m.recipients = {u"dan@example.org"};
      const base::StatusOr<int64_t> next_saved =
          device::SaveOutgoingMessage(kStore, m);
      ASSERT_TRUE(next_saved.ok()) << next_saved.status().message();
      next_id = *next_saved;
      due = mail::DueDeliveries(kStore, 0, t1);
      ASSERT_TRUE(due.ok()) << due.status().message();
      ASSERT_EQ(due->size(), 2u);
      ASSERT_EQ(mail::ClaimDelivery((*due)[0], t1)->result,
                mail::ClaimResult::kClaimed);
      next = (*due)[1];
    };
    auto outcome = [&] {
      const std::vector<mail::DeliveryOutcome> outcomes = {
          {"bob@example.org", DeliveryVerdict::kDelivered, "250 ok"},
          {"cam@example.org", DeliveryVerdict::kFailed, "550 no such user"}};
      mail::DeliveryRecord record;
      if (!and_claim)
        return mail::RecordDelivery(id, outcomes, policy, t1, &record).ok();
      mail::DeliveryClaim claim;
      return mail::RecordDeliveryAndClaim(id, outcomes, policy, t1, &record,
                                          next, &claim)
                 .ok() &&
             claim.result == mail::ClaimResult::kClaimed;
    };
    EveryCut(setup, outcome, [&](bool recorded) {
      // What a delivering process does first after a crash.
      EXPECT_TRUE(mail::ResetInterruptedDeliveries().ok());
      EXPECT_EQ(StateOf(id, "ann@example.org"), DeliveryState::kDelivered);
      if (recorded) {
        EXPECT_EQ(StateOf(id, "bob@example.org"), DeliveryState::kDelivered);
        EXPECT_EQ(StateOf(id, "cam@example.org"), DeliveryState::kFailed);
      }
      // The outcome is all there or not at all: bob and cam are tried
      // again, the message waits in the Outbox, no notice yet.
      const bool there =
          StateOf(id, "bob@example.org") == DeliveryState::kDelivered;
      EXPECT_EQ(StateOf(id, "cam@example.org"),
                there ? DeliveryState::kFailed : DeliveryState::kWaiting);
      EXPECT_EQ(FolderOf(id), there ? "Sent Items" : "Outbox");
      EXPECT_EQ(device::ListMessages(kStore, "Inbox").size(), there ? 1u : 0u);
      // The second message's claim went with the outcome or not at all; a
      // claim cut off is waiting again.
      if (and_claim) {
        EXPECT_EQ(mail::DeliveryStates(next_id).empty(), !there);
      }
    });
  }
}

}  // namespace
