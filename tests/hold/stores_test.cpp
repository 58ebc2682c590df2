// The store table, held folders, the held-folder walk and the advise sink,
// over the device's message service.
#include "hold/stores.h"

#include <sqlite3.h>

#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "device/image.h"
#include "filter/rule_table.h"
#include "hold/monitor.h"
#include "storage/day_lists.h"
#include "storage/init.h"
#include "storage/locations.h"
#include "storage/record_connections.h"
#include "storage/records.h"
#include "storage/rules_db.h"
#include "storage/statement.h"
#include "tests/support/mapi_fixture.h"
#include "tests/support/service_file.h"

namespace {

class StoresTest : public MapiTest {
 protected:
  void SetUp() override {
    MapiTest::SetUp();
    storage::ResetLocations();
    ResetInitDatabases();
    ResetRuleTable();
    FindInstallFolder();
    InitDatabases();
    monitor_ = std::make_unique<hold::Monitor>();
    ASSERT_TRUE(monitor_->stores().EnsureSession().ok());
  }
  void TearDown() override {
    monitor_->SetBrowserCalls({});
    device::CloseMessageService();  // no notification arrives any more
    monitor_->stores().Close();
    CloseRulesDb();
    monitor_.reset();
    ResetMessageDb();
    MapiTest::TearDown();
  }

