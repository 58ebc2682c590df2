#include "hold/monitor.h"

#include <strings.h>

#include <algorithm>
#include <cassert>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "device/codepage.h"
#include "device/debug.h"
#include "device/threads.h"
#include "device/window_registry.h"
#include "filter/classify.h"
#include "filter/rule_table.h"
#include "hold/message_reader.h"
#include "hold/stores.h"

std::atomic<int32_t> RulesChanged{0};

namespace {

// The worker's thread and its pause and stop requests. A pause is a request
// the worker honours at its safe points (between stores, between rows of a
// held folder, and while it waits); PauseWorker returns once the worker
// stands still at one.
struct Worker {
  std::mutex lock;
  std::condition_variable changed;
  std::thread thread;
  std::thread::id id;
  bool running = false;   // the thread exists and has not ended
  bool paused = false;    // the paused flag: one pause, not a count
  int pause_holders = 0;  // WorkerPause guards alive (a worker started while
                          // one lives starts paused)
  bool standing = false;  // the worker waits at a safe point
  bool stop = false;
};

Worker& TheWorker() {
  static Worker* worker = new Worker;  // lives until exit
  return *worker;
}

std::mutex g_browser_lock;
BrowserCalls g_browser;
std::atomic<bool> g_check_holds_everything{false};

// The loop breaker's two sets of message entry identifiers.
struct Releases {
  std::mutex lock;
  std::set<std::string> released;    // released by the worker, not yet checked
  std::set<std::string> held_again;  // held again by the check
};

Releases& TheReleases() {
  static Releases* releases = new Releases;  // lives until exit
  return *releases;
}

std::string Key(const SBinary& entry_id) {
  if (entry_id.cb == 0 || entry_id.lpb == nullptr) return {};
  return std::string(reinterpret_cast<const char*>(entry_id.lpb), entry_id.cb);
}

// Waits while a pause is requested. False when the worker is asked to end.
bool SafePoint() {
  Worker& worker = TheWorker();
  std::unique_lock<std::mutex> guard(worker.lock);
  if (worker.stop) return false;
  if (!worker.paused) return true;
  worker.standing = true;
  worker.changed.notify_all();
  worker.changed.wait(guard, [&] { return !worker.paused || worker.stop; });
  worker.standing = false;
  return !worker.stop;
}

// The worker's pauses: a pause request or a stop ends the wait early.
bool WorkerSleep(int ms) {
  Worker& worker = TheWorker();
  {
    std::unique_lock<std::mutex> guard(worker.lock);
    worker.changed.wait_for(guard, std::chrono::milliseconds(ms),
                            [&] { return worker.paused || worker.stop; });
  }
  return SafePoint();
}

bool WalkSafePoint() { return SafePoint(); }

bool SameEntryId(IMAPISession* session, const SBinary& a, const SBinary& b) {
  if (a.cb == 0 || b.cb == 0) return false;
  ULONG result = 0;
  HRESULT hr =
      session->CompareEntryIDs(a.cb, reinterpret_cast<LPENTRYID>(a.lpb), b.cb,
                               reinterpret_cast<LPENTRYID>(b.lpb), 0, &result);
  return SUCCEEDED(hr) && result != 0;
}

// The store whose Outbox is the given folder, or null.
StoreRecord* StoreOfFolder(IMAPISession* session, const SBinary& parent) {
  StoreTableData& stores = StoreTable();
  for (int32_t i = 0; i < stores.count.load(); ++i) {
    assert(i < kMaxStores);
    IMsgStore* store = stores.records[i].store.load();
    if (store == nullptr) continue;
    bool same = false;
    if (OwnedProps id = GetOneProperty(store, PR_CE_IPM_OUTBOX_ALIAS)) {
      same = SameEntryId(session, id->Value.bin, parent);
    }
    if (!same) {
      if (OwnedProps id = GetOneProperty(store, PR_IPM_OUTBOX_ENTRYID)) {
        same = SameEntryId(session, id->Value.bin, parent);
      }
    }
    if (same) return &stores.records[i];
  }
  return nullptr;
}

// Closes the messaging application's compose window: hides it and ends the
// process that owns it.
void CloseComposeWindow() {
  auto window = device::FindWindowByTitle(kComposeTitleSms);
  if (!window) window = device::FindWindowByTitle(kComposeTitleMms);
  if (!window) return;
  device::RequestWindow(*window, device::WindowCommand::kHide);
  pid_t owner = device::WindowProcess(window->handle);
  if (owner != 0) device::TerminateDeviceProcess(owner);
}

// The compose windows are closed on a thread of their own, after the hold:
// a window whose owner does not answer delays neither the move nor the
// checks of other messages.
// Started by the first request, ended by StopMonitoring (after the requests
// made before the stop are done).
struct Closer {
  std::mutex lock;
  std::condition_variable wake;
  std::thread thread;
  int requests = 0;
  bool stop = false;
};

Closer& TheCloser() {
  static Closer* closer = new Closer;  // lives until exit
  return *closer;
}

void CloserLoop() {
  Closer& c = TheCloser();
  for (;;) {
    {
      std::unique_lock<std::mutex> g(c.lock);
      c.wake.wait(g, [&] { return c.requests > 0 || c.stop; });
      if (c.requests == 0) return;  // stopped, nothing left to close
      --c.requests;
    }
    try {
      CloseComposeWindow();
    } catch (...) {
      device::DebugCaught("Closing the compose window failed");
    }
  }
}

void RequestComposeWindowClose() {
  Closer& closer = TheCloser();
  std::lock_guard<std::mutex> guard(closer.lock);
  ++closer.requests;
  closer.wake.notify_one();
  if (closer.thread.joinable()) return;
  closer.stop = false;
  try {
    closer.thread = std::thread(CloserLoop);
  } catch (const std::exception& e) {
    // No thread to spare: close it here, after the hold all the same.
    device::DebugOut("No thread to close the compose window: %s\n", e.what());
    --closer.requests;
    CloseComposeWindow();
  }
}

// Ends the closer thread once it has done what was asked before.
void StopCloser() {
  Closer& closer = TheCloser();
  std::thread thread;
  {
    std::lock_guard<std::mutex> guard(closer.lock);
    closer.stop = true;
    closer.wake.notify_all();
    thread = std::move(closer.thread);
  }
  if (thread.joinable()) thread.join();
  std::lock_guard<std::mutex> guard(closer.lock);
  closer.stop = false;
}

// The outgoing checks under way on the service's notification thread. The
// stop of monitoring waits for them before it releases the stores they use;
// a notification that comes while the stop waits is not judged (its store
// is no longer advised, so the device does not count on this process).
struct Checks {
  std::mutex lock;
  std::condition_variable idle;
  int running = 0;
  bool closed = false;
};

Checks& TheChecks() {
  static Checks* checks = new Checks;  // lives until exit
  return *checks;
}

bool BeginCheck() {
  Checks& checks = TheChecks();
  std::lock_guard<std::mutex> guard(checks.lock);
  if (checks.closed) return false;
  ++checks.running;
  return true;
}

void EndCheck() {
  Checks& checks = TheChecks();
  std::lock_guard<std::mutex> guard(checks.lock);
  assert(checks.running > 0);
  if (--checks.running == 0) checks.idle.notify_all();
}

// Waits until no check runs, keeping new ones out until OpenChecks.
void CloseChecks() {
  Checks& checks = TheChecks();
  std::unique_lock<std::mutex> guard(checks.lock);
  checks.closed = true;
  checks.idle.wait(guard, [&] { return checks.running == 0; });
}

void OpenChecks() {
  Checks& checks = TheChecks();
  std::lock_guard<std::mutex> guard(checks.lock);
  checks.closed = false;
}

}  // namespace

