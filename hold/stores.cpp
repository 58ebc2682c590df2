// The stores of the watch: the session, the table of stores entered and
// advised, each store's held folder under its Outbox, the moves between
// folders, and the count of what waits to leave.
#include "hold/stores.h"

#include <strings.h>

#include <algorithm>
#include <cassert>
#include <cstring>
#include <string>

#include "base/debug.h"
#include "device/codepage.h"
#include "device/threads.h"
#include "hold/hresult.h"
#include "hold/message_reader.h"
#include "hold/monitor.h"
#include "storage/records.h"
#include "text/field.h"

namespace {

// The one bounded copy into a narrow fixed field.
template <size_t N>
void CopyName(char (&field)[N], const std::string& text) {
  CopyField(field, N, text);
}

std::string NarrowMapiText(const char16_t* text) {
  if (text == nullptr) return "";
  return device::WideToAnsi(text);
}

}  // namespace

namespace hold {

Owned<IMAPIAdviseSink> Stores::MakeSink() {
  SinkFactory make;
  {
    base::MutexLock guard(&session_lock_);
    make = make_sink_;
  }
  return make ? make() : Owned<IMAPIAdviseSink>();
}

Owned<IMsgStore> Stores::OpenStore(const StoreRecord& record) {
  Owned<IMsgStore> store;
  IMAPISession* session = Session();
  if (session == nullptr) return store;
  HRESULT hr = session->OpenMsgStore(
      0, static_cast<ULONG>(record.entry_id.size()),
      reinterpret_cast<LPENTRYID>(const_cast<uint8_t*>(record.entry_id.data())),
      nullptr, MDB_NO_DIALOG | MAPI_BEST_ACCESS, store.put());
  if (FAILED(hr)) store.reset();
  return store;
}

// The record's store, opened now when it is not yet. The record keeps the
// reference; whoever loses a race to open it gives up its own.
IMsgStore* Stores::RecordStore(StoreRecord& record) {
  IMsgStore* store = record.store.load();
  if (store != nullptr) return store;
  Owned<IMsgStore> opened = OpenStore(record);
  if (!opened) return nullptr;
  IMsgStore* expected = nullptr;
  if (record.store.compare_exchange_strong(expected, opened.get())) {
    return opened.release();
  }
  return expected;  // opened meanwhile by the other thread
}

}  // namespace hold

namespace {

Owned<IMAPIFolder> CreateHeldFolder(IMAPIFolder* outbox) {
  Owned<IMAPIFolder> held;
  HRESULT hr = outbox->CreateFolder(
      FOLDER_GENERIC,
      reinterpret_cast<LPTSTR>(const_cast<char16_t*>(kHeldFolderName)), nullptr,
      nullptr, MAPI_UNICODE | OPEN_IF_EXISTS, held.put());
  if (FAILED(hr)) held.reset();
  return held;
}

// True when the service could not answer for the property now (as opposed
// to answering that there is none).
bool CouldNotRead(IMAPIProp* object, ULONG tag) {
  SizedSPropTagArray(1, tags) = {1, {tag}};
  ULONG count = 0;
  OwnedProps values;
  HRESULT hr = object->GetProps(reinterpret_cast<LPSPropTagArray>(&tags),
                                MAPI_UNICODE, &count, values.put());
  return FAILED(hr);
}

}  // namespace

