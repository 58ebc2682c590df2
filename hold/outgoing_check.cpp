// The outgoing check, on the message service's notification thread: a
// message created in or moved into a store's Outbox that no rule allows is
// moved into the store's held folder, and the compose window that sent it is
// closed. The sink each store is advised with hands its notifications here.
#include <strings.h>

#include <algorithm>
#include <cassert>
#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "base/debug.h"
#include "device/codepage.h"
#include "device/threads.h"
#include "filter/classify.h"
#include "hold/message_reader.h"
#include "hold/monitor.h"

namespace hold {

// The sink subscribed to each store.
class Monitor::Sink : public IMAPIAdviseSink {
 public:
  explicit Sink(Monitor* monitor) : monitor_(monitor) {}
  HRESULT QueryInterface(REFIID iid, void** object) override;
  ULONG AddRef() override;
  ULONG Release() override;
  ULONG OnNotify(ULONG count, LPNOTIFICATION notifications) override;

 private:
  virtual ~Sink() = default;
  Monitor* monitor_;
  std::atomic<int32_t> references_{1};
};

// What one attempt of the check came to: nothing (more) to do, try again
// later, or (from Judge) hold the message.
enum class Monitor::Outcome { kDone, kTryAgain, kHold };
// Which store's Outbox a folder is.
enum class Monitor::Folder { kOutbox, kOther, kUnknown };

HRESULT Monitor::Sink::QueryInterface(REFIID iid, void** object) {
  if (object == nullptr) return E_INVALIDARG;
  if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IMAPIAdviseSink)) {
    *object = static_cast<IMAPIAdviseSink*>(this);
    AddRef();
    return S_OK;
  }
  return E_NOINTERFACE;
}

Owned<IMAPIAdviseSink> Monitor::NewAdviseSink() {
  return Owned<IMAPIAdviseSink>(new Sink(this));
}

ULONG Monitor::Sink::AddRef() {
  return static_cast<ULONG>(references_.fetch_add(1) + 1);
}

ULONG Monitor::Sink::Release() {
  int32_t now = references_.fetch_sub(1) - 1;
  if (now == 0) delete this;
  return static_cast<ULONG>(now);
}

ULONG Monitor::Sink::OnNotify(ULONG count, LPNOTIFICATION notifications) {
  if (!monitor_->BeginCheck()) return 0;  // the watch is stopping
  struct EndOnExit {
    Monitor* monitor;
    ~EndOnExit() { monitor->EndCheck(); }
  } end_on_exit{monitor_};
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
        base::DebugOut("deleted");
        break;
      default:
        break;
    }
  }
  monitor_->CheckOutgoingMessages(checks);
  return 0;
}

// --- the checks under way ----------------------------------------------------

bool Monitor::BeginCheck() {
  base::MutexLock guard(&checks_lock_);
  if (checks_closed_) return false;
  ++checks_running_;
  return true;
}

void Monitor::EndCheck() {
  base::MutexLock guard(&checks_lock_);
  assert(checks_running_ > 0);
  if (--checks_running_ == 0) checks_idle_.SignalAll();
}

// Waits until no check runs, keeping new ones out until OpenChecks.
void Monitor::CloseChecks() {
  base::MutexLock guard(&checks_lock_);
  checks_closed_ = true;
  while (checks_running_ != 0) checks_idle_.Wait(&checks_lock_);
}

void Monitor::OpenChecks() {
  base::MutexLock guard(&checks_lock_);
  checks_closed_ = false;
}

// --- the check --------------------------------------------------------------

// By the folder's name: the first store that can open the folder decides.
// kUnknown when the service could not be read (the check tries again).
Monitor::Folder Monitor::OutboxOwner(const OBJECT_NOTIFICATION& object,
                                     StoreRecord** owner) {
  StoreTableData& stores = stores_.table();
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

namespace {

// The message's own identifier, which may be written a moment after the
// notification: read it up to kEntryIdReads times. The last read's result
// goes to *current.
std::vector<BYTE> WaitForEntryId(Env* env, IMessage* message,
                                 HRESULT* current) {
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
    env->SleepFor(std::chrono::milliseconds(kEntryIdPauseMs));
  }
  return entry_id;
}

bool SameBytes(const SBinary& a, const SBinary& b) {
  return a.cb == b.cb && a.cb > 0 && std::memcmp(a.lpb, b.lpb, a.cb) == 0;
}

bool SameEntryId(IMAPISession* session, const SBinary& a, const SBinary& b) {
  if (a.cb == 0 || b.cb == 0) return false;
  ULONG result = 0;
  HRESULT hr =
      session->CompareEntryIDs(a.cb, reinterpret_cast<LPENTRYID>(a.lpb), b.cb,
                               reinterpret_cast<LPENTRYID>(b.lpb), 0, &result);
  return SUCCEEDED(hr) && result != 0;
}

}  // namespace

// What stays the same between the attempts for one notification.
struct Monitor::CheckState {
  bool judged_not_covered = false;
  bool held_again = false;
  // What the user is told of the hold, read with the judgement.
  RecipientsRead recipients;
  std::u16string recipients_wide;
  std::u16string subject;
};