// --- the loop breaker ----------------------------------------------------

void NoteReleased(const SBinary& entry_id) {
  Releases& r = TheReleases();
  std::lock_guard<std::mutex> guard(r.lock);
  r.released.insert(Key(entry_id));
}

void ForgetReleased(const SBinary& entry_id) {
  Releases& r = TheReleases();
  std::lock_guard<std::mutex> guard(r.lock);
  r.released.erase(Key(entry_id));
}

bool TakeReleasedAndHoldAgain(const SBinary& entry_id) {
  Releases& r = TheReleases();
  std::lock_guard<std::mutex> guard(r.lock);
  if (r.released.erase(Key(entry_id)) == 0) return false;
  r.held_again.insert(Key(entry_id));
  return true;
}

bool IsHeldAgain(const SBinary& entry_id) {
  Releases& r = TheReleases();
  std::lock_guard<std::mutex> guard(r.lock);
  return r.held_again.count(Key(entry_id)) != 0;
}

void SetCheckHoldsEverythingForTesting(bool on) {
  g_check_holds_everything.store(on);
}

void ForgetReleases() {
  Releases& r = TheReleases();
  std::lock_guard<std::mutex> guard(r.lock);
  r.released.clear();
  r.held_again.clear();
}

// --- the sink -------------------------------------------------------------

HRESULT CAdviseSink::QueryInterface(REFIID iid, void** object) {
  if (object == nullptr) return E_INVALIDARG;
  if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IMAPIAdviseSink)) {
    *object = static_cast<IMAPIAdviseSink*>(this);
    AddRef();
    return S_OK;
  }
  return E_NOINTERFACE;
}

Owned<IMAPIAdviseSink> NewAdviseSink() {
  return Owned<IMAPIAdviseSink>(new CAdviseSink());
}

ULONG CAdviseSink::AddRef() {
  return static_cast<ULONG>(references_.fetch_add(1) + 1);
}

ULONG CAdviseSink::Release() {
  int32_t now = references_.fetch_sub(1) - 1;
  if (now == 0) delete this;
  return static_cast<ULONG>(now);
}

