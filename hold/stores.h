// The program's side of the device's message stores: one session, the table
// of stores entered at the start of monitoring, each store's held folder
// "Tarnvex" under its Outbox, the walk of a held folder and the move of one
// message between folders.
//
// The table is filled once per start of the watch, by whichever thread
// enters the stores: the thread that starts the watch, or the watch keeper's
// thread when the stores could not be entered then (before the worker
// exists, either way). Its count only grows while monitoring runs;
// each store's advised and records_ready flags are set by whoever enters it
// (the start, the keeper), its pending flag by the outgoing check on the
// notification thread and the worker (taken by the worker), its row count by
// the worker, its store object by whichever thread opens it first. CloseStores
// empties it when monitoring stops.
#ifndef TARNVEX_HOLD_STORES_H_
#define TARNVEX_HOLD_STORES_H_

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "base/mutex.h"
#include "hold/env.h"
#include "hold/loop_breaker.h"
#include "mapi/mapi.h"
#include "mapi/owned.h"

inline constexpr int32_t kMaxStores = 64;
inline constexpr size_t kStoreNameSize = 260;
// Pauses of the walks, in milliseconds.
inline constexpr int kStoreRowPauseMs = 100;
inline constexpr int kHeldRowPauseMs = 10;
// The held folder's name under each Outbox.
inline constexpr char16_t kHeldFolderName[] = u"Tarnvex";

struct StoreRecord {
  char name[kStoreNameSize] = {};
  std::vector<uint8_t> entry_id;
  // Opened when the store is entered; a store that could not be opened is
  // tried again by each scan (worker) while the outgoing check reads it.
  std::atomic<IMsgStore*> store{nullptr};
  int32_t row_count = 0;
  std::atomic<int32_t> pending{0};
  char outbox_name[kStoreNameSize] = {};
  // An advise sink is subscribed: the store is watched.
  std::atomic<bool> advised{false};
  // The store's records database has its table (made when the store is
  // entered; made again by each EnterStore until it is there).
  std::atomic<bool> records_ready{false};
  ULONG connection = 0;  // the subscription's, while advised
};

struct StoreTableData {
  StoreRecord records[kMaxStores];
  std::atomic<int32_t> count{0};
};

// Makes the advise sink subscribed to one store: the monitor's outgoing
// check. The stores know sinks only through this.
using SinkFactory = std::function<Owned<IMAPIAdviseSink>()>;

// A store's Outbox, its held folder and the Outbox's entry identifier; any
// of them may be missing (an empty owner).
struct HeldFolder {
  Owned<IMAPIFolder> outbox;
  Owned<IMAPIFolder> held;
  OwnedProps outbox_id;
};
HeldFolder OpenHeldFolder(IMsgStore* store);

// The move itself with the service's answer: MAPI_E_NOT_FOUND when the
// message is not in the source folder (any more), other failures when the
// move could not be made now.
HRESULT MoveOneMessage(ULONG entry_id_size, const BYTE* entry_id,
                       IMAPIFolder* source, IMAPIFolder* destination);
// Moves one message; a failure is written as a diagnostic when `report`.
base::Status MoveMessage(ULONG entry_id_size, const BYTE* entry_id,
                         IMAPIFolder* source, IMAPIFolder* destination,
                         bool report = true);

// What waits to leave the device: the messages in the stores' Outboxes
// themselves (the transport sends them once every listener has judged them)
// and those in their held folders.
struct WaitingMessages {
  int32_t in_outboxes = 0;
  int32_t held = 0;
};

namespace hold {

// The stores of one watch: its session, the table of stores, the walk of
// their held folders and the worker's memory of the messages it judged.
class Stores {
 public:
  // `env` (kept, not owned) gives the faults of the walks; `releases` (kept,
  // not owned) is the loop breaker the walks' releases note themselves in.
  Stores(Env* env, LoopBreaker* releases);
  // Closes what is still open (see Close).
  ~Stores();
  Stores(const Stores&) = delete;
  Stores& operator=(const Stores&) = delete;

  StoreTableData& table() { return table_; }

  // The one session of the watch (null before EnsureSession succeeds).
  IMAPISession* Session() EXCLUDES(session_lock_);
  base::Status EnsureSession() EXCLUDES(session_lock_);

