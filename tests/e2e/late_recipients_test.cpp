// Recipients written after the filter judged a message are judged too: a
// messaging client may save a message into the Outbox first and fill in or
// change its recipients in a later transaction, through the service or
// straight into the service file. Real processes on a temporary device
// image, the filter registered as an installed Tarnvex is.
#include <string>
#include <vector>

#include "device/service/listeners.h"
#include "tests/e2e/filter_fixture.h"

namespace {

using testing_support::Eventually;
using testing_support::FilterEndToEndTest;

constexpr char kCovered[] = "5550130";
constexpr char16_t kCovered16[] = u"5550130";
constexpr char kAlsoCovered[] = "5550131";
constexpr char16_t kAlsoCovered16[] = u"5550131";
constexpr char kUncovered[] = "5550139";
constexpr char16_t kUncovered16[] = u"5550139";

class LateRecipientsTest : public FilterEndToEndTest {
 protected:
  // Long enough that each change below is made before the transport would
  // send what the filter judged covered.
  int SendDelayMs() const override { return 2500; }

  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(FilterEndToEndTest::SetUp());
    ASSERT_NO_FATAL_FAILURE(RegisterFilter());
    ASSERT_NO_FATAL_FAILURE(StartHost());
    ASSERT_NO_FATAL_FAILURE(AddCoveringRule(kCovered));
  }

  // Saves through the service, as a messaging client of the device does.
  int64_t Save(const std::vector<std::u16string>& to) {
    device::ServiceMessage m;
    m.subject = u"Hello";
    m.body = u"See you at noon";
    m.recipients = to;
    const base::StatusOr<int64_t> id = device::SaveOutgoingMessage("SMS", m);
    EXPECT_TRUE(id.ok()) << id.status().message();
    return id.ok() ? *id : 0;
  }

  // The newest entry of the change journal about message `id`.
  int64_t NewestEntryOf(int64_t id) {
    int64_t seq = 0;
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(device::MessageServicePath().c_str(), &db,
                        SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
      sqlite3_busy_timeout(db, 5000);
      sqlite3_stmt* stmt = nullptr;
      if (sqlite3_prepare_v2(db,
                             "SELECT IFNULL(MAX(seq), 0) FROM journal WHERE "
                             "kind = 77 AND object = ?;",
                             -1, &stmt, nullptr) == SQLITE_OK) {
        sqlite3_bind_int64(stmt, 1, id);
        if (sqlite3_step(stmt) == SQLITE_ROW)
          seq = sqlite3_column_int64(stmt, 0);
      }
      sqlite3_finalize(stmt);
    }
    sqlite3_close(db);
    return seq;
  }

  // Waits until the filter has handled everything the journal says of the
  // message so far (it judged the recipients the message had then), and
  // expects the message still in the Outbox: judged covered.
  void ExpectJudgedCovered(int64_t id) {
    const int64_t seq = NewestEntryOf(id);
    ASSERT_GT(seq, 0);
    ASSERT_TRUE(Eventually([&] {
      for (const auto& l : device::service::LiveListeners()) {
        if (l.program != "filter_host" || l.done < seq) continue;
        bool ready = !l.stores.empty();
        for (const auto& [store, caught_up] : l.stores)
          ready = ready && caught_up;
        if (ready) return true;
      }
      return false;
    }));
    ASSERT_EQ(FolderOf(id), "Outbox");
  }

  // The message ends held and stays there: it never reaches Sent Items.
  void ExpectHeldNeverSent(int64_t id) {
    EXPECT_TRUE(Eventually([&] { return FolderOf(id) == "Outbox\\Tarnvex"; }))
        << FolderOf(id);
    std::this_thread::sleep_for(std::chrono::milliseconds(SendDelayMs() + 500));
    EXPECT_EQ(FolderOf(id), "Outbox\\Tarnvex");
  }
};

TEST_F(LateRecipientsTest, AnUncoveredRecipientAddedThroughTheServiceIsHeld) {
  // Saved without recipients (the first rule covers an empty list), filled
  // in a moment later.
  const int64_t id = Save({});
  ASSERT_NO_FATAL_FAILURE(ExpectJudgedCovered(id));
  const base::Status set = device::SetMessageRecipients(id, {kUncovered16});
  ASSERT_TRUE(set.ok()) << set.message();
  ExpectHeldNeverSent(id);
}