ULONG CAdviseSink::OnNotify(ULONG count, LPNOTIFICATION notifications) {
  if (!BeginCheck()) return 0;  // monitoring is stopping
  struct EndOnExit {
    ~EndOnExit() { EndCheck(); }
  } end_on_exit;
  std::vector<const NOTIFICATION*> checks;
  for (ULONG i = 0; notifications != nullptr && i < count; ++i) {
    const NOTIFICATION& notification = notifications[i];
    switch (notification.ulEventType) {
      case fnevObjectCreated:
      case fnevObjectMoved:
      case fnevObjectModified:  // its recipients changed after a judgement
        checks.push_back(&notification);
        break;
      case fnevObjectDeleted:
        device::DebugOut("deleted");
        break;
      default:
        break;
    }
  }
  CheckOutgoingMessages(checks);
  return 0;
}

// --- the outgoing check ---------------------------------------------------

namespace {

std::atomic<bool> g_stopping{false};

// Which store's Outbox a folder is.
enum class Folder { kOutbox, kOther, kUnknown };

// By the folder's name: the first store that can open the folder decides.
// kUnknown when the service could not be read (the check tries again).
Folder OutboxOwner(const OBJECT_NOTIFICATION& object, StoreRecord** owner) {
  StoreTableData& stores = StoreTable();
  for (int32_t i = 0; i < stores.count.load(); ++i) {
    assert(i < kMaxStores);
    StoreRecord& record = stores.records[i];
    IMsgStore* store = record.store.load();
    if (store == nullptr) continue;
    ULONG type = 0;
    Owned<IUnknown> folder;
    HRESULT hr = store->OpenEntry(object.cbParentID, object.lpParentID, nullptr,
                                  MAPI_MODIFY, &type, folder.put());
    if (FAILED(hr) || !folder) {
      if (hr != MAPI_E_NOT_FOUND && hr != MAPI_E_INVALID_ENTRYID)
        return Folder::kUnknown;
      continue;
    }
    if (type != MAPI_FOLDER) return Folder::kOther;
    // A folder of a store that is being advised right now (its first
    // notifications come while the advise is under way): its Outbox name is
    // read once the store is watched, a moment later.
    if (!record.advised.load()) return Folder::kUnknown;
    SizedSPropTagArray(1, tags) = {1, {PR_DISPLAY_NAME_W}};
    ULONG count = 0;
    OwnedProps values;
    hr = std::move(folder).As<IMAPIFolder>()->GetProps(
        reinterpret_cast<LPSPropTagArray>(&tags), MAPI_UNICODE, &count,
        values.put());
    if (FAILED(hr)) return Folder::kUnknown;
    std::string name;
    if (values && count == 1 && values[0].ulPropTag == PR_DISPLAY_NAME_W) {
      name = device::WideToAnsi(values[0].Value.lpszW);
    }
    if (name.empty() || strcasecmp(name.c_str(), record.outbox_name) != 0)
      return Folder::kOther;
    *owner = &record;
    return Folder::kOutbox;
  }
  return Folder::kOther;
}

// The message's own identifier, which may be written a moment after the
// notification: read it up to kEntryIdReads times. The last read's result
// goes to *current.
std::vector<BYTE> WaitForEntryId(IMessage* message, HRESULT* current) {
  std::vector<BYTE> entry_id;
  for (int i = 0; i < kEntryIdReads; ++i) {
    SizedSPropTagArray(1, tags) = {1, {PR_ENTRYID}};
    ULONG count = 0;
    OwnedProps values;
    *current = message->GetProps(reinterpret_cast<LPSPropTagArray>(&tags),
                                 MAPI_UNICODE, &count, values.put());
    bool has_bytes = SUCCEEDED(*current) && values && count == 1 &&
                     values[0].ulPropTag == PR_ENTRYID &&
                     values[0].Value.bin.cb > 0;
    if (has_bytes) {
      entry_id.assign(values[0].Value.bin.lpb,
                      values[0].Value.bin.lpb + values[0].Value.bin.cb);
      break;
    }
    device::SleepMs(kEntryIdPauseMs);
  }
  return entry_id;
}

bool SameBytes(const SBinary& a, const SBinary& b) {
  return a.cb == b.cb && a.cb > 0 && std::memcmp(a.lpb, b.lpb, a.cb) == 0;
}

// What one attempt of the check came to: nothing (more) to do, try again
// later, or (from Judge) hold the message.
enum class Outcome { kDone, kTryAgain, kHold };

// What stays the same between the attempts for one notification.
struct CheckState {
  bool judged_not_covered = false;
  bool held_again = false;
  // What the user is told of the hold, read with the judgement.
  RecipientsRead recipients;
  std::u16string recipients_wide;
  std::u16string subject;
};

std::mutex g_hold_lock;
std::function<void(const HoldNotice&)> g_on_hold;

// The recipients text split as SplitRecipients splits its narrow form, so
// that the two agree index for index.
std::vector<std::u16string> SplitWideRecipients(const std::u16string& text) {
  std::vector<std::u16string> out;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find_first_of(u",;", start);
    if (end == std::u16string::npos) end = text.size();
    std::u16string one = text.substr(start, end - start);
    while (!one.empty() && one.front() == u' ') one.erase(0, 1);
    while (!one.empty() && one.back() == u' ') one.pop_back();
    if (!one.empty()) out.push_back(std::move(one));
    start = end + 1;
  }
  return out;
}

