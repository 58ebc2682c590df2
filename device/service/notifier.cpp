// Notifications. Each process that advised a store runs one notification
// thread. It wakes when the service file changes (inotify on the folder that
// holds the file and its write-ahead log, so no writer has to wake anyone and
// a writer that dies right after its commit is still seen), reads the
// journal past the last entry it has handled, and calls the sinks of the
// changed stores in journal order.
//
// When a sink is advised on a store, the thread first hands it a "created"
// notification for every message already in that store's Outbox: messages
// that arrived while nobody listened are judged like new ones. The same
// happens for every advised store after a gap: a journal that is no longer
// the one the thread read (a backup written back, a file renamed over the
// one it had open).
//
// The thread keeps a listener record (listeners.h) that the transport reads:
// which stores it has caught up on and up to which journal entry every sink
// has returned from OnNotify.
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <deque>
#include <map>
#include <thread>

#include "base/debug.h"
#include "device/image.h"
#include "device/service/listeners.h"
#include "device/service/service.h"
#include "device/service/service_db.h"

namespace device::service {
namespace {

// A listener also looks at the journal this often when nothing woke it.
constexpr int kFallbackWakeMs = 1000;
// Journal entries read at a time.
constexpr int kBatch = 1000;
// Changes of one store handed to a sink in one call at most.
constexpr size_t kGroup = 64;
// How often the listener record is rewritten while a batch is handled.
constexpr std::chrono::milliseconds kRecordEvery{20};

}  // namespace

struct SinkEntry {
  ULONG connection;
  int64_t store;
  IMAPIAdviseSink* sink;
};

// One process's notifications; its service owns it.
class Notifier {
 public:
  ULONG Add(int64_t store, IMAPIAdviseSink* sink) {
    // Where the journal stands now: later changes are notified; what lies in
    // the Outbox already is handed over by the catch-up.
    JournalMark end;
    if (!JournalEnd(&end)) return 0;
    base::MutexLock guard(&lock_);
    if (!Start(end)) return 0;
    sink->AddRef();
    ULONG connection = next_connection_++;
    sinks_.push_back({connection, store, sink});
    if (record_.stores.count(store) == 0 || record_.stores[store]) {
      record_.stores[store] = false;  // not caught up until the catch-up ran
      catch_up_.push_back(store);
    }
    WriteRecordLocked();
    Poke();
    return connection;
  }

  bool Remove(ULONG connection) {
    IMAPIAdviseSink* sink = nullptr;
    {
      base::MutexLock guard(&lock_);
      for (auto it = sinks_.begin(); it != sinks_.end(); ++it) {
        if (it->connection == connection) {
          sink = it->sink;
          int64_t store = it->store;
          sinks_.erase(it);
          bool still = false;
          for (const SinkEntry& e : sinks_) still = still || e.store == store;
          if (!still) record_.stores.erase(store);
          WriteRecordLocked();
          break;
        }
      }
    }
    if (sink == nullptr) return false;
    sink->Release();
    return true;
  }

  void Stop() {
    std::vector<SinkEntry> sinks;
    {
      base::MutexLock guard(&lock_);
      stopping_ = true;
      Poke();
    }
    write_wanted_.SignalAll();
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) {
      thread_.join();
    }
    if (writer_.joinable()) writer_.join();
    base::MutexLock guard(&lock_);
    if (watch_ >= 0) close(watch_);
    if (poke_ >= 0) close(poke_);
    watch_ = poke_ = -1;
    stopping_ = false;
    replaced_ = false;
    RemoveListenerRecord(getpid());
    record_ = ListenerRecord{};
    catch_up_.clear();
    sinks.swap(sinks_);
    for (const SinkEntry& entry : sinks) entry.sink->Release();
  }

 private:
  // The journal's newest entry ({0, 0} when it is empty); false when it
  // cannot be read.
  static bool JournalEnd(JournalMark* end) EXCLUDES(Lock()) {
    base::MutexLock db_guard(&Lock());
    Query q("SELECT seq, stamp FROM journal ORDER BY seq DESC LIMIT 1;");
    if (q.Step()) {
      *end = {q.Int64(0), q.Int64(1)};
      return true;
    }
    *end = JournalMark{};
    return !q.failed();
  }

