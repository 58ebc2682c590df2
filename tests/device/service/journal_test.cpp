// The change journal: trimmed below every live listener's position, and
// never of the entries the transport still needs to send a message; changes
// to the recipients of a message in an Outbox are entries of their own,
// whoever writes them, and the transport never sends past one.
#include <sqlite3.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "device/image.h"
#include "device/service/listeners.h"
#include "device/service/service_db.h"
#include "tests/support/mapi_fixture.h"
#include "tests/support/service_file.h"

namespace {

// Counts the notifications of each kind a store's sink is handed.
class CountingSink : public IMAPIAdviseSink {
 public:
  HRESULT QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
  ULONG AddRef() override { return ++references_; }
  ULONG Release() override {
    ULONG now = --references_;
    if (now == 0) delete this;
    return now;
  }
  ULONG OnNotify(ULONG count, LPNOTIFICATION notifications) override {
    std::lock_guard<std::mutex> guard(lock_);
    for (ULONG i = 0; i < count; ++i) {
      if (notifications[i].ulEventType == fnevObjectModified) ++modified_;
      if (notifications[i].ulEventType == fnevObjectCreated) ++created_;
    }
    changed_.notify_all();
    return 0;
  }
  // Waits until `modified` modified and `created` created notifications
  // came.
  bool WaitFor(int modified, int created) {
    std::unique_lock<std::mutex> guard(lock_);
    return changed_.wait_for(guard, std::chrono::seconds(5), [&] {
      return modified_ >= modified && created_ >= created;
    });
  }
  int modified() {
    std::lock_guard<std::mutex> guard(lock_);
    return modified_;
  }

 private:
  std::atomic<ULONG> references_{1};
  std::mutex lock_;
  std::condition_variable changed_;
  int modified_ = 0;
  int created_ = 0;
};

class JournalTest : public MapiTest {
 protected:
  void TearDown() override {
    device::service::RemoveListenerRecord(getpid());
    MapiTest::TearDown();
  }
  // The journal's entries as (seq, object), read past the service.
  std::vector<std::pair<int64_t, int64_t>> Journal() {
    std::vector<std::pair<int64_t, int64_t>> entries;
    sqlite3* db = nullptr;
    EXPECT_EQ(sqlite3_open(device::MessageServicePath().c_str(), &db),
              SQLITE_OK);
    sqlite3_busy_timeout(db, 5000);
    sqlite3_stmt* stmt = nullptr;
    sqlite3_prepare_v2(
        db, "SELECT seq, object FROM journal WHERE kind = 77 ORDER BY seq;", -1,
        &stmt, nullptr);
    while (sqlite3_step(stmt) == SQLITE_ROW) {
      entries.emplace_back(sqlite3_column_int64(stmt, 0),
                           sqlite3_column_int64(stmt, 1));
    }
    sqlite3_finalize(stmt);
    sqlite3_close(db);
    return entries;
  }
  // Runs SQL on the service file past the service, as another program could.
  void Exec(const std::string& sql) { testing_support::ServiceExec(sql); }
  // One number the service file gives for `sql`.
  int64_t Number(const std::string& sql) {
    int64_t value = -1;
    sqlite3* db = nullptr;
    EXPECT_EQ(sqlite3_open(device::MessageServicePath().c_str(), &db),
              SQLITE_OK);
    sqlite3_busy_timeout(db, 5000);
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr) == SQLITE_OK &&
        sqlite3_step(stmt) == SQLITE_ROW) {
      value = sqlite3_column_int64(stmt, 0);
    }
    sqlite3_finalize(stmt);
    sqlite3_close(db);
    return value;
  }
  // The journal's entries about message `id` with event `event`.
  int64_t EntriesOf(int64_t id, ULONG event) {
    return Number("SELECT COUNT(*) FROM journal WHERE kind = 77 AND object = " +
                  std::to_string(id) + " AND event = " + std::to_string(event) +
                  ";");
  }
  static bool Has(const std::vector<std::pair<int64_t, int64_t>>& entries,
                  int64_t object) {
    for (const auto& e : entries) {
      if (e.second == object) return true;
    }
    return false;
  }
};