namespace hold {

IMAPISession* Stores::Session() {
  base::MutexLock guard(&session_lock_);
  return session_.get();
}

base::Status Stores::EnsureSession() {
  base::MutexLock guard(&session_lock_);
  if (session_) return base::Status::Ok();
  Owned<IMAPISession> session;
  HRESULT hr = MAPILogonEx(
      0, reinterpret_cast<LPTSTR>(const_cast<char16_t*>(u"")), nullptr,
      MAPI_LOGON_UI | MAPI_NEW_SESSION | MAPI_EXPLICIT_PROFILE, session.put());
  base::Status logged_on = hold::FromHresult(hr, "logging on");
  if (logged_on.ok() && !session)
    logged_on = base::Status::IoError("logging on: no session");
  if (logged_on.ok()) session_ = std::move(session);
  return logged_on;
}

bool Stores::Enter(StoreRecord& record) {
  // Its records database first (the outgoing check holds without it, but
  // the worker records nothing until it is there).
  if (!record.records_ready.load()) {
    record.records_ready.store(records::EnsureStore(record.name).ok());
    if (!record.records_ready.load())
      base::DebugOut("The records of store %s cannot be made now\n",
                     record.name);
  }
  if (record.advised.load()) return record.records_ready.load();
  IMsgStore* store = RecordStore(record);
  if (store == nullptr) {
    base::DebugOut("Store %s cannot be opened\n", record.name);
    return false;
  }
  // The Outbox name is written only while the store is not advised, and the
  // outgoing check reads it only of an advised store (a notification of a
  // store that is being advised is tried again a moment later).
  HeldFolder folders = OpenHeldFolder(store);
  // The outgoing check knows the Outbox by this name: a store whose Outbox
  // could not be read now (a locked service file) is not watched yet, or
  // its messages would pass unjudged once the subscription works. Only a
  // store that has no Outbox at all is watched without one.
  bool outbox_known = false;
  if (folders.outbox) {
    if (OwnedProps display =
            GetOneProperty(folders.outbox.get(), PR_DISPLAY_NAME_W)) {
      CopyName(record.outbox_name, NarrowMapiText(display->Value.lpszW));
      outbox_known = true;
    }
  } else if (!folders.outbox_id) {
    outbox_known = !CouldNotRead(store, PR_IPM_OUTBOX_ENTRYID);
  }
  if (!outbox_known) {
    base::DebugOut("The Outbox of store %s cannot be read now\n", record.name);
    return false;
  }
  // The sink is the service's from here on: the program keeps no reference
  // to it, only the subscription's connection, which UnadviseStores cancels
  // when monitoring stops.
  Owned<IMAPIAdviseSink> sink = MakeSink();
  if (!sink) {
    base::DebugOut("No advise sink for store %s\n", record.name);
    return false;
  }
  ULONG connection = 0;
  HRESULT hr = store->Advise(
      0, nullptr, fnevObjectCreated | fnevObjectMoved | fnevObjectModified,
      sink.get(), &connection);
  if (FAILED(hr)) {
    base::DebugOut("Advise on store %s failed (0x%08x)\n", record.name,
                   static_cast<unsigned>(hr));
    return false;
  }
  record.connection = connection;
  record.advised.store(true);
  return record.records_ready.load();
}

int32_t Stores::EnterMissing() {
  StoreTableData& stores = table_;
  int32_t missing = 0;
  for (int32_t i = 0; i < stores.count.load(); ++i) {
    if (!Enter(stores.records[i])) ++missing;
  }
  return missing;
}

bool Stores::Enumerate(IMAPITable* table_given, SinkFactory make_sink) {
  Owned<IMAPITable> table(table_given);  // the caller's reference, taken over
  {
    base::MutexLock guard(&session_lock_);
    make_sink_ = std::move(make_sink);
  }
  StoreTableData& stores = table_;
  stores.count.store(0);
  SizedSPropTagArray(2, columns) = {2, {PR_DISPLAY_NAME_W, PR_ENTRYID}};
  table->SetColumns(reinterpret_cast<LPSPropTagArray>(&columns), 0);
  device::SleepMs(kStoreRowPauseMs);

  OwnedRows rows;
  for (;;) {
    HRESULT hr = table->QueryRows(1, 0, rows.put());
    if (FAILED(hr) || !rows || rows->cRows != 1) break;
    std::string name;
    const SBinary* entry_id = nullptr;
    const SRow& row = rows->aRow[0];
    for (ULONG i = 0; i < row.cValues; ++i) {
      const SPropValue& value = row.lpProps[i];
      if (value.ulPropTag == PR_DISPLAY_NAME_W) {
        name = NarrowMapiText(value.Value.lpszW);
      } else if (value.ulPropTag == PR_ENTRYID) {
        entry_id = &value.Value.bin;
      }
    }
    // Stores are compared by the name as the table keeps it.
    char kept_name[kStoreNameSize] = {};
    CopyName(kept_name, name);
    bool skip = strcasecmp(kept_name, "activesync") == 0 ||
                stores.count.load() >= kMaxStores;
    for (int32_t i = 0; !skip && i < stores.count.load(); ++i) {
      if (strcasecmp(stores.records[i].name, kept_name) == 0) skip = true;
    }
    if (!skip) {
      assert(stores.count.load() < kMaxStores);
      StoreRecord& record = stores.records[stores.count.load()];
      CopyName(record.name, name);
      record.entry_id.clear();
      if (entry_id != nullptr && entry_id->lpb != nullptr) {
        record.entry_id.assign(entry_id->lpb, entry_id->lpb + entry_id->cb);
      }
      record.records_ready.store(false);  // made by EnterStore
      record.row_count = 0;
      record.pending.store(0);
      record.advised.store(false);
      record.outbox_name[0] = '\0';
      // Counted before it is advised: its first notifications (those of the
      // messages already in its Outbox come at once) must find it in the
      // table, or the outgoing check would take its Outbox for a stranger's.
      stores.count.fetch_add(1);
      Enter(record);
    }
    device::SleepMs(kStoreRowPauseMs);
  }
  return true;
}

bool Stores::GetName(int32_t index, char* name) const {
  if (index < 0 || index >= Count() || name == nullptr) return false;
  assert(index < kMaxStores);
  CopyField(name, kStoreNameSize, table_.records[index].name);
  return true;
}

}  // namespace hold