  bool Start(const JournalMark& end) REQUIRES(lock_) {
    if (thread_.joinable()) return true;
    int watch = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    if (watch < 0) {
      base::DebugOut("notifications: inotify: %s\n", std::strerror(errno));
      return false;
    }
    // The folder, not the files: the write-ahead log is made anew after the
    // last connection closed, and a rollback-journal writer changes the file
    // itself.
    if (inotify_add_watch(
            watch, DeviceDataDir().c_str(),
            IN_MODIFY | IN_CREATE | IN_MOVED_TO | IN_CLOSE_WRITE) < 0) {
      base::DebugOut("notifications: watch %s: %s\n", DeviceDataDir().c_str(),
                     std::strerror(errno));
      close(watch);
      return false;
    }
    int poke = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (poke < 0) {
      close(watch);
      return false;
    }
    last_seq_ = end.seq;
    last_stamp_ = end.stamp;
    record_ = ListenerRecord{};
    record_.pid = getpid();
    record_.start_time = ProcessStartTimeOf(getpid());
    record_.program = OwnProgramName();
    record_.done = end.seq;
    record_.stamp = end.stamp;
    if (!WriteListenerRecord(record_)) {
      base::DebugOut("notifications: cannot write the listener record in %s\n",
                     RunDir().c_str());
      close(watch);
      close(poke);
      return false;
    }
    watch_ = watch;
    poke_ = poke;
    try {
      if (!writer_.joinable())
        writer_ = std::thread([this] { WriteRecords(); });
      thread_ = std::thread([this, watch, poke] { Run(watch, poke); });
    } catch (...) {
      base::DebugCaught("notifications: starting the thread");
      close(watch_);
      close(poke_);
      watch_ = poke_ = -1;
      RemoveListenerRecord(getpid());
      return false;
    }
    return true;
  }

  void Poke() REQUIRES(lock_) {
    if (poke_ < 0) return;
    uint64_t one = 1;
    ssize_t ignored = write(poke_, &one, sizeof one);
    (void)ignored;
  }

  // Writes the record as it is now.
  void WriteRecordLocked() REQUIRES(lock_) {
    if (record_.pid == 0) return;
    const JournalMark own = NewestOwnEntry();
    record_.wrote = own.seq > record_.done ? own.seq : 0;
    record_.wrote_stamp = own.seq > record_.done ? own.stamp : 0;
    WriteVersion(record_, ++version_);
  }

  // Asks the writer thread to write the record as it will be then: the
  // notification thread goes on meanwhile. Replacing a file may wait for
  // the disk (the file system writes the new file's data out first), and
  // the holds must not wait for that.
  void WriteRecordSoonLocked() REQUIRES(lock_) {
    write_pending_ = true;
    write_wanted_.Signal();
  }

  // Writes one state of the record unless a later one was written already:
  // records are written in the order their states were taken, so the file
  // never goes back to an older one.
  void WriteVersion(const ListenerRecord& record, uint64_t version)
      EXCLUDES(write_lock_) {
    base::MutexLock guard(&write_lock_);
    if (version <= written_version_) return;
    WriteListenerRecord(record);
    written_version_ = version;
  }

  void WriteRecords() EXCLUDES(lock_) {
    base::MutexLock guard(&lock_);
    for (;;) {
      while (!write_pending_ && !stopping_) write_wanted_.Wait(&lock_);
      if (!write_pending_) return;  // stopping, nothing left to write
      write_pending_ = false;
      if (record_.pid == 0) continue;
      const JournalMark own = NewestOwnEntry();
      record_.wrote = own.seq > record_.done ? own.seq : 0;
      record_.wrote_stamp = own.seq > record_.done ? own.stamp : 0;
      const ListenerRecord record = record_;
      const uint64_t version = ++version_;
      guard.Unlock();
      WriteVersion(record, version);
      guard.Lock();
    }
  }