TEST_F(LateRecipientsTest, AnUncoveredRecipientAddedWithSqlIsHeld) {
  const int64_t id = Save({kCovered16});
  ASSERT_NO_FATAL_FAILURE(ExpectJudgedCovered(id));
  // Straight into the service file, as another program (the sqlite3 shell)
  // could write it.
  ServiceExec("INSERT INTO recipients (message, position, address) VALUES (" +
              std::to_string(id) + ", 1, '" + kUncovered + "');");
  ExpectHeldNeverSent(id);
}

TEST_F(LateRecipientsTest,
       ACoveredRecipientChangedThroughTheServiceToAnUncoveredOneIsHeld) {
  const int64_t id = Save({kCovered16});
  ASSERT_NO_FATAL_FAILURE(ExpectJudgedCovered(id));
  const base::Status set = device::SetMessageRecipients(id, {kUncovered16});
  ASSERT_TRUE(set.ok()) << set.message();
  ExpectHeldNeverSent(id);
}

TEST_F(LateRecipientsTest,
       ACoveredRecipientChangedWithSqlToAnUncoveredOneIsHeld) {
  const int64_t id = Save({kCovered16});
  ASSERT_NO_FATAL_FAILURE(ExpectJudgedCovered(id));
  ServiceExec("UPDATE recipients SET address = '" + std::string(kUncovered) +
              "' WHERE message = " + std::to_string(id) + ";");
  ExpectHeldNeverSent(id);
}

// The folder of kind `kind` of the SMS store, for SQL.
std::string SmsFolder(int kind) {
  return "(SELECT f.id FROM folders f JOIN stores s ON s.id = f.store WHERE "
         "s.name = 'SMS' AND f.kind = " +
         std::to_string(kind) + ")";
}

TEST_F(LateRecipientsTest, AHeldMessagePutBackIntoTheOutboxWithSqlIsHeldAgain) {
  const int64_t id = Save({kUncovered16});
  ASSERT_TRUE(Eventually([&] { return FolderOf(id) == "Outbox\\Tarnvex"; }));
  // Its arrival in the Outbox was judged long ago; the move back is new.
  ServiceExec("UPDATE messages SET folder = " + SmsFolder(2) +
              " WHERE id = " + std::to_string(id) + ";");
  ExpectHeldNeverSent(id);
}

TEST_F(LateRecipientsTest,
       AMessageTakenOutChangedAndPutBackWithSqlIsJudgedAgain) {
  const int64_t id = Save({kCovered16});
  ASSERT_NO_FATAL_FAILURE(ExpectJudgedCovered(id));
  // Out into the Drafts, where a change of its recipients is nobody's
  // business, and back.
  const std::string which = " WHERE id = " + std::to_string(id) + ";";
  ServiceExec("UPDATE messages SET folder = " + SmsFolder(4) + which);
  ServiceExec("UPDATE recipients SET address = '" + std::string(kUncovered) +
              "' WHERE message = " + std::to_string(id) + ";");
  ServiceExec("UPDATE messages SET folder = " + SmsFolder(2) + which);
  ExpectHeldNeverSent(id);
}

TEST_F(LateRecipientsTest, ACoveredRecipientChangedToAnotherCoveredOneGoes) {
  ASSERT_NO_FATAL_FAILURE(AddCoveringRule(kAlsoCovered));
  const int64_t id = Save({kCovered16});
  ASSERT_NO_FATAL_FAILURE(ExpectJudgedCovered(id));
  const base::Status set = device::SetMessageRecipients(id, {kAlsoCovered16});
  ASSERT_TRUE(set.ok()) << set.message();
  EXPECT_TRUE(Eventually([&] { return FolderOf(id) == "Sent Items"; },
                         SendDelayMs() + 8000));
  device::ServiceMessage m;
  ASSERT_TRUE(device::GetServiceMessage(id, &m));
  EXPECT_EQ(m.recipients, std::vector<std::u16string>{kAlsoCovered16});
}

}  // namespace