HeldFolder OpenHeldFolder(IMsgStore* store) {
  HeldFolder folders;
  if (store == nullptr) return folders;
  folders.outbox_id = GetOneProperty(store, PR_IPM_OUTBOX_ENTRYID);
  if (!folders.outbox_id) return folders;
  const SBinary& id = folders.outbox_id->Value.bin;
  ULONG type = 0;
  Owned<IUnknown> object;
  if (FAILED(store->OpenEntry(id.cb, reinterpret_cast<LPENTRYID>(id.lpb),
                              nullptr, MAPI_MODIFY | MAPI_DEFERRED_ERRORS,
                              &type, object.put())) ||
      !object || type != MAPI_FOLDER) {
    return folders;
  }
  folders.outbox = std::move(object).As<IMAPIFolder>();
  folders.held = CreateHeldFolder(folders.outbox.get());
  if (!folders.held) base::DebugOut("Failed to create Tarnvex folder");
  return folders;
}

namespace {

// The messages of a folder (its contents table's rows); -1 when unread.
int32_t MessagesIn(IMAPIFolder* folder) {
  if (folder == nullptr) return -1;
  Owned<IMAPITable> contents;
  ULONG count = 0;
  if (FAILED(folder->GetContentsTable(0, contents.put())) || !contents ||
      FAILED(contents->GetRowCount(0, &count))) {
    return -1;
  }
  return static_cast<int32_t>(count);
}

}  // namespace

namespace hold {

bool Stores::CountWaiting(WaitingMessages* waiting) {
  *waiting = WaitingMessages();
  bool whole = true;
  StoreTableData& stores = table_;
  for (int32_t i = 0; i < stores.count.load(); ++i) {
    assert(i < kMaxStores);
    IMsgStore* store = stores.records[i].store.load();
    if (store == nullptr) {
      whole = false;
      continue;
    }
    HeldFolder folders = OpenHeldFolder(store);
    const int32_t in_outbox = MessagesIn(folders.outbox.get());
    const int32_t held = MessagesIn(folders.held.get());
    if (in_outbox < 0 || held < 0) whole = false;
    waiting->in_outboxes += std::max(in_outbox, 0);
    waiting->held += std::max(held, 0);
  }
  return whole;
}

}  // namespace hold

HRESULT MoveOneMessage(ULONG entry_id_size, const BYTE* entry_id,
                       IMAPIFolder* source, IMAPIFolder* destination) {
  if (source == nullptr || destination == nullptr)
    return MAPI_E_INVALID_PARAMETER;
  SBinary entry = {entry_id_size, const_cast<BYTE*>(entry_id)};
  ENTRYLIST list = {1, &entry};
  return source->CopyMessages(&list, nullptr, destination, 0, nullptr,
                              MESSAGE_MOVE);
}

base::Status MoveMessage(ULONG entry_id_size, const BYTE* entry_id,
                         IMAPIFolder* source, IMAPIFolder* destination,
                         bool report) {
  base::Status moved = hold::FromHresult(
      MoveOneMessage(entry_id_size, entry_id, source, destination),
      "moving a message");
  if (!moved.ok() && report)
    base::DebugOut("Failed to move message to tarnvex folder");
  return moved;
}

namespace hold {

void Stores::SetWalkSafePoint(std::function<bool()> safe_point) {
  safe_point_ = std::move(safe_point);
}

void Stores::SetProgressHandler(
    std::function<void(const std::string&)> progress) {
  progress_ = std::move(progress);
}

void Stores::Unadvise() {
  StoreTableData& stores = table_;
  for (int32_t i = 0; i < stores.count.load(); ++i) {
    StoreRecord& record = stores.records[i];
    IMsgStore* store = record.store.load();
    if (!record.advised.exchange(false) || store == nullptr) continue;
    HRESULT hr = store->Unadvise(record.connection);
    if (FAILED(hr)) {
      base::DebugOut("Unadvise on store %s failed (0x%08x)\n", record.name,
                     static_cast<unsigned>(hr));
    }
    record.connection = 0;
  }
}

void Stores::Close() {
  Unadvise();
  StoreTableData& stores = table_;
  for (int32_t i = 0; i < stores.count.load(); ++i) {
    StoreRecord& record = stores.records[i];
    Owned<IMsgStore> store(record.store.exchange(nullptr));
    record.entry_id.clear();
    record.name[0] = record.outbox_name[0] = '\0';
    record.pending.store(0);
    record.records_ready.store(false);
    record.row_count = 0;
  }
  stores.count.store(0);
  ForgetJudgedMessages();
  base::MutexLock guard(&session_lock_);
  session_.reset();
  make_sink_ = nullptr;
}

}  // namespace hold