  // Finds a gap in what this listener was told: the file at the service's
  // path is another one (a copy renamed over it), or the journal no longer
  // holds, with their stamps, the entry last handled or the newest one this
  // process made (a backup written back into the file, a new file). Entries
  // of the journal before are lost to the listener then, and the seq of the
  // new one may run anywhere: every advised store is caught up again, as
  // when it was advised, and the notifications go on from the journal's
  // end. Until a store's catch-up ran, the record says so and the transport
  // waits.
  void CheckJournal() EXCLUDES(Lock(), lock_) {
    JournalMark end;
    {
      base::MutexLock db_guard(&Lock());
      if (Service().ReopenIfReplaced()) replaced_ = true;
      const JournalMark own = NewestOwnEntry();
      Query q(
          "SELECT (SELECT stamp FROM journal WHERE seq = ?1), (SELECT stamp "
          "FROM journal WHERE seq = ?2), (SELECT seq FROM journal ORDER BY seq "
          "DESC LIMIT 1), (SELECT stamp FROM journal ORDER BY seq DESC LIMIT "
          "1);");
      q.Bind(1, last_seq_).Bind(2, own.seq);
      // Not readable now: looked at again at the next wake-up.
      if (!q.Step()) return;
      auto differs = [&q](int column, int64_t stamp) {
        return q.IsNull(column) || q.Int64(column) != stamp;
      };
      const bool gap = replaced_ ||
                       (last_seq_ != 0 && differs(0, last_stamp_)) ||
                       (own.seq > last_seq_ && differs(1, own.stamp));
      if (!gap) return;
      end = {q.Int64(2), q.Int64(3)};
      ForgetOwnEntries();  // made on the journal before
    }
    base::DebugOut(
        "notifications: the journal is not the one handled so far (the "
        "service file was restored or replaced); every advised store is "
        "caught up again\n");
    replaced_ = false;
    last_seq_ = end.seq;
    last_stamp_ = end.stamp;
    base::MutexLock guard(&lock_);
    record_.done = end.seq;
    record_.stamp = end.stamp;
    for (auto& [store, ready] : record_.stores) {
      // A store not caught up yet is queued already.
      if (ready) catch_up_.push_back(store);
      ready = false;
    }
    WriteRecordLocked();
  }

  // The notification thread, on the watch and the poke descriptors Start
  // made (Stop closes them only after it has joined the thread).
  void Run(int watch, int poke) EXCLUDES(Lock(), lock_) {
    pollfd fds[2] = {{watch, POLLIN, 0}, {poke, POLLIN, 0}};
    for (;;) {
      {
        base::MutexLock guard(&lock_);
        if (stopping_) return;
      }
      CheckJournal();
      CatchUp();
      Deliver();
      int ready = poll(fds, 2, kFallbackWakeMs);
      if (ready < 0 && errno != EINTR) return;
      char drain[4096];
      while (read(watch, drain, sizeof drain) > 0) {
      }
      uint64_t value = 0;
      ssize_t ignored = read(poke, &value, sizeof value);
      (void)ignored;
    }
  }

  struct Change {
    ULONG event;
    EntryKind kind;
    int64_t object, parent, old_parent;
  };

  void Notify(int64_t store, ULONG event, EntryKind kind, int64_t object,
              int64_t parent, int64_t old_parent) EXCLUDES(Lock(), lock_) {
    NotifyAll(store, {{event, kind, object, parent, old_parent}});
  }

