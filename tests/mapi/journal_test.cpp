// The change journal is trimmed below every live listener's position, and
// never of the entries the transport still needs to send a message.
#include <sqlite3.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "device/image.h"
#include "device/service/listeners.h"
#include "tests/mapi/mapi_fixture.h"

namespace {

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
  aside->Release();
  outbox->Release();
  MAPIFreeBuffer(outbox_id);
  store->Release();
  const auto before = Journal();
  ASSERT_TRUE(Has(before, first) && Has(before, second) && Has(before, kept));

  // A listener that has handled only the entries up to the first message's
  // arrival: nothing above that goes.
  int64_t first_arrival = 0;
  for (const auto& e : before) {
    if (e.second == first && first_arrival == 0) first_arrival = e.first;
  }
  device::service::ListenerRecord listener;
  listener.pid = getpid();
  listener.start_time = device::service::ProcessStartTimeOf(getpid());
  listener.program = "listener";
  listener.done = first_arrival;
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

}  // namespace