TEST_F(JournalTest, TrimmedBelowEveryListenerKeepingWhatOutboxMessagesNeed) {
  const int64_t kept = Save({u"5550100"}, u"stays", u"b");
  const int64_t first = Save({u"5550101"}, u"moves", u"b");
  const int64_t second = Save({u"5550102"}, u"moves too", u"b");
  // Two of them leave the Outbox for a folder of its own.
  IMsgStore* store = OpenFirstStore();
  ASSERT_NE(store, nullptr);
  LPSPropValue outbox_id =
      GetOneProperty(store, PR_IPM_OUTBOX_ENTRYID).release();
  ASSERT_NE(outbox_id, nullptr);
  ULONG type = 0;
  IUnknown* object = nullptr;
  ASSERT_EQ(
      store->OpenEntry(outbox_id->Value.bin.cb,
                       reinterpret_cast<LPENTRYID>(outbox_id->Value.bin.lpb),
                       nullptr, MAPI_MODIFY, &type, &object),
      S_OK);
  IMAPIFolder* outbox = static_cast<IMAPIFolder*>(object);
  IMAPIFolder* aside = nullptr;
  ASSERT_EQ(
      outbox->CreateFolder(FOLDER_GENERIC, const_cast<char16_t*>(u"Aside"),
                           nullptr, nullptr, MAPI_UNICODE, &aside),
      S_OK);
  for (int64_t id : {first, second}) {
    std::vector<uint8_t> entry = MessageEntry(id);
    SBinary bin = {static_cast<ULONG>(entry.size()), entry.data()};
    ENTRYLIST list = {1, &bin};
    ASSERT_EQ(
        outbox->CopyMessages(&list, nullptr, aside, 0, nullptr, MESSAGE_MOVE),
        S_OK);
  }
  // The journal's last entry always stays (a listener that starts now
  // starts there): here a folder's.
  IMAPIFolder* later = nullptr;
  ASSERT_EQ(
      outbox->CreateFolder(FOLDER_GENERIC, const_cast<char16_t*>(u"Later"),
                           nullptr, nullptr, MAPI_UNICODE, &later),
      S_OK);
  later->Release();
  aside->Release();
  outbox->Release();
  MAPIFreeBuffer(outbox_id);
  store->Release();
  const auto before = Journal();
  ASSERT_TRUE(Has(before, first) && Has(before, second) && Has(before, kept));

  // A listener that has handled the entries up to the second message's
  // arrival: only what lies below it goes, the entry at its mark stays.
  int64_t second_arrival = 0;
  for (const auto& e : before) {
    if (e.second == second && second_arrival == 0) second_arrival = e.first;
  }
  device::service::ListenerRecord listener;
  listener.pid = getpid();
  listener.start_time = device::service::ProcessStartTimeOf(getpid());
  listener.program = "listener";
  listener.done = second_arrival;
  ASSERT_TRUE(device::service::WriteListenerRecord(listener));
  EXPECT_EQ(device::TrimJournal(), 1);  // the first message's arrival
  auto now = Journal();
  EXPECT_TRUE(Has(now, first));  // its move lies above the listener
  EXPECT_TRUE(Has(now, second));
  EXPECT_TRUE(Has(now, kept));

  // Every listener past the end: all but the Outbox message's entries go,
  // and a second trim has nothing left to do.
  device::service::RemoveListenerRecord(getpid());
  EXPECT_GT(device::TrimJournal(), 0);
  now = Journal();
  EXPECT_FALSE(Has(now, first));
  EXPECT_FALSE(Has(now, second));
  EXPECT_TRUE(Has(now, kept));
  EXPECT_EQ(device::TrimJournal(), 0);

  // The transport still finds the kept message's arrival and sends it at
  // once (a message without one would first be announced, and wait).
  EXPECT_EQ(device::SendDueMessages(0), 1);
  device::ServiceMessage m;
  ASSERT_TRUE(device::GetServiceMessage(kept, &m));
  EXPECT_EQ(m.folder_path, "Sent Items");
}

TEST_F(JournalTest, RecipientChangesOfAnOutboxMessageAreEntriesWhoeverWrites) {
  const int64_t id = Save({u"5550100"}, u"s", u"b");
  // The save is one entry: the recipients it writes make none of their own.
  EXPECT_EQ(EntriesOf(id, fnevObjectCreated), 1);
  EXPECT_EQ(EntriesOf(id, fnevObjectModified), 0);

  const base::Status set = device::SetMessageRecipients(id, {u"5550101"});
  ASSERT_TRUE(set.ok()) << set.message();
  const int64_t through_service = EntriesOf(id, fnevObjectModified);
  EXPECT_GE(through_service, 1);
  Exec("UPDATE recipients SET address = '5550102' WHERE message = " +
       std::to_string(id) + ";");
  const int64_t updated = EntriesOf(id, fnevObjectModified);
  EXPECT_GT(updated, through_service);
  Exec("DELETE FROM recipients WHERE message = " + std::to_string(id) + ";");
  EXPECT_GT(EntriesOf(id, fnevObjectModified), updated);
  // Each names the Outbox, and the newest is the one the transport's gate
  // waits for.
  EXPECT_EQ(Number("SELECT COUNT(DISTINCT parent) FROM journal WHERE kind = "
                   "77 AND object = " +
                   std::to_string(id) + ";"),
            1);
  const int64_t outbox = Number(
      "SELECT folder FROM messages WHERE id = " + std::to_string(id) + ";");
  int64_t arrival = 0;
  {
    base::MutexLock lock(&device::service::Lock());
    arrival = device::service::ArrivalSeq(id, outbox);
  }
  EXPECT_EQ(arrival, Number("SELECT MAX(seq) FROM journal;"));

  // A message that is in no Outbox, and one that never arrived in one (the
  // transport announces it), make no entries.
  Exec(
      "UPDATE messages SET folder = (SELECT id FROM folders WHERE kind = 4) "
      "WHERE id = " +
      std::to_string(id) + ";");
  const int64_t before = Number("SELECT MAX(seq) FROM journal;");
  const base::Status set_again = device::SetMessageRecipients(id, {u"5550103"});
  ASSERT_TRUE(set_again.ok()) << set_again.message();
  Exec(
      "INSERT INTO messages (folder, flags) SELECT id, 4 FROM folders WHERE "
      "kind = 2; INSERT INTO recipients (message, position, address) VALUES "
      "(last_insert_rowid(), 0, '5550104');");
  EXPECT_EQ(Number("SELECT MAX(seq) FROM journal;"), before);
}