  // Hands the changes of one store to its sinks in one call each. Under
  // neither lock: the sinks read and change the service.
  void NotifyAll(int64_t store, const std::vector<Change>& changes)
      EXCLUDES(Lock(), lock_) {
    if (changes.empty()) return;
    std::vector<IMAPIAdviseSink*> targets;
    {
      base::MutexLock guard(&lock_);
      for (const SinkEntry& entry : sinks_) {
        if (entry.store == store) {
          entry.sink->AddRef();
          targets.push_back(entry.sink);
        }
      }
    }
    // The identifiers live until the sinks have returned.
    std::vector<std::vector<uint8_t>> ids;
    ids.reserve(changes.size() * 3);
    std::vector<NOTIFICATION> notifications(changes.size());
    for (size_t i = 0; i < changes.size(); ++i) {
      const Change& c = changes[i];
      NOTIFICATION& n = notifications[i];
      n.ulEventType = c.event;
      const std::vector<uint8_t>& object_id =
          ids.emplace_back(MakeEntryId(c.kind, c.object));
      n.info.obj.cbEntryID = static_cast<ULONG>(object_id.size());
      n.info.obj.lpEntryID =
          reinterpret_cast<LPENTRYID>(const_cast<uint8_t*>(object_id.data()));
      n.info.obj.ulObjType =
          c.kind == EntryKind::kMessage ? MAPI_MESSAGE : MAPI_FOLDER;
      if (c.parent != 0) {
        const std::vector<uint8_t>& parent_id =
            ids.emplace_back(MakeEntryId(EntryKind::kFolder, c.parent));
        n.info.obj.cbParentID = static_cast<ULONG>(parent_id.size());
        n.info.obj.lpParentID =
            reinterpret_cast<LPENTRYID>(const_cast<uint8_t*>(parent_id.data()));
      }
      if (c.old_parent != 0) {
        const std::vector<uint8_t>& old_parent_id =
            ids.emplace_back(MakeEntryId(EntryKind::kFolder, c.old_parent));
        n.info.obj.cbOldParentID = static_cast<ULONG>(old_parent_id.size());
        n.info.obj.lpOldParentID = reinterpret_cast<LPENTRYID>(
            const_cast<uint8_t*>(old_parent_id.data()));
      }
    }
    for (IMAPIAdviseSink* sink : targets) {
      sink->OnNotify(static_cast<ULONG>(notifications.size()),
                     notifications.data());
      sink->Release();
    }
  }

  // Hands every message already in a newly advised store's Outbox to its
  // sinks. A listing that cannot be read is tried again at the next wake-up;
  // until then the store counts as not caught up, and the transport waits.
  void CatchUp() EXCLUDES(Lock(), lock_) {
    for (;;) {
      int64_t store = 0;
      {
        base::MutexLock guard(&lock_);
        if (catch_up_.empty() || stopping_) return;
        store = catch_up_.front();
      }
      int64_t outbox = 0;
      std::vector<int64_t> messages;
      bool listed = false;
      {
        base::MutexLock db_guard(&Lock());
        outbox = StandardFolder(store, static_cast<int>(FolderKind::kOutbox));
        Query q("SELECT id FROM messages WHERE folder = ? ORDER BY id;");
        q.Bind(1, outbox);
        while (q.Step()) messages.push_back(q.Int64(0));
        listed = !q.failed();
      }
      if (!listed) {
        base::DebugOut(
            "notifications: cannot list the Outbox of store %lld; trying "
            "again\n",
            static_cast<long long>(store));
        return;
      }
      for (int64_t message : messages) {
        Notify(store, fnevObjectCreated, EntryKind::kMessage, message, outbox,
               0);
      }
      base::MutexLock guard(&lock_);
      if (!catch_up_.empty() && catch_up_.front() == store)
        catch_up_.pop_front();
      if (record_.stores.count(store) != 0) record_.stores[store] = true;
      WriteRecordLocked();
    }
  }

  struct Event {
    int64_t seq, stamp, event, store, kind, object, parent, old_parent;
  };

