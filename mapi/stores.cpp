#include "mapi/stores.h"

#include <strings.h>

#include <cstring>
#include <mutex>
#include <string>

#include "device/codepage.h"
#include "device/debug.h"
#include "device/threads.h"
#include "filter/rule_table.h"
#include "mapi/message_reader.h"
#include "mapi/monitor.h"
#include "storage/message_db.h"

namespace {

IMAPISession* g_session = nullptr;
std::mutex g_session_lock;
bool (*g_safe_point)() = nullptr;

// The one bounded copy into a narrow fixed field.
template <size_t N>
void CopyName(char (&field)[N], const std::string& text) {
  CopyField(field, N, text);
}

std::string NarrowMapiText(const char16_t* text) {
  if (text == nullptr) return "";
  return device::WideToAnsi(text);
}

IMsgStore* OpenStore(const StoreRecord& record) {
  IMsgStore* store = nullptr;
  IMAPISession* session = Session();
  if (session == nullptr) return nullptr;
  HRESULT hr = session->OpenMsgStore(
      0, static_cast<ULONG>(record.entry_id.size()),
      reinterpret_cast<LPENTRYID>(const_cast<uint8_t*>(record.entry_id.data())),
      nullptr, MDB_NO_DIALOG | MAPI_BEST_ACCESS, &store);
  return SUCCEEDED(hr) ? store : nullptr;
}

IMAPIFolder* CreateHeldFolder(IMAPIFolder* outbox) {
  IMAPIFolder* held = nullptr;
  HRESULT hr = outbox->CreateFolder(
      FOLDER_GENERIC,
      reinterpret_cast<LPTSTR>(const_cast<char16_t*>(kHeldFolderName)), nullptr,
      nullptr, MAPI_UNICODE | OPEN_IF_EXISTS, &held);
  return SUCCEEDED(hr) ? held : nullptr;
}

// True when the service could not answer for the property now (as opposed
// to answering that there is none).
bool CouldNotRead(IMAPIProp* object, ULONG tag) {
  SizedSPropTagArray(1, tags) = {1, {tag}};
  ULONG count = 0;
  LPSPropValue values = nullptr;
  HRESULT hr = object->GetProps(reinterpret_cast<LPSPropTagArray>(&tags),
                                MAPI_UNICODE, &count, &values);
  if (values != nullptr) MAPIFreeBuffer(values);
  return FAILED(hr);
}

}  // namespace

StoreTableData& StoreTable() {
  static StoreTableData* table = new StoreTableData;  // lives until exit
  return *table;
}

IMAPISession* Session() {
  std::lock_guard<std::mutex> guard(g_session_lock);
  return g_session;
}

bool EnsureSession() {
  std::lock_guard<std::mutex> guard(g_session_lock);
  if (g_session != nullptr) return true;
  IMAPISession* session = nullptr;
  HRESULT hr = MAPILogonEx(
      0, reinterpret_cast<LPTSTR>(const_cast<char16_t*>(u"")), nullptr,
      MAPI_LOGON_UI | MAPI_NEW_SESSION | MAPI_EXPLICIT_PROFILE, &session);
  if (hr != S_OK || session == nullptr) return false;
  g_session = session;
  return true;
}

bool EnterStore(StoreRecord& record) {
  if (record.advised.load()) return true;
  IMsgStore* store = record.store.load();
  if (store == nullptr) {
    IMsgStore* opened = OpenStore(record);
    if (opened == nullptr) {
      device::DebugOut("Store %s cannot be opened\n", record.name);
      return false;
    }
    IMsgStore* expected = nullptr;
    if (record.store.compare_exchange_strong(expected, opened)) {
      store = opened;
    } else {
      opened->Release();  // the worker opened it meanwhile
      store = expected;
    }
  }
  // The Outbox name is written only while the store is not advised, and the
  // outgoing check reads it only of an advised store (a notification of a
  // store that is being advised is tried again a moment later).
  IMAPIFolder* outbox = nullptr;
  IMAPIFolder* held = nullptr;
  LPSPropValue outbox_id = nullptr;
  OpenHeldFolder(store, &outbox, &held, &outbox_id);
  // The outgoing check knows the Outbox by this name: a store whose Outbox
  // could not be read now (a locked service file) is not watched yet, or
  // its messages would pass unjudged once the subscription works. Only a
  // store that has no Outbox at all is watched without one.
  bool outbox_known = false;
  if (outbox != nullptr) {
    if (LPSPropValue display = GetOneProperty(outbox, PR_DISPLAY_NAME_W)) {
      CopyName(record.outbox_name, NarrowMapiText(display->Value.lpszW));
      MAPIFreeBuffer(display);
      outbox_known = true;
    }
    outbox->Release();
  } else if (outbox_id == nullptr) {
    outbox_known = !CouldNotRead(store, PR_IPM_OUTBOX_ENTRYID);
  }
  if (held != nullptr) held->Release();
  if (outbox_id != nullptr) MAPIFreeBuffer(outbox_id);
  if (!outbox_known) {
    device::DebugOut("The Outbox of store %s cannot be read now\n",
                     record.name);
    return false;
  }
  // The sink is the service's from here on: the program keeps no reference
  // and never cancels the subscription.
  CAdviseSink* sink = new CAdviseSink();
  ULONG connection = 0;
  HRESULT hr = store->Advise(0, nullptr, fnevObjectCreated | fnevObjectMoved,
                             sink, &connection);
  sink->Release();
  if (FAILED(hr)) {
    device::DebugOut("Advise on store %s failed (0x%08x)\n", record.name,
                     static_cast<unsigned>(hr));
    return false;
  }
  record.advised.store(true);
  return true;
}