// Tells whoever listens that a message of `store` was held.
void TellHold(const char* store, const CheckState& state) {
  std::function<void(const HoldNotice&)> tell;
  {
    std::lock_guard<std::mutex> guard(g_hold_lock);
    tell = g_on_hold;
  }
  if (!tell) return;
  HoldNotice notice;
  notice.store = store;
  notice.subject = state.subject;
  notice.when = device::Now();
  const std::vector<std::string> narrow =
      SplitRecipients(state.recipients.text);
  const std::vector<std::u16string> wide =
      SplitWideRecipients(state.recipients_wide);
  for (size_t i : UncoveredRecipients(store, narrow)) {
    notice.recipients.push_back(
        wide.size() == narrow.size() ? wide[i] : device::AnsiToWide(narrow[i]));
  }
  tell(notice);
}

// A message judged not covered: its id and the store whose held folder it
// goes into.
struct ToHold {
  std::vector<BYTE> entry_id;
  StoreRecord* record = nullptr;
};

// Judges the notified message: kHold with *hold filled when it is in its
// Outbox and not covered.
Outcome Judge(IMAPISession* session, const OBJECT_NOTIFICATION& object,
              CheckState* state, ToHold* hold) {
  SBinary parent = {object.cbParentID,
                    reinterpret_cast<LPBYTE>(object.lpParentID)};
  SBinary notified = {object.cbEntryID,
                      reinterpret_cast<LPBYTE>(object.lpEntryID)};

  StoreRecord* owner = nullptr;
  switch (OutboxOwner(object, &owner)) {
    case Folder::kOther:
      return Outcome::kDone;
    case Folder::kUnknown:
      return Outcome::kTryAgain;
    case Folder::kOutbox:
      break;
  }

  ULONG type = 0;
  Owned<IUnknown> opened;
  HRESULT hr = session->OpenEntry(object.cbEntryID, object.lpEntryID, nullptr,
                                  0, &type, opened.put());
  if (FAILED(hr) || !opened) {
    // Gone is gone (sent, moved, deleted); anything else is tried again.
    return hr == MAPI_E_NOT_FOUND || hr == MAPI_E_INVALID_ENTRYID
               ? Outcome::kDone
               : Outcome::kTryAgain;
  }
  // Folders made in an Outbox (the held folder itself) are no messages.
  if (type != MAPI_MESSAGE) return Outcome::kDone;
  Owned<IMessage> message = std::move(opened).As<IMessage>();
  // Only a message that is in that Outbox now is judged and held: one that
  // has left it since the notification is none of the check's business.
  if (OwnedProps where = GetOneProperty(message.get(), PR_PARENT_ENTRYID)) {
    if (!SameBytes(where->Value.bin, parent)) return Outcome::kDone;
  }
  HRESULT current = S_OK;
  {
    SizedSPropTagArray(1, tags) = {1, {PR_SUBJECT_W}};
    ULONG count = 0;
    OwnedProps values;
    current = message->GetProps(reinterpret_cast<LPSPropTagArray>(&tags),
                                MAPI_UNICODE, &count, values.put());
    if (SUCCEEDED(current) && values && count == 1 &&
        values[0].ulPropTag == PR_SUBJECT_W && values[0].Value.lpszW != nullptr)
      state->subject = values[0].Value.lpszW;
  }

  if (!state->judged_not_covered) {
    // The one judgement the held-folder scan makes too. An empty recipients
    // text is judged like any other (the first rule covers it when there is
    // one); recipients that could not be read whole are not covered; rules
    // not loaded yet are not waited for here: nothing is covered then.
    state->recipients =
        ReadRecipientsForJudging(message.get(), &state->recipients_wide);
    const bool allowed =
        !g_check_holds_everything.load() &&
        RecipientsCovered(owner->name, state->recipients, nullptr,
                          /*may_load_rules=*/false);
    device::DebugOut("*** Got recipients ***\r\n");
    if (allowed) {
      ForgetReleased(notified);  // passed: no longer a fresh release
      return Outcome::kDone;
    }
    state->judged_not_covered = true;
    // Released by the worker a moment ago and not covered here: held for
    // good until the rules change, without closing anybody's window.
    state->held_again = TakeReleasedAndHoldAgain(notified);
  }

  hold->entry_id = WaitForEntryId(message.get(), &current);
  message.reset();
  if (hold->entry_id.empty() || FAILED(current)) return Outcome::kTryAgain;

  hold->record = StoreOfFolder(session, parent);
  if (hold->record == nullptr) hold->record = owner;  // found by its name
  device::DebugOut("Got MsgStore\r\n");
  return Outcome::kHold;
}