TEST_F(JournalTest, SettingRecipientsRefusesWhatCannotBeChanged) {
  const base::Status missing = device::SetMessageRecipients(999, {u"5550100"});
  EXPECT_FALSE(missing.ok());
  EXPECT_NE(missing.message().find("no message 999"), std::string::npos)
      << missing.message();
  const int64_t id = Save({u"5550100"}, u"s", u"b");
  EXPECT_EQ(device::SendDueMessages(0), 1);
  const base::Status sent = device::SetMessageRecipients(id, {u"5550109"});
  EXPECT_FALSE(sent.ok());
  EXPECT_NE(sent.message().find("was sent"), std::string::npos)
      << sent.message();
  device::ServiceMessage m;
  ASSERT_TRUE(device::GetServiceMessage(id, &m));
  EXPECT_EQ(m.recipients, std::vector<std::u16string>{u"5550100"});
}

TEST_F(JournalTest, ManyRowsChangedInOneTransactionAreNotifiedOnce) {
  const int64_t id = Save({u"5550100", u"5550101", u"5550102"}, u"s", u"b");
  IMsgStore* store = OpenFirstStore();
  ASSERT_NE(store, nullptr);
  CountingSink* sink = new CountingSink;  // the service holds a reference
  struct Releaser {
    CountingSink* sink;
    ~Releaser() { sink->Release(); }
  } releaser{sink};
  ULONG connection = 0;
  ASSERT_EQ(
      store->Advise(0, nullptr,
                    fnevObjectCreated | fnevObjectMoved | fnevObjectModified,
                    sink, &connection),
      S_OK);
  ASSERT_TRUE(sink->WaitFor(0, 1));  // the message already in the Outbox

  // Fifty rows replaced in one transaction: one judgement, not fifty.
  std::string sql =
      "BEGIN; DELETE FROM recipients WHERE message = " + std::to_string(id) +
      ";";
  for (int i = 0; i < 50; ++i) {
    sql += "INSERT INTO recipients (message, position, address) VALUES (" +
           std::to_string(id) + ", " + std::to_string(i) + ", '55502" +
           std::to_string(10 + i) + "');";
  }
  Exec(sql + "COMMIT;");
  ASSERT_TRUE(sink->WaitFor(1, 1));
  // The listener has handled every entry, the collapsed ones too.
  const int64_t end = Number("SELECT MAX(seq) FROM journal;");
  ASSERT_TRUE([&] {
    for (int i = 0; i < 250; ++i) {
      for (const auto& l : device::service::LiveListeners()) {
        if (l.pid == getpid() && l.done == end) return true;
      }
      usleep(20000);
    }
    return false;
  }());
  EXPECT_EQ(sink->modified(), 1);

  // A change in a later transaction is a change of its own.
  Exec("UPDATE recipients SET address = '5550199' WHERE message = " +
       std::to_string(id) + " AND position = 0;");
  EXPECT_TRUE(sink->WaitFor(2, 1));
  store->Unadvise(connection);
  store->Release();
}