int32_t EnterMissingStores() {
  StoreTableData& stores = StoreTable();
  int32_t missing = 0;
  for (int32_t i = 0; i < stores.count.load(); ++i) {
    if (!EnterStore(stores.records[i])) ++missing;
  }
  return missing;
}

bool EnumerateStores(IMAPITable* table) {
  StoreTableData& stores = StoreTable();
  stores.count.store(0);
  SizedSPropTagArray(2, columns) = {2, {PR_DISPLAY_NAME_W, PR_ENTRYID}};
  table->SetColumns(reinterpret_cast<LPSPropTagArray>(&columns), 0);
  device::SleepMs(kStoreRowPauseMs);

  for (;;) {
    LPSRowSet rows = nullptr;
    HRESULT hr = table->QueryRows(1, 0, &rows);
    if (FAILED(hr) || rows == nullptr || rows->cRows != 1) {
      if (rows != nullptr) FreeProws(rows);
      break;
    }
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
      StoreRecord& record = stores.records[stores.count.load()];
      CopyName(record.name, name);
      record.entry_id.clear();
      if (entry_id != nullptr && entry_id->lpb != nullptr) {
        record.entry_id.assign(entry_id->lpb, entry_id->lpb + entry_id->cb);
      }
      PrepareStoreDb(record.name);
      record.row_count = 0;
      record.pending.store(0);
      record.advised.store(false);
      record.outbox_name[0] = '\0';
      // Counted before it is advised: its first notifications (those of the
      // messages already in its Outbox come at once) must find it in the
      // table, or the outgoing check would take its Outbox for a stranger's.
      stores.count.fetch_add(1);
      EnterStore(record);
    }
    FreeProws(rows);
    device::SleepMs(kStoreRowPauseMs);
  }
  table->Release();
  return true;
}

int32_t StoreCount() { return StoreTable().count.load(); }

bool GetStoreName(int32_t index, char* name) {
  if (index < 0 || index >= StoreCount() || name == nullptr) return false;
  CopyField(name, kStoreNameSize, StoreTable().records[index].name);
  return true;
}

void OpenHeldFolder(IMsgStore* store, IMAPIFolder** outbox, IMAPIFolder** held,
                    LPSPropValue* outbox_entry_id) {
  *outbox = nullptr;
  *held = nullptr;
  *outbox_entry_id = nullptr;
  if (store == nullptr) return;
  LPSPropValue id = GetOneProperty(store, PR_IPM_OUTBOX_ENTRYID);
  if (id == nullptr) return;
  *outbox_entry_id = id;
  ULONG type = 0;
  IUnknown* object = nullptr;
  if (FAILED(store->OpenEntry(
          id->Value.bin.cb, reinterpret_cast<LPENTRYID>(id->Value.bin.lpb),
          nullptr, MAPI_MODIFY | MAPI_DEFERRED_ERRORS, &type, &object)) ||
      object == nullptr) {
    return;
  }
  if (type != MAPI_FOLDER) {
    object->Release();
    return;
  }
  *outbox = static_cast<IMAPIFolder*>(object);
  *held = CreateHeldFolder(*outbox);
  if (*held == nullptr) device::DebugOut("Failed to create Tarnvex folder");
}