// Moves the messages of one store into its held folder, all in one change
// of the service; the service's answer. When some were not found in the
// Outbox (MAPI_E_NOT_FOUND), *moved (when given) says of each whether it
// lies in the held folder now.
HRESULT MoveToHeldFolder(IMAPISession* session, StoreRecord* record,
                         const std::vector<const ToHold*>& holds,
                         std::vector<bool>* moved = nullptr) {
  HeldFolder folders = OpenHeldFolder(record->store.load());
  if (folders.outbox) device::DebugOut("Got Outbox\r\n");
  if (!folders.outbox || !folders.held) return MAPI_E_CALL_FAILED;
  std::vector<SBinary> entries;
  entries.reserve(holds.size());
  for (const ToHold* hold : holds) {
    entries.push_back({static_cast<ULONG>(hold->entry_id.size()),
                       const_cast<BYTE*>(hold->entry_id.data())});
  }
  ENTRYLIST list = {static_cast<ULONG>(entries.size()), entries.data()};
  const HRESULT hr = folders.outbox->CopyMessages(
      &list, nullptr, folders.held.get(), 0, nullptr, MESSAGE_MOVE);
  if (hr != MAPI_E_NOT_FOUND || moved == nullptr) return hr;
  moved->assign(holds.size(), false);
  OwnedProps held_id = GetOneProperty(folders.held.get(), PR_ENTRYID);
  if (!held_id) return hr;
  for (size_t i = 0; i < holds.size(); ++i) {
    ULONG type = 0;
    Owned<IUnknown> opened;
    if (FAILED(session->OpenEntry(static_cast<ULONG>(entries[i].cb),
                                  reinterpret_cast<LPENTRYID>(entries[i].lpb),
                                  nullptr, 0, &type, opened.put())) ||
        !opened || type != MAPI_MESSAGE) {
      continue;
    }
    Owned<IMessage> message = std::move(opened).As<IMessage>();
    if (OwnedProps where = GetOneProperty(message.get(), PR_PARENT_ENTRYID))
      (*moved)[i] = SameBytes(where->Value.bin, held_id->Value.bin);
  }
  return hr;
}

Outcome CheckOnce(IMAPISession* session, const OBJECT_NOTIFICATION& object,
                  CheckState* state) {
  ToHold hold;
  const Outcome judged = Judge(session, object, state, &hold);
  if (judged != Outcome::kHold) return judged;
  const HRESULT hr = MoveToHeldFolder(session, hold.record, {&hold});
  if (SUCCEEDED(hr)) {
    hold.record->pending.store(1);
    if (!state->held_again) RequestComposeWindowClose();
    TellHold(hold.record->name, *state);
    return Outcome::kDone;
  }
  // Not in the Outbox any more: it has left (and is not ours to hold).
  if (hr == MAPI_E_NOT_FOUND) return Outcome::kDone;
  return Outcome::kTryAgain;
}

// The check of one notification until it is done (see CheckOutgoingMessage);
// `state` carries what an earlier attempt found.
void CheckUntilDone(IMAPISession* session, const OBJECT_NOTIFICATION& object,
                    CheckState state);

}  // namespace

void CheckOutgoingMessage(const NOTIFICATION& notification) {
  CheckOutgoingMessages({&notification});
}

void CheckOutgoingMessages(const std::vector<const NOTIFICATION*>& batch) {
  // The check runs at the highest priority (and stays there: the thread is
  // the service's and does nothing else for the program).
  device::SetCurrentThreadPriority(device::ThreadPriority::kHighest);
  IMAPISession* session = Session();
  if (session == nullptr) return;
  // Each message is judged first; those to hold are moved together, one
  // change of the service a store, so that a burst of arrivals costs one
  // write, not one each. Whatever does not go through at the first try is
  // taken up alone, the way a single notification is.
  struct Pending {
    const OBJECT_NOTIFICATION* object;
    CheckState state;
    ToHold hold;
    Outcome outcome = Outcome::kTryAgain;
  };
  std::vector<Pending> pending;
  pending.reserve(batch.size());
  for (const NOTIFICATION* notification : batch) {
    const OBJECT_NOTIFICATION& object = notification->info.obj;
    if (object.cbParentID == 0 || object.lpParentID == nullptr) continue;
    Pending p{&object, {}, {}};
    try {
      p.outcome = Judge(session, object, &p.state, &p.hold);
    } catch (...) {
      device::DebugCaught("Outgoing check");
    }
    if (p.outcome == Outcome::kDone) continue;
    // A message notified twice in one batch is held once.
    bool again = false;
    for (const Pending& earlier : pending) {
      again = again || (p.outcome == Outcome::kHold &&
                        earlier.outcome == Outcome::kHold &&
                        earlier.hold.entry_id == p.hold.entry_id);
    }
    if (!again) pending.push_back(std::move(p));
  }
  // The moves, one a store.
  std::vector<StoreRecord*> stores;
  for (const Pending& p : pending) {
    if (p.outcome == Outcome::kHold &&
        std::find(stores.begin(), stores.end(), p.hold.record) == stores.end())
      stores.push_back(p.hold.record);
  }
  for (StoreRecord* record : stores) {
    std::vector<Pending*> group;
    std::vector<const ToHold*> holds;
    for (Pending& p : pending) {
      if (p.outcome != Outcome::kHold || p.hold.record != record) continue;
      group.push_back(&p);
      holds.push_back(&p.hold);
    }
    HRESULT hr = MAPI_E_CALL_FAILED;
    std::vector<bool> moved;
    try {
      hr = MoveToHeldFolder(session, record, holds, &moved);
    } catch (...) {
      device::DebugCaught("Outgoing check");
    }
    if (hr == S_OK) moved.assign(group.size(), true);
    // What moved is held; the rest is taken up alone below (one that left
    // the Outbox meanwhile is done there at once).
    bool any = false, close_window = false;
    for (size_t i = 0; i < group.size() && i < moved.size(); ++i) {
      if (!moved[i]) continue;
      any = true;
      close_window = close_window || !group[i]->state.held_again;
      group[i]->outcome = Outcome::kDone;
      TellHold(record->name, group[i]->state);
    }
    if (any) record->pending.store(1);
    if (close_window) RequestComposeWindowClose();
  }
  for (const Pending& p : pending) {
    if (p.outcome == Outcome::kDone || g_stopping.load()) continue;
    CheckUntilDone(session, *p.object, p.state);
  }
}