TEST_F(JournalTest, AMessageChangedAfterTheGateLetItGoIsNotSent) {
  const int64_t id = Save({u"5550100"}, u"s", u"b");
  const int64_t arrival = Number("SELECT MAX(seq) FROM journal;");
  // A listener that has handled the message's arrival: the gate lets it go.
  device::service::ListenerRecord listener;
  listener.pid = getpid();
  listener.start_time = device::service::ProcessStartTimeOf(getpid());
  listener.program = "listener";
  listener.done = arrival;
  listener.stamp = Number(
      "SELECT stamp FROM journal WHERE seq = " + std::to_string(arrival) + ";");
  listener.stores[Number("SELECT id FROM stores WHERE name = 'SMS';")] = true;
  ASSERT_TRUE(device::service::WriteListenerRecord(listener));
  // Another program changes its recipients right after the transport's gate
  // read the Outbox and before the transport moves it: here, when the
  // transport announces a message written without a journal entry.
  Exec(
      "INSERT INTO messages (folder, flags) SELECT id, 4 FROM folders WHERE "
      "kind = 2;");
  const int64_t unannounced = Number("SELECT MAX(id) FROM messages;");
  Exec("CREATE TRIGGER late AFTER INSERT ON journal WHEN NEW.object = " +
       std::to_string(unannounced) +
       " BEGIN INSERT INTO recipients (message, position, address) VALUES (" +
       std::to_string(id) + ", 1, '5550199'); END;");
  EXPECT_EQ(device::SendDueMessages(0), 0);
  device::ServiceMessage m;
  ASSERT_TRUE(device::GetServiceMessage(id, &m));
  EXPECT_EQ(m.folder_path, "Outbox");
  EXPECT_EQ(m.recipients.size(), 2u);
}

TEST_F(JournalTest, AListenersMarkCountsOnlyOnTheJournalItWasMadeOn) {
  const int64_t id = Save({u"5550100"}, u"s", u"b");
  const int64_t arrival = Number("SELECT MAX(seq) FROM journal;");
  const int64_t stamp = Number(
      "SELECT stamp FROM journal WHERE seq = " + std::to_string(arrival) + ";");
  device::service::ListenerRecord listener;
  listener.pid = getpid();
  listener.start_time = device::service::ProcessStartTimeOf(getpid());
  listener.program = "listener";
  listener.done = arrival;
  listener.stores[Number("SELECT id FROM stores WHERE name = 'SMS';")] = true;
  auto waits = [&](const device::service::ListenerRecord& record) {
    EXPECT_TRUE(device::service::WriteListenerRecord(record));
    for (const device::OutboxState& state : device::OutboxStates()) {
      if (state.id == id) return !state.may_send;
    }
    ADD_FAILURE() << "message " << id << " is not in the Outbox";
    return false;
  };
  // A record without a stamp (a listener from before them): nothing handled.
  EXPECT_TRUE(waits(listener));
  // The entry at its mark is another one (a restored or new file).
  listener.stamp = stamp + 1;
  EXPECT_TRUE(waits(listener));
  // What it made itself while handling it is not in the journal any more.
  listener.stamp = stamp;
  listener.wrote = arrival + 1;
  listener.wrote_stamp = stamp;
  EXPECT_TRUE(waits(listener));
  // Made on this journal: the message may go.
  listener.wrote = 0;
  EXPECT_FALSE(waits(listener));
  EXPECT_EQ(device::SendDueMessages(0), 1);
}

TEST_F(JournalTest, AServiceFileFromBeforeGetsStampsAndTriggersWhenOpened) {
  device::CloseMessageService();
  const std::string path = device::MessageServicePath();
  for (const char* end : {"", "-wal", "-shm"}) unlink((path + end).c_str());
  Exec(
      "CREATE TABLE stores (id INTEGER PRIMARY KEY, name TEXT UNIQUE NOT "
      "NULL);"
      "CREATE TABLE journal (seq INTEGER PRIMARY KEY AUTOINCREMENT, event "
      "INTEGER NOT NULL, store INTEGER NOT NULL, kind INTEGER NOT NULL, object "
      "INTEGER NOT NULL, parent INTEGER NOT NULL, old_parent INTEGER NOT "
      "NULL);"
      "INSERT INTO journal (event, store, kind, object, parent, old_parent) "
      "VALUES (4, 1, 77, 1, 3, 0), (4, 1, 77, 2, 3, 0);");
  const base::Status opened = device::OpenMessageService();
  ASSERT_TRUE(opened.ok()) << opened.message();
  EXPECT_EQ(Number("SELECT COUNT(*) FROM journal WHERE stamp IS NULL;"), 0);
  EXPECT_EQ(Number("SELECT COUNT(DISTINCT stamp) FROM journal;"), 2);
  // Entries written later by a program that knows nothing of stamps get one.
  Exec(
      "INSERT INTO journal (event, store, kind, object, parent, old_parent) "
      "VALUES (4, 1, 77, 3, 3, 0);");
  EXPECT_EQ(Number("SELECT COUNT(*) FROM journal WHERE stamp IS NULL;"), 0);
  EXPECT_EQ(Number("SELECT COUNT(*) FROM sqlite_master WHERE type = "
                   "'trigger' AND name LIKE 'recipients_%';"),
            3);
}

}  // namespace