  std::unique_ptr<hold::Monitor> monitor_;
  void Enumerate() {
    IMAPITable* table = nullptr;
    ASSERT_EQ(
        monitor_->stores().Session()->GetMsgStoresTable(MAPI_UNICODE, &table),
        S_OK);
    EXPECT_TRUE(monitor_->stores().Enumerate(
        table, [this] { return monitor_->NewAdviseSink(); }));
  }
  // The message's folder once the store's sink has held it (or after five
  // seconds, wherever it is then).
  static std::string HeldFolderOf(int64_t id) {
    device::ServiceMessage m;
    for (int i = 0; i < 500 && !(device::GetServiceMessage(id, &m) &&
                                 m.folder_path == "Outbox\\Tarnvex");
         ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return m.folder_path;
  }
  std::vector<std::string> Names() {
    std::vector<std::string> names;
    char name[kStoreNameSize];
    for (int32_t i = 0; monitor_->stores().GetName(i, name); ++i)
      names.push_back(name);
    return names;
  }
};

TEST_F(StoresTest, ActiveSyncAndSecondStoresOfANameAreNotEntered) {
  ASSERT_TRUE(device::CreateStore("activeSYNC").ok());
  ASSERT_TRUE(device::CreateStore("sms").ok());  // the same name, other case
  ASSERT_TRUE(device::CreateStore("MMS").ok());
  Enumerate();
  EXPECT_EQ(Names(), (std::vector<std::string>{"SMS", "MMS"}));
  EXPECT_STREQ(monitor_->stores().table().records[0].outbox_name, "Outbox");
  char name[kStoreNameSize];
  EXPECT_FALSE(monitor_->stores().GetName(2, name));
  EXPECT_FALSE(monitor_->stores().GetName(-1, name));
}

TEST_F(StoresTest, The65thStoreIsNotEnteredButTheWalkGoesOn) {
  for (int i = 1; i < 64; ++i)
    ASSERT_TRUE(device::CreateStore("S" + std::to_string(i)).ok());
  ASSERT_TRUE(device::CreateStore("Extra").ok());
  ASSERT_TRUE(device::CreateStore("ActiveSync").ok());
  Enumerate();
  EXPECT_EQ(monitor_->stores().Count(), kMaxStores);
  EXPECT_EQ(Names().back(), "S63");
}

TEST_F(StoresTest, HeldFolderIsCreatedOnceAndWalkedNewestFirst) {
  Enumerate();
  ASSERT_EQ(monitor_->stores().Count(), 1);
  StoreRecord& record = monitor_->stores().table().records[0];
  HeldFolder folders = OpenHeldFolder(record.store.load());
  IMAPIFolder* outbox = folders.outbox.get();
  IMAPIFolder* held = folders.held.get();
  ASSERT_NE(outbox, nullptr);
  ASSERT_NE(held, nullptr);
  ASSERT_TRUE(folders.outbox_id);
  // Creating it again opens the same folder.
  IMAPIFolder* again = nullptr;
  ASSERT_EQ(outbox->CreateFolder(
                FOLDER_GENERIC, const_cast<char16_t*>(u"Tarnvex"), nullptr,
                nullptr, MAPI_UNICODE | OPEN_IF_EXISTS, &again),
            S_OK);
  LPSPropValue a = GetOneProperty(held, PR_ENTRYID).release();
  LPSPropValue b = GetOneProperty(again, PR_ENTRYID).release();
  ASSERT_TRUE(a != nullptr && b != nullptr);
  EXPECT_EQ(a->Value.bin.cb, b->Value.bin.cb);
  EXPECT_EQ(memcmp(a->Value.bin.lpb, b->Value.bin.lpb, a->Value.bin.cb), 0);
  MAPIFreeBuffer(a);
  MAPIFreeBuffer(b);
  again->Release();

  const int64_t kHour = 3600 * 1000;
  int64_t base = 1700000000000;
  for (int h : {10, 12, 11}) {
    int64_t id = Save({u"555" + std::u16string(1, u'0' + h % 10)},
                      u"at " + std::u16string(1, u'0' + h % 10), u"body",
                      base + h * kHour);
    // The store's sink holds it (no rule covers it); a move by hand
    // succeeds only when it comes first.
    std::vector<uint8_t> entry = MessageEntry(id);
    (void)MoveMessage(static_cast<ULONG>(entry.size()), entry.data(), outbox,
                      held, false);
    ASSERT_EQ(HeldFolderOf(id), "Outbox\\Tarnvex");
  }
  // A message that is not there only writes a diagnostic.
  std::vector<uint8_t> gone = MessageEntry(999);
  EXPECT_TRUE(
      MoveMessage(static_cast<ULONG>(gone.size()), gone.data(), outbox, held)
          .IsNotFound());

  std::vector<std::string> progress;
  std::mutex lock;
  monitor_->SetBrowserCalls({nullptr, [&](const std::string& text) {
                               std::lock_guard<std::mutex> g(lock);
                               progress.push_back(text);
                             }});
  ASSERT_TRUE(monitor_->stores().ScanHeldFolder(record).ok());
  EXPECT_EQ(record.row_count, 3);
  EXPECT_EQ(progress, (std::vector<std::string>{"SMS : 1 / 3.", "SMS : 2 / 3.",
                                                "SMS : 3 / 3."}));
  // Recorded in walking order: the newest first.
  std::vector<DayRecord> records;
  ASSERT_TRUE(ReadStoreDay("SMS", 0, true, true, &records, nullptr).ok());
  ASSERT_EQ(records.size(), 3u);
  std::vector<std::string> order(3);
  for (const DayRecord& entry : records) {
    ASSERT_GE(entry.id, 1);
    ASSERT_LE(entry.id, 3);
    order[static_cast<size_t>(entry.id - 1)] = entry.subject;
  }
  EXPECT_EQ(order, (std::vector<std::string>{"at 2", "at 1", "at 0"}));

  // A second scan finds them by their digests and records nothing new.
  ASSERT_TRUE(monitor_->stores().ScanHeldFolder(record).ok());
  ASSERT_TRUE(ReadStoreDay("SMS", 0, true, true, &records, nullptr).ok());
  EXPECT_EQ(records.size(), 3u);
}

// The service file changed behind the service's back (a test's only way to
// see whether a pass reads a message again).
using testing_support::ServiceExec;

std::vector<DayRecord> DayRecords() {
  std::vector<DayRecord> records;
  EXPECT_TRUE(ReadStoreDay("SMS", 0, true, true, &records, nullptr).ok());
  return records;
}

int RecordCount() {
  std::vector<DayRecord> records;
  return ReadStoreDay("SMS", 0, true, true, &records, nullptr).ok()
             ? static_cast<int>(records.size())
             : -1;
}

TEST_F(StoresTest,
       HeldMessagesAreJudgedAgainOnlyWhenTheRulesOrTheirRecordsChange) {
  Enumerate();
  ASSERT_EQ(monitor_->stores().Count(), 1);
  StoreRecord& record = monitor_->stores().table().records[0];
  std::vector<int64_t> ids;
  for (int i = 0; i < 3; ++i) {
    ids.push_back(
        Save({u"555010" + std::u16string(1, u'0' + i)}, u"s", u"body"));
  }
  // The store's sink holds them (no rule covers them).
  for (int64_t id : ids) {
    ASSERT_EQ(HeldFolderOf(id), "Outbox\\Tarnvex");
  }
  ASSERT_TRUE(monitor_->stores().ScanHeldFolder(record).ok());
  EXPECT_EQ(RecordCount(), 3);
  EXPECT_EQ(monitor_->stores().JudgedMessageCount(), 3u);

  // A body that reads otherwise now would be a new record if it were read:
  // under the same rules the pass does not open the message again.
  ServiceExec("UPDATE bodies SET body = 'other' WHERE message = " +
              std::to_string(ids[0]) + ";");
  ASSERT_TRUE(monitor_->stores().ScanHeldFolder(record).ok());
  EXPECT_EQ(RecordCount(), 3);

  // A record set to 1 meanwhile is judged again: back to 0, still held.
  int32_t first = -1;
  for (const DayRecord& record : DayRecords()) {
    if (record.recipients == "5550102") first = record.id;
  }
  ASSERT_TRUE(records::SetStatus("SMS", first, 1).ok());
  ASSERT_TRUE(monitor_->stores().ScanHeldFolder(record).ok());
  int32_t status = -1;
  ASSERT_TRUE(records::StatusOf("SMS", first, &status, nullptr));
  EXPECT_EQ(status, 0);

  // A record removed meanwhile is written again.
  {
    sqlite3* db = nullptr;
    ASSERT_TRUE(storage::OpenCeDatabase(StoreDbPath("SMS").c_str(), &db).ok());
    ASSERT_EQ(sqlite3_exec(
                  db,
                  ("DELETE FROM Msg WHERE Id = " + std::to_string(first) + ";")
                      .c_str(),
                  nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(db);
  }
  ASSERT_EQ(RecordCount(), 2);
  ASSERT_TRUE(monitor_->stores().ScanHeldFolder(record).ok());
  EXPECT_EQ(RecordCount(), 3);

  // A rule that covers none of them changes the rules: every message is
  // read and judged again (the changed body makes its own record now).
  ASSERT_TRUE(AddRule("x", "0000", "m", 90).ok());
  ASSERT_TRUE(LoadRules());
  ASSERT_TRUE(monitor_->stores().ScanHeldFolder(record).ok());
  EXPECT_EQ(RecordCount(), 4);

  // A rule that covers the second one releases it at the next pass.
  ASSERT_TRUE(AddRule("x", "5550101", "m", 90).ok());
  ASSERT_TRUE(LoadRules());
  ASSERT_TRUE(monitor_->stores().ScanHeldFolder(record).ok());
  device::ServiceMessage m;
  ASSERT_TRUE(device::GetServiceMessage(ids[1], &m));
  EXPECT_NE(m.folder_path, "Outbox\\Tarnvex");
  // The whole walk forgets what it did not meet.
  ASSERT_TRUE(monitor_->stores().ScanHeldFolder(record).ok());
  EXPECT_EQ(monitor_->stores().JudgedMessageCount(), 2u);
}

TEST_F(StoresTest, AStoreWithoutOutboxIsEnteredButNotScanned) {
  // A store whose Outbox cannot be opened: the record stays without one.
  Enumerate();
  StoreRecord& record = monitor_->stores().table().records[0];
  IMsgStore* store = record.store.exchange(nullptr);
  store->Release();
  record.entry_id.assign(13, 0);  // an identifier that opens nothing
  EXPECT_FALSE(monitor_->stores().ScanHeldFolder(record).ok());
}

// Faults the service can answer with at any moment, put between the walk and
// the real service: a held folder whose OpenEntry fails, and messages whose
// body cannot be read (its stream fails). Everything else is the service's.
template <typename Interface>
class Forwarding : public Interface {
 public:
  explicit Forwarding(Interface* inner) : inner_(inner) { inner_->AddRef(); }
  HRESULT QueryInterface(REFIID iid, void** object) override {
    return inner_->QueryInterface(iid, object);
  }
  ULONG AddRef() override { return ++references_; }
  ULONG Release() override {
    ULONG now = --references_;
    if (now == 0) delete this;
    return now;
  }
  HRESULT GetProps(LPSPropTagArray tags, ULONG flags, ULONG* count,
                   LPSPropValue* values) override {
    return inner_->GetProps(tags, flags, count, values);
  }
  HRESULT OpenProperty(ULONG tag, LPCIID iid, ULONG options, ULONG flags,
                       LPUNKNOWN* object) override {
    return inner_->OpenProperty(tag, iid, options, flags, object);
  }

 protected:
  ~Forwarding() override { inner_->Release(); }
  Interface* inner_;
  ULONG references_ = 1;
};

class FailingStream : public IStream {
 public:
  HRESULT QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
  ULONG AddRef() override { return ++references_; }
  ULONG Release() override {
    ULONG now = --references_;
    if (now == 0) delete this;
    return now;
  }
  HRESULT Read(void*, ULONG, ULONG* read) override {
    if (read != nullptr) *read = 0;
    return MAPI_E_CALL_FAILED;  // an I/O error part way
  }
  HRESULT Stat(STATSTG* stat, ULONG) override {
    *stat = {};
    stat->cbSize = 64;
    return S_OK;
  }

 private:
  ULONG references_ = 1;
};

class UnreadableBody : public Forwarding<IMessage> {
 public:
  using Forwarding::Forwarding;
  HRESULT OpenProperty(ULONG tag, LPCIID, ULONG, ULONG,
                       LPUNKNOWN* object) override {
    if (tag != PR_BODY_W) return MAPI_E_NOT_FOUND;
    *object = new FailingStream();
    return S_OK;
  }
  HRESULT GetRecipientTable(ULONG flags, LPMAPITABLE* table) override {
    return inner_->GetRecipientTable(flags, table);
  }
};

class FaultyFolder : public Forwarding<IMAPIFolder> {
 public:
  enum class Fault { kOpenFails, kBodyUnreadable };
  FaultyFolder(IMAPIFolder* inner, Fault fault)
      : Forwarding(inner), fault_(fault) {}
  HRESULT GetContentsTable(ULONG flags, LPMAPITABLE* table) override {
    return inner_->GetContentsTable(flags, table);
  }
  HRESULT OpenEntry(ULONG size, LPENTRYID id, LPCIID iid, ULONG flags,
                    ULONG* type, LPUNKNOWN* object) override {
    if (fault_ == Fault::kOpenFails) return MAPI_E_CALL_FAILED;
    HRESULT hr = inner_->OpenEntry(size, id, iid, flags, type, object);
    if (SUCCEEDED(hr) && *type == MAPI_MESSAGE) {
      IMessage* real = static_cast<IMessage*>(*object);
      *object = new UnreadableBody(real);
      real->Release();
    }
    return hr;
  }
  HRESULT CreateFolder(ULONG folder_type, LPTSTR name, LPTSTR comment,
                       LPCIID iid, ULONG flags, IMAPIFolder** folder) override {
    return inner_->CreateFolder(folder_type, name, comment, iid, flags, folder);
  }
  HRESULT CopyMessages(LPENTRYLIST messages, LPCIID iid, LPVOID destination,
                       ULONG_PTR ui_param, LPMAPIPROGRESS progress,
                       ULONG flags) override {
    return inner_->CopyMessages(messages, iid, destination, ui_param, progress,
                                flags);
  }

 private:
  Fault fault_;
};

TEST_F(StoresTest,
       AHeldMessageThatCannotBeOpenedOrReadIsNotRecordedAndTakenUpAgain) {
  Enumerate();
  ASSERT_EQ(monitor_->stores().Count(), 1);
  StoreRecord& record = monitor_->stores().table().records[0];
  int64_t id = Save({u"5550100"}, u"s", u"the body as it is");
  ASSERT_EQ(HeldFolderOf(id), "Outbox\\Tarnvex");
  HeldFolder folders = OpenHeldFolder(record.store.load());
  ASSERT_TRUE(folders.held);
  Owned<IMAPITable> contents;
  ASSERT_EQ(folders.held->GetContentsTable(0, contents.put()), S_OK);
  OwnedRows rows;
  ASSERT_EQ(contents->QueryRows(1, 0, rows.put()), S_OK);
  ASSERT_EQ(rows->cRows, 1u);
  const SRow& row = rows->aRow[0];

  for (FaultyFolder::Fault fault : {FaultyFolder::Fault::kOpenFails,
                                    FaultyFolder::Fault::kBodyUnreadable}) {
    Owned<IMAPIFolder> faulty(new FaultyFolder(folders.held.get(), fault));
    // Not judged now: the walk is not whole, so the worker makes it again.
    EXPECT_FALSE(
        monitor_->stores()
            .ProcessMessage(record, row, folders.outbox.get(), faulty.get())
            .ok());
    // And nothing is recorded: a body that could not be read is no empty one.
    EXPECT_EQ(RecordCount(), 0);
  }
  // Read whole at last: one record, the message's own.
  EXPECT_TRUE(
      monitor_->stores()
          .ProcessMessage(record, row, folders.outbox.get(), folders.held.get())
          .ok());
  EXPECT_TRUE(monitor_->stores().ScanHeldFolder(record).ok());
  std::vector<DayRecord> records = DayRecords();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_NE(records[0].message.find("the body as it is"), std::string::npos);
}

TEST(AdviseSinkTest, QueryInterfaceAndCounting) {
  hold::Monitor monitor;
  IMAPIAdviseSink* sink = monitor.NewAdviseSink().release();
  void* out = nullptr;
  EXPECT_EQ(sink->QueryInterface(IID_IUnknown, &out), S_OK);
  EXPECT_EQ(out, static_cast<IMAPIAdviseSink*>(sink));
  EXPECT_EQ(sink->QueryInterface(IID_IMAPIAdviseSink, &out), S_OK);
  out = reinterpret_cast<void*>(0x1);
  EXPECT_EQ(sink->QueryInterface(IID_IMAPITable, &out), E_NOINTERFACE);
  EXPECT_EQ(out, reinterpret_cast<void*>(0x1));
  EXPECT_EQ(sink->AddRef(), 4u);
  EXPECT_EQ(sink->Release(), 3u);
  NOTIFICATION deleted = {};
  deleted.ulEventType = fnevObjectDeleted;
  EXPECT_EQ(sink->OnNotify(1, &deleted), 0u);
  sink->Release();
  sink->Release();
  EXPECT_EQ(sink->Release(), 0u);  // freed here (ASan checks)
}

}  // namespace