  // Fills the store table from the message-stores table (whose reference it
  // takes over) and subscribes a sink made by `make_sink` to each store; the
  // factory is kept for EnterMissing until Close. Always true; a store that
  // could not be watched (opened and advised) is left with advised false for
  // EnterMissing.
  bool Enumerate(IMAPITable* table, SinkFactory make_sink);
  // Opens a store of the table, its held folder and Outbox name, and
  // subscribes a sink to it, unless that is done, and makes its records
  // database's table unless it is there. True when it is watched and its
  // records can be written.
  bool Enter(StoreRecord& record);
  // Enter for every store of the table; how many are still not watched.
  int32_t EnterMissing();

  int32_t Count() const { return table_.count.load(); }
  // Copies the name of store `index` into `name` (at least 260 bytes).
  bool GetName(int32_t index, char* name) const;

  // Walks the store's held folder newest first and classifies each message.
  // Not ok when the walk could not be made whole, saying why: the store or
  // its Outbox cannot be opened, the held folder cannot be opened or made,
  // its rows cannot be read to the end, a message in it could not be judged
  // and recorded now, or the worker was stopped part way.
  base::Status ScanHeldFolder(StoreRecord& record);
  // Classifies one row of a held folder's contents table. Not ok when its
  // message could not be judged and recorded now (it could not be opened, or
  // its body could not be read): nothing is recorded of it, and the walk
  // that met it is not whole.
  base::Status ProcessMessage(StoreRecord& record, const SRow& row,
                              IMAPIFolder* outbox, IMAPIFolder* held);
  // True when the row's message was judged to stay held under the rules as
  // they are now and nothing it was judged on has changed: ProcessMessage
  // would do nothing with it.
  bool HeldRowStillJudged(const StoreRecord& record, const SRow& row);
  // The memory of held messages judged to stay held: a walk of a held folder
  // begins and ends with these, and a whole walk forgets the messages it did
  // not meet (gone from the folder).
  void BeginHeldWalk(const StoreRecord& record);
  void EndHeldWalk(const StoreRecord& record);
  void ForgetJudgedMessages();
  size_t JudgedMessageCount();

  // Called before each row of a walk: the worker's pause point; it returns
  // false when the worker is to end, which ends the walk.
  void SetWalkSafePoint(std::function<bool()> safe_point);
  // Told the progress of each walk ("SMS : 3 / 10.").
  void SetProgressHandler(std::function<void(const std::string&)> progress);

  // What waits to leave the device, read from the stores entered; false when
  // one of them could not be read (the counts are then of those that could).
  bool CountWaiting(WaitingMessages* waiting);

  // Cancels the subscription of every advised store: no notification of them
  // is begun from here on (one already under way may still run; the monitor
  // waits for those). The stores leave this process's listener record, so the
  // device holds their Outboxes again until a store is advised anew.
  void Unadvise();
  // The end of the stores' lifetime: cancels what is still subscribed,
  // releases the stores and the session, empties the table and forgets the
  // judged messages, so that entering the stores again starts exactly as the
  // first time did. Call it when no outgoing check runs any more.
  void Close() EXCLUDES(session_lock_);

 private:
  struct Judged;
  struct JudgedMessages;

  Owned<IMAPIAdviseSink> MakeSink() EXCLUDES(session_lock_);
  Owned<IMsgStore> OpenStore(const StoreRecord& record);
  IMsgStore* RecordStore(StoreRecord& record);
  base::Status ProcessOneMessage(StoreRecord& record, const SBinary& entry_id,
                                 IMAPIFolder* outbox, IMAPIFolder* held);
  bool StillJudged(const StoreRecord& record, const SBinary& entry_id);
  void RememberJudged(const StoreRecord& record, const SBinary& entry_id,
                      Judged judged);
  void ForgetJudged(const StoreRecord& record, const SBinary& entry_id);

  Env* env_;
  LoopBreaker* releases_;
  StoreTableData table_;
  base::Mutex session_lock_;
  Owned<IMAPISession> session_ GUARDED_BY(session_lock_);
  SinkFactory make_sink_ GUARDED_BY(session_lock_);
  // Set before the worker starts and cleared after it ended.
  std::function<bool()> safe_point_;
  std::function<void(const std::string&)> progress_;
  std::unique_ptr<JudgedMessages> judged_;
};

}  // namespace hold

#endif  // TARNVEX_HOLD_STORES_H_