namespace {

void CheckUntilDone(IMAPISession* session, const OBJECT_NOTIFICATION& object,
                    CheckState state) {
  // A hold never gives up: what could not be judged or moved now (a locked
  // service file, a folder that cannot be opened) is tried again, with a
  // growing pause, until it is done or the message has left the Outbox. The
  // device sends nothing from that Outbox meanwhile, since this notification
  // is not finished.
  int pause_ms = kHoldRetryFirstMs;
  for (int attempt = 1;; ++attempt) {
    Outcome outcome = Outcome::kTryAgain;
    try {
      outcome = CheckOnce(session, object, &state);
    } catch (...) {
      device::DebugCaught("Outgoing check");
    }
    if (outcome == Outcome::kDone || g_stopping.load()) return;
    device::DebugOut(
        "Outgoing check: the message could not be judged or held (attempt %d); "
        "trying again in %d ms\n",
        attempt, pause_ms);
    device::SleepMs(pause_ms);
    pause_ms = std::min(pause_ms * 2, kHoldRetryMaxMs);
  }
}

}  // namespace

// --- the worker -----------------------------------------------------------

void SetHoldHandler(std::function<void(const HoldNotice&)> handler) {
  std::lock_guard<std::mutex> guard(g_hold_lock);
  g_on_hold = std::move(handler);
}

void SetBrowserCalls(BrowserCalls calls) {
  std::lock_guard<std::mutex> guard(g_browser_lock);
  g_browser = std::move(calls);
}

void RefreshMessageListHook() {
  std::function<void()> call;
  {
    std::lock_guard<std::mutex> guard(g_browser_lock);
    call = g_browser.refresh_message_list;
  }
  if (call) call();
}

void ShowStatusTextHook(const std::string& text) {
  std::function<void(const std::string&)> call;
  {
    std::lock_guard<std::mutex> guard(g_browser_lock);
    call = g_browser.show_status_text;
  }
  if (call) call(text);
}

// Runs until StopMonitoring (for ever in the program).
void CheckNewMessagesForTarnvex() {
  // A worker started while a pause is asked for touches nothing before it.
  if (!SafePoint()) return;
  try {
    if (RuleCount() == 0) LoadRules();
  } catch (...) {
    device::DebugCaught("ERROR in CheckNewMessagesForTarnvex : 1");
  }
  // The first pass scans every held folder: messages held but not recorded
  // before the program last ended are taken up at once.
  bool first_pass = true;
  // Each store's walk that failed, and when it is due again. A walk left part
  // made, or made while the rules could not be read, would leave a release
  // the rules allow, or a record, to whatever event came next.
  struct Retry {
    std::chrono::steady_clock::time_point at{};
    int failures = 0;
  };
  std::vector<Retry> retries(kMaxStores);
  // The rules every held message was last judged under: a reload that
  // brought other rules, whoever made it (the editor, Update, a retry), is a
  // rules change even when nobody raised the flag.
  uint64_t judged_generation = RuleGeneration();
  for (;;) {
    const uint64_t generation = RuleGeneration();
    bool rules_pass = RulesChanged.exchange(0) == 1 || first_pass ||
                      generation != judged_generation;
    judged_generation = generation;
    if (rules_pass) ForgetReleases();
    first_pass = false;
    StoreTableData& stores = StoreTable();
    int32_t count = stores.count.load();
    if (count == 0 && !WorkerSleep(kEmptyPassPauseMs)) return;
    for (int32_t i = 0; i < count; ++i) {
      if (!WorkerSleep(kStorePauseMs)) return;
      assert(i < kMaxStores);
      StoreRecord& record = stores.records[i];
      try {
        Retry& failed = retries[i];
        const bool retry = failed.failures > 0 &&
                           std::chrono::steady_clock::now() >= failed.at;
        if (record.pending.exchange(0) == 1 || rules_pass || retry) {
          device::DebugOut("Working on %s\n", record.name);
          // Rules that could not be read judged the last walk: read them
          // again first (an empty table is otherwise passed over as judged).
          if (retry && RulesLoadFailed()) LoadRules();
          const bool whole = ScanHeldFolder(record);
          if (!whole) device::DebugOut("Failed to CheckNewMessagesForTarnvex");
          if (whole && !RulesLoadFailed()) {
            failed = Retry{};
          } else {
            const int doublings =
                std::min(failed.failures, kWalkRetryMaxDoublings);
            ++failed.failures;
            failed.at = std::chrono::steady_clock::now() +
                        std::chrono::milliseconds(kWalkRetryMs << doublings);
            device::DebugOut("%s: walked again in %d ms\n", record.name,
                             kWalkRetryMs << doublings);
          }
          if (!rules_pass) RefreshMessageListHook();
        }
      } catch (...) {
        device::DebugCaught("ERROR in CheckNewMessagesForTarnvex : 3");
      }
    }
    if (rules_pass) RefreshMessageListHook();
    ShowStatusTextHook("");
  }
}