bool ScanHeldFolder(StoreRecord& record) {
  IMsgStore* store = record.store.load();
  if (store == nullptr) {
    store = OpenStore(record);
    IMsgStore* expected = nullptr;
    if (store != nullptr &&
        !record.store.compare_exchange_strong(expected, store)) {
      store->Release();
      store = expected;
    }
  }
  if (store == nullptr) return false;

  IMAPIFolder* outbox = nullptr;
  IMAPIFolder* held = nullptr;
  LPSPropValue outbox_id = nullptr;
  OpenHeldFolder(store, &outbox, &held, &outbox_id);
  if (outbox == nullptr) {
    if (held != nullptr) held->Release();
    if (outbox_id != nullptr) MAPIFreeBuffer(outbox_id);
    return false;
  }

  IMAPITable* contents = nullptr;
  if (held != nullptr && SUCCEEDED(held->GetContentsTable(0, &contents)) &&
      contents != nullptr) {
    SizedSPropTagArray(8, columns) = {
        8,
        {PR_ENTRYID, PR_MESSAGE_DELIVERY_TIME, PR_SUBJECT_W, PR_BODY_W,
         PR_SENDER_NAME_W, PR_SENDER_EMAIL_ADDRESS_W,
         PR_RECEIVED_BY_EMAIL_ADDRESS_W, PR_MESSAGE_FLAGS}};
    contents->SetColumns(reinterpret_cast<LPSPropTagArray>(&columns), 0);
    SizedSSortOrderSet(1, order) = {
        1, 0, 0, {{PR_MESSAGE_DELIVERY_TIME, TABLE_SORT_DESCEND}}};
    contents->SortTable(reinterpret_cast<LPSSortOrderSet>(&order), 0);
    ULONG count = 0;
    contents->GetRowCount(0, &count);
    record.row_count = static_cast<int32_t>(count);
    device::DebugOut("%d.", record.row_count);

    BeginHeldWalk(record);
    bool whole = false;
    for (int32_t n = 0;;) {
      if (g_safe_point != nullptr && !g_safe_point()) break;
      device::SleepMs(kHeldRowPauseMs);
      LPSRowSet rows = nullptr;
      if (FAILED(contents->QueryRows(1, 0, &rows))) break;
      if (rows == nullptr || rows->cRows != 1) {
        if (rows != nullptr) FreeProws(rows);
        whole = rows != nullptr;
        break;
      }
      ++n;
      char progress[kStoreNameSize + 32];
      snprintf(progress, sizeof progress, "%s : %d / %d.", record.name, n,
               record.row_count);
      ShowStatusTextHook(progress);
      ProcessMessage(record, rows->aRow[0], outbox, held, contents);
      FreeProws(rows);
    }
    if (whole) EndHeldWalk(record);
    contents->Release();
  }
  if (outbox_id != nullptr) MAPIFreeBuffer(outbox_id);
  outbox->Release();
  if (held != nullptr) held->Release();
  return true;
}

HRESULT MoveOneMessage(ULONG entry_id_size, const BYTE* entry_id,
                       IMAPIFolder* source, IMAPIFolder* destination) {
  if (source == nullptr || destination == nullptr)
    return MAPI_E_INVALID_PARAMETER;
  SBinary entry = {entry_id_size, const_cast<BYTE*>(entry_id)};
  ENTRYLIST list = {1, &entry};
  return source->CopyMessages(&list, nullptr, destination, 0, nullptr,
                              MESSAGE_MOVE);
}

bool MoveMessage(ULONG entry_id_size, const BYTE* entry_id, IMAPIFolder* source,
                 IMAPIFolder* destination, bool report) {
  HRESULT hr = MoveOneMessage(entry_id_size, entry_id, source, destination);
  if (FAILED(hr)) {
    if (report) device::DebugOut("Failed to move message to tarnvex folder");
    return false;
  }
  return true;
}

void SetWalkSafePoint(bool (*safe_point)()) { g_safe_point = safe_point; }

void ResetStores() {
  StoreTableData& stores = StoreTable();
  for (int32_t i = 0; i < stores.count.load(); ++i) {
    StoreRecord& record = stores.records[i];
    if (IMsgStore* store = record.store.exchange(nullptr)) store->Release();
    record.entry_id.clear();
    record.name[0] = record.outbox_name[0] = '\0';
    record.pending.store(0);
    record.advised.store(false);
    record.row_count = 0;
  }
  stores.count.store(0);
  std::lock_guard<std::mutex> guard(g_session_lock);
  if (g_session != nullptr) g_session->Release();
  g_session = nullptr;
}