namespace {

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

}  // namespace

// Tells whoever listens that a message of `store` was held.
void Monitor::TellHold(const char* store, const CheckState& state) {
  std::function<void(const HoldNotice&)> tell;
  {
    base::MutexLock guard(&handlers_lock_);
    tell = on_hold_;
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
struct Monitor::ToHold {
  std::vector<BYTE> entry_id;
  StoreRecord* record = nullptr;
};

// The store whose Outbox is the given folder, or null.
StoreRecord* Monitor::StoreOfFolder(IMAPISession* session,
                                    const SBinary& parent) {
  StoreTableData& stores = stores_.table();
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

// Judges the notified message: kHold with *hold filled when it is in its
// Outbox and not covered.
Monitor::Outcome Monitor::Judge(IMAPISession* session,
                                const OBJECT_NOTIFICATION& object,
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
        !check_holds_everything_.load() &&
        RecipientsCovered(owner->name, state->recipients, nullptr,
                          /*may_load_rules=*/false);
    base::DebugOut("*** Got recipients ***\r\n");
    if (allowed) {
      releases_.ForgetReleased(notified);  // passed: no longer a fresh release
      return Outcome::kDone;
    }
    state->judged_not_covered = true;
    // Released by the worker a moment ago and not covered here: held for
    // good until the rules change, without closing anybody's window.
    state->held_again = releases_.TakeReleasedAndHoldAgain(notified);
  }

  hold->entry_id = WaitForEntryId(env_, message.get(), &current);
  message.reset();
  if (hold->entry_id.empty() || FAILED(current)) return Outcome::kTryAgain;

  hold->record = StoreOfFolder(session, parent);
  if (hold->record == nullptr) hold->record = owner;  // found by its name
  base::DebugOut("Got MsgStore\r\n");
  return Outcome::kHold;
}

// Moves the messages of one store into its held folder, all in one change
// of the service; the service's answer. When some were not found in the
// Outbox (MAPI_E_NOT_FOUND), *moved (when given) says of each whether it
// lies in the held folder now.
namespace {

HRESULT MoveToHeldFolder(IMAPISession* session, StoreRecord* record,
                         const std::vector<const Monitor::ToHold*>& holds,
                         std::vector<bool>* moved = nullptr) {
  HeldFolder folders = OpenHeldFolder(record->store.load());
  if (folders.outbox) base::DebugOut("Got Outbox\r\n");
  if (!folders.outbox || !folders.held) return MAPI_E_CALL_FAILED;
  std::vector<SBinary> entries;
  entries.reserve(holds.size());
  for (const Monitor::ToHold* hold : holds) {
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

}  // namespace

// A message of `record`'s store lies in its held folder now: the worker walks
// it.
void Monitor::Held(StoreRecord* record) {
  record->pending.store(1);
  worker_.Wake();
}

Monitor::Outcome Monitor::CheckOnce(IMAPISession* session,
                                    const OBJECT_NOTIFICATION& object,
                                    CheckState* state) {
  ToHold hold;
  const Outcome judged = Judge(session, object, state, &hold);
  if (judged != Outcome::kHold) return judged;
  const HRESULT hr = MoveToHeldFolder(session, hold.record, {&hold});
  if (SUCCEEDED(hr)) {
    Held(hold.record);
    if (!state->held_again) closer_.RequestClose();
    TellHold(hold.record->name, *state);
    return Outcome::kDone;
  }
  // Not in the Outbox any more: it has left (and is not ours to hold).
  if (hr == MAPI_E_NOT_FOUND) return Outcome::kDone;
  return Outcome::kTryAgain;
}

void Monitor::CheckOutgoingMessage(const NOTIFICATION& notification) {
  CheckOutgoingMessages({&notification});
}

void Monitor::CheckOutgoingMessages(
    const std::vector<const NOTIFICATION*>& batch) {
  // The check runs at the highest priority (and stays there: the thread is
  // the service's and does nothing else for the program).
  device::SetCurrentThreadPriority(device::ThreadPriority::kHighest);
  IMAPISession* session = stores_.Session();
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
      base::DebugCaught("Outgoing check");
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
      base::DebugCaught("Outgoing check");
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
    if (any) Held(record);
    if (close_window) closer_.RequestClose();
  }
  for (const Pending& p : pending) {
    if (p.outcome == Outcome::kDone || stopping_.load()) continue;
    CheckUntilDone(session, *p.object, p.state);
  }
}

// The check of one notification until it is done; `state` carries what an
// earlier attempt found.
void Monitor::CheckUntilDone(IMAPISession* session,
                             const OBJECT_NOTIFICATION& object,
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
      base::DebugCaught("Outgoing check");
    }
    if (outcome == Outcome::kDone || stopping_.load()) return;
    base::DebugOut(
        "Outgoing check: the message could not be judged or held (attempt %d); "
        "trying again in %d ms\n",
        attempt, pause_ms);
    env_->SleepFor(std::chrono::milliseconds(pause_ms));
    pause_ms = std::min(pause_ms * 2, kHoldRetryMaxMs);
  }
}

}  // namespace hold