namespace {

// The watch over the stores: logged on, the stores entered, every store
// advised. While something of it fails, a keeper thread tries again every
// kWatchRetryMs; the problem is said on stderr and to the user once each
// time it changes. Meanwhile the device sends nothing from the Outboxes of
// an image where Tarnvex is installed, since Tarnvex does not listen there.
struct Watch {
  std::mutex lock;
  std::condition_variable changed;
  std::thread keeper;
  bool stores_entered = false;
  bool keeper_stop = false;
  std::string problem;  // the last one said, empty when all is watched
  std::function<void(const std::string&)> on_problem;
};

Watch& TheWatch() {
  static Watch* watch = new Watch;  // lives until exit
  return *watch;
}

// One try at watching everything; the problem, or empty.
std::string TryWatch() {
  if (!EnsureSession()) return "the message service cannot be opened";
  Watch& watch = TheWatch();
  bool entered = false;
  {
    std::lock_guard<std::mutex> guard(watch.lock);
    entered = watch.stores_entered;
  }
  if (!entered) {
    device::DebugOut(
        "**************************** Starting MailStore Retrieval "
        "*************************\n\n");
    Owned<IMAPITable> table;
    if (FAILED(Session()->GetMsgStoresTable(MAPI_UNICODE, table.put())) ||
        !table) {
      return "the message service has no usable table of stores";
    }
    EnumerateStores(table.release(), &NewAdviseSink);
    std::lock_guard<std::mutex> guard(watch.lock);
    watch.stores_entered = true;
  }
  int32_t missing = EnterMissingStores();
  if (missing > 0) {
    return std::to_string(missing) + " message store(s) cannot be watched";
  }
  return "";
}

void SayProblem(const std::string& problem) {
  Watch& watch = TheWatch();
  std::function<void(const std::string&)> tell;
  {
    std::lock_guard<std::mutex> guard(watch.lock);
    if (watch.problem == problem) return;
    watch.problem = problem;
    tell = watch.on_problem;
  }
  if (problem.empty()) {
    std::fprintf(stderr, "Tarnvex: the message stores are watched again\n");
  } else {
    std::fprintf(
        stderr,
        "Tarnvex: %s; outgoing messages are held back until Tarnvex can watch "
        "them; trying again every %d s\n",
        problem.c_str(), kWatchRetryMs / 1000);
  }
  if (tell) tell(problem);
}

bool StartWorker();

void StartKeeper() {
  Watch& watch = TheWatch();
  std::lock_guard<std::mutex> guard(watch.lock);
  if (watch.keeper.joinable()) return;
  watch.keeper_stop = false;
  try {
    watch.keeper = std::thread([] {
      Watch& w = TheWatch();
      for (;;) {
        {
          std::unique_lock<std::mutex> g(w.lock);
          if (w.changed.wait_for(g, std::chrono::milliseconds(kWatchRetryMs),
                                 [&] { return w.keeper_stop; })) {
            return;
          }
        }
        std::string problem = TryWatch();
        bool entered = false;
        {
          std::lock_guard<std::mutex> g(w.lock);
          entered = w.stores_entered;
        }
        if (entered) StartWorker();
        SayProblem(problem);
        if (problem.empty()) {
          RefreshMessageListHook();
          return;
        }
      }
    });
  } catch (const std::exception& e) {
    device::DebugOut("Monitoring: no thread to try again: %s\n", e.what());
  }
}

}  // namespace

void SetMonitoringProblemHandler(
    std::function<void(const std::string&)> handler) {
  Watch& watch = TheWatch();
  std::lock_guard<std::mutex> guard(watch.lock);
  watch.on_problem = std::move(handler);
}

std::string MonitoringProblem() {
  Watch& watch = TheWatch();
  std::lock_guard<std::mutex> guard(watch.lock);
  return watch.problem;
}

bool StartMonitoring() {
  g_stopping.store(false);
  // The rules are loaded here, before any store is watched: the outgoing
  // check never loads them itself (it may not wait on the rules database).
  if (RuleCount() == 0) LoadRules();
  std::string problem = TryWatch();
  bool entered = false;
  {
    std::lock_guard<std::mutex> guard(TheWatch().lock);
    entered = TheWatch().stores_entered;
  }
  if (!problem.empty()) {
    // Retrying starts before the problem is told: whoever is told (a window
    // that waits for the user) never holds the retries up.
    StartKeeper();
    SayProblem(problem);
  }
  if (!entered) return false;
  RefreshMessageListHook();
  return StartWorker();
}