  void Deliver() EXCLUDES(Lock(), lock_) {
    auto written = std::chrono::steady_clock::now();
    for (;;) {
      std::vector<Event> events;
      {
        base::MutexLock db_guard(&Lock());
        Query q(
            "SELECT seq, stamp, event, store, kind, object, parent, "
            "old_parent FROM journal WHERE seq > ? ORDER BY seq LIMIT ?;");
        q.Bind(1, last_seq_).Bind(2, static_cast<int64_t>(kBatch));
        while (q.Step()) {
          Event e;
          e.seq = q.Int64(0);
          e.stamp = q.Int64(1);
          e.event = q.Int64(2);
          e.store = q.Int64(3);
          e.kind = q.Int64(4);
          e.object = q.Int64(5);
          e.parent = q.Int64(6);
          e.old_parent = q.Int64(7);
          events.push_back(e);
        }
        // A read that failed part way is taken up again at the next wake-up
        // from the last entry handled.
      }
      // Changes of one message's recipients come as one entry a row: of
      // those in this batch only the last is handed on (the sinks read the
      // message as it is now), the others count as handled.
      std::map<int64_t, int64_t> last_modified;  // object -> seq
      for (const Event& e : events) {
        if (e.event == fnevObjectModified) last_modified[e.object] = e.seq;
      }
      // Entries of one store that follow one another go to its sinks in one
      // call (up to kGroup), so that a burst of arrivals is judged and held
      // with one write.
      for (size_t first = 0; first < events.size();) {
        size_t end = first;
        std::vector<Change> changes;
        while (end < events.size() &&
               events[end].store == events[first].store &&
               changes.size() < kGroup) {
          const Event& e = events[end++];
          if (e.event == fnevObjectModified && last_modified[e.object] != e.seq)
            continue;
          changes.push_back({static_cast<ULONG>(e.event),
                             static_cast<EntryKind>(e.kind), e.object, e.parent,
                             e.old_parent});
        }
        NotifyAll(events[first].store, changes);
        const Event& e = events[end - 1];
        first = end;
        last_seq_ = e.seq;
        last_stamp_ = e.stamp;
        base::MutexLock guard(&lock_);
        record_.done = e.seq;
        record_.stamp = e.stamp;
        // The record is rewritten when the batch is handled, and meanwhile
        // now and then in a long one: a file replaced for every entry cost
        // the thread more than the sinks' work. The transport only waits a
        // moment longer for a mark that comes later.
        if (std::chrono::steady_clock::now() - written >= kRecordEvery) {
          WriteRecordSoonLocked();
          written = std::chrono::steady_clock::now();
        }
        if (stopping_) {
          WriteRecordLocked();
          return;
        }
      }
      if (!events.empty()) {
        base::MutexLock guard(&lock_);
        WriteRecordSoonLocked();
        written = std::chrono::steady_clock::now();
      }
      if (events.size() < static_cast<size_t>(kBatch)) return;
    }
  }

  // Lock order: the connection's Lock() before lock_ (JournalEnd and
  // CheckJournal let Lock() go before they take lock_), lock_ before
  // write_lock_ and the own-entries lock (message_service.h); the sinks are
  // called under none of them.
  base::Mutex lock_ ACQUIRED_AFTER(Lock());
  std::vector<SinkEntry> sinks_ GUARDED_BY(lock_);
  std::deque<int64_t> catch_up_ GUARDED_BY(lock_);
  ListenerRecord record_ GUARDED_BY(lock_);
  ULONG next_connection_ GUARDED_BY(lock_) = 1;
  std::thread thread_;
  // The record's writer thread, and what it is asked to do.
  std::thread writer_;
  base::CondVar write_wanted_;
  bool write_pending_ GUARDED_BY(lock_) = false;
  // Of the record's state last taken.
  uint64_t version_ GUARDED_BY(lock_) = 0;
  base::Mutex write_lock_ ACQUIRED_AFTER(lock_);
  // Of the state in the file.
  uint64_t written_version_ GUARDED_BY(write_lock_) = 0;
  int watch_ GUARDED_BY(lock_) = -1;
  int poke_ GUARDED_BY(lock_) = -1;
  bool stopping_ GUARDED_BY(lock_) = false;
  // The notification thread's own: the entry last handled, and whether the
  // service file was found replaced and the gap is still to be handled.
  int64_t last_seq_ = 0;
  int64_t last_stamp_ = 0;
  bool replaced_ = false;
};

void NotifierDeleter::operator()(Notifier* notifier) const { delete notifier; }

std::unique_ptr<Notifier, NotifierDeleter> MakeNotifier() {
  return std::unique_ptr<Notifier, NotifierDeleter>(new Notifier);
}

ULONG AddSink(int64_t store, IMAPIAdviseSink* sink) {
  return Service().notifier().Add(store, sink);
}

bool RemoveSink(ULONG connection) {
  return Service().notifier().Remove(connection);
}

}  // namespace device::service

namespace device {

void MessageService::StopNotifier() { notifier_->Stop(); }

}  // namespace device