namespace {

bool StartWorker() {
  Worker& worker = TheWorker();
  std::unique_lock<std::mutex> guard(worker.lock);
  if (worker.running) return true;
  if (worker.thread.joinable()) {
    guard.unlock();
    worker.thread.join();
    guard.lock();
  }
  worker.stop = false;
  // A worker started while a pause guard lives (the watch came back while the
  // rules editor is open) starts paused, as the one it replaces would be.
  worker.paused = worker.pause_holders > 0;
  worker.standing = false;
  worker.running = true;
  SetWalkSafePoint(&WalkSafePoint);
  try {
    worker.thread = std::thread([] {
      device::SetCurrentThreadPriority(device::ThreadPriority::kBelowNormal);
      {
        std::lock_guard<std::mutex> g(TheWorker().lock);
        TheWorker().id = std::this_thread::get_id();
      }
      CheckNewMessagesForTarnvex();
      std::lock_guard<std::mutex> g(TheWorker().lock);
      TheWorker().running = false;
      TheWorker().changed.notify_all();
    });
  } catch (const std::exception& e) {
    device::DebugOut("Monitoring: no thread for the worker: %s\n", e.what());
    worker.running = false;
    return false;
  }
  return true;
}

}  // namespace

void StopMonitoring() {
  g_stopping.store(true);
  {
    Watch& watch = TheWatch();
    std::unique_lock<std::mutex> guard(watch.lock);
    watch.keeper_stop = true;
    watch.changed.notify_all();
    if (watch.keeper.joinable()) {
      std::thread keeper = std::move(watch.keeper);
      guard.unlock();
      if (keeper.get_id() != std::this_thread::get_id()) {
        keeper.join();
      } else {
        keeper.detach();
      }
    }
  }
  Worker& worker = TheWorker();
  {
    std::lock_guard<std::mutex> guard(worker.lock);
    worker.stop = true;
    worker.changed.notify_all();
  }
  if (worker.thread.joinable()) worker.thread.join();
  {
    std::lock_guard<std::mutex> guard(worker.lock);
    worker.stop = false;
    worker.paused = worker.pause_holders > 0;
    worker.id = std::thread::id();
  }
  // No new notification reaches a sink once its store is unadvised; the
  // checks already under way end soon (they give up retrying when stopping)
  // and are waited for before the stores they use are released. The closer
  // ends after them, having closed the windows of their holds.
  UnadviseStores();
  CloseChecks();
  StopCloser();
  CloseStores();
  ForgetReleases();
  // The rules were loaded by the start; the next start loads them afresh.
  ResetRuleTable();
  RulesChanged.store(0);
  {
    Watch& watch = TheWatch();
    std::lock_guard<std::mutex> guard(watch.lock);
    watch.stores_entered = false;
    watch.keeper_stop = false;
    watch.problem.clear();
  }
  OpenChecks();
  g_stopping.store(false);
}

namespace {

// Sets the pause flag and waits until the worker stands still; worker.lock
// is held by the caller.
bool PauseLocked(Worker& worker, std::unique_lock<std::mutex>& guard) {
  // The worker cannot wait for itself.
  if (std::this_thread::get_id() == worker.id) return false;
  worker.paused = true;
  worker.changed.notify_all();
  worker.changed.wait(guard,
                      [&] { return worker.standing || !worker.running; });
  return worker.running;
}

}  // namespace

bool PauseWorker() {
  Worker& worker = TheWorker();
  std::unique_lock<std::mutex> guard(worker.lock);
  if (!worker.running || worker.paused) return false;
  return PauseLocked(worker, guard);
}

WorkerPause::WorkerPause() {
  Worker& worker = TheWorker();
  std::unique_lock<std::mutex> guard(worker.lock);
  ++worker.pause_holders;
  if (!worker.running) {
    worker.paused = true;  // a worker started meanwhile starts still
    return;
  }
  // The worker cannot wait for itself.
  if (std::this_thread::get_id() == worker.id) return;
  if (!worker.paused) {
    worker.paused = true;
    worker.changed.notify_all();
  }
  // Every guard, not only the first, returns once the worker stands still.
  worker.changed.wait(guard,
                      [&] { return worker.standing || !worker.running; });
}

WorkerPause::~WorkerPause() {
  Worker& worker = TheWorker();
  std::lock_guard<std::mutex> guard(worker.lock);
  assert(worker.pause_holders > 0);
  if (--worker.pause_holders == 0) {
    worker.paused = false;
    worker.changed.notify_all();
  }
}

bool ResumeWorker() {
  Worker& worker = TheWorker();
  std::lock_guard<std::mutex> guard(worker.lock);
  if (!worker.running || !worker.paused) return false;
  worker.paused = false;
  worker.changed.notify_all();
  return true;
}
