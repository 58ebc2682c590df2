// Notifications: each process that advised a store listens on an abstract
// datagram socket and keeps a marker file in <run>/listeners. A writer,
// after its commit, sends one byte to every listener; the listener's
// notification thread then reads the journal past the last entry it has
// seen and calls the sinks of the changed stores, in journal order.
#include <dirent.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <thread>

#include "device/debug.h"
#include "device/image.h"
#include "device/service/service_db.h"
#include "device/window_registry.h"

namespace device::service {
namespace {

// A listener also looks at the journal this often when no wake-up came (a
// writer that died between its commit and its wake-up).
constexpr int kFallbackWakeMs = 1000;

std::string ListenersDir() { return RunDir() + "/listeners"; }

socklen_t Address(pid_t pid, sockaddr_un* address) {
  std::memset(address, 0, sizeof *address);
  address->sun_family = AF_UNIX;
  char name[96];
  int length = std::snprintf(name, sizeof name, "tarnvex-notify-%zx-%d",
                             std::hash<std::string>{}(ImageRoot()),
                             static_cast<int>(pid));
  std::memcpy(address->sun_path + 1, name, static_cast<size_t>(length));
  return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + length);
}

struct SinkEntry {
  ULONG connection;
  int64_t store;
  IMAPIAdviseSink* sink;
};

class Notifier {
 public:
  ULONG Add(int64_t store, IMAPIAdviseSink* sink) {
    // Where the journal stands now: later changes are notified.
    int64_t seq = 0;
    {
      std::lock_guard<std::recursive_mutex> db_guard(Lock());
      Query q("SELECT IFNULL(MAX(seq), 0) FROM journal;");
      seq = q.Step() ? sqlite3_column_int64(q.get(), 0) : 0;
    }
    std::lock_guard<std::mutex> guard(lock_);
    if (!Start(seq)) return 0;
    sink->AddRef();
    ULONG connection = next_connection_++;
    sinks_.push_back({connection, store, sink});
    return connection;
  }

  bool Remove(ULONG connection) {
    IMAPIAdviseSink* sink = nullptr;
    {
      std::lock_guard<std::mutex> guard(lock_);
      for (auto it = sinks_.begin(); it != sinks_.end(); ++it) {
        if (it->connection == connection) {
          sink = it->sink;
          sinks_.erase(it);
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
      std::lock_guard<std::mutex> guard(lock_);
      if (thread_.joinable()) {
        uint64_t one = 1;
        ssize_t ignored = write(stop_, &one, sizeof one);
        (void)ignored;
      }
    }
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) {
      thread_.join();
    }
    std::lock_guard<std::mutex> guard(lock_);
    if (socket_ >= 0) close(socket_);
    if (stop_ >= 0) close(stop_);
    socket_ = stop_ = -1;
    unlink(marker_.c_str());
    sinks.swap(sinks_);
    for (const SinkEntry& entry : sinks) entry.sink->Release();
  }

 private:
  bool Start(int64_t seq) {
    if (thread_.joinable()) return true;
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return false;
    sockaddr_un address;
    socklen_t length = Address(getpid(), &address);
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0) {
      close(fd);
      return false;
    }
    int stop = eventfd(0, EFD_CLOEXEC);
    if (stop < 0) {
      close(fd);
      return false;
    }
    last_seq_ = seq;
    mkdir(RunDir().c_str(), 0755);
    mkdir(ListenersDir().c_str(), 0755);
    marker_ = ListenersDir() + "/" + std::to_string(getpid());
    {
      std::ofstream out(marker_, std::ios::trunc);
      out << ProcessStartTime(getpid()) << "\n";
    }
    socket_ = fd;
    stop_ = stop;
    thread_ = std::thread([this] { Run(); });
    return true;
  }

  void Run() {
    pollfd fds[2] = {{socket_, POLLIN, 0}, {stop_, POLLIN, 0}};
    for (;;) {
      int ready = poll(fds, 2, kFallbackWakeMs);
      if (ready < 0 && errno != EINTR) return;
      if (fds[1].revents != 0) return;
      char drain[64];
      while (recv(socket_, drain, sizeof drain, 0) > 0) {
      }
      Deliver();
    }
  }

  struct Event {
    int64_t seq, event, store, kind, object, parent, old_parent;
  };

  void Deliver() {
    std::vector<Event> events;
    {
      std::lock_guard<std::recursive_mutex> db_guard(Lock());
      Query q(
          "SELECT seq, event, store, kind, object, parent, old_parent FROM "
          "journal WHERE seq > ? ORDER BY seq LIMIT 1000;");
      q.Bind(1, last_seq_);
      while (q.Step()) {
        Event e;
        e.seq = sqlite3_column_int64(q.get(), 0);
        e.event = sqlite3_column_int64(q.get(), 1);
        e.store = sqlite3_column_int64(q.get(), 2);
        e.kind = sqlite3_column_int64(q.get(), 3);
        e.object = sqlite3_column_int64(q.get(), 4);
        e.parent = sqlite3_column_int64(q.get(), 5);
        e.old_parent = sqlite3_column_int64(q.get(), 6);
        events.push_back(e);
      }
    }
    for (const Event& e : events) {
      last_seq_ = e.seq;
      std::vector<IMAPIAdviseSink*> targets;
      {
        std::lock_guard<std::mutex> guard(lock_);
        for (const SinkEntry& entry : sinks_) {
          if (entry.store == e.store) {
            entry.sink->AddRef();
            targets.push_back(entry.sink);
          }
        }
      }
      std::vector<uint8_t> object = MakeEntryId(static_cast<EntryKind>(e.kind), e.object);
      std::vector<uint8_t> parent = MakeEntryId(EntryKind::kFolder, e.parent);
      std::vector<uint8_t> old_parent = MakeEntryId(EntryKind::kFolder, e.old_parent);
      NOTIFICATION n = {};
      n.ulEventType = static_cast<ULONG>(e.event);
      n.info.obj.cbEntryID = static_cast<ULONG>(object.size());
      n.info.obj.lpEntryID = reinterpret_cast<LPENTRYID>(object.data());
      n.info.obj.ulObjType = e.kind == 'M' ? MAPI_MESSAGE : MAPI_FOLDER;
      if (e.parent != 0) {
        n.info.obj.cbParentID = static_cast<ULONG>(parent.size());
        n.info.obj.lpParentID = reinterpret_cast<LPENTRYID>(parent.data());
      }
      if (e.old_parent != 0) {
        n.info.obj.cbOldParentID = static_cast<ULONG>(old_parent.size());
        n.info.obj.lpOldParentID = reinterpret_cast<LPENTRYID>(old_parent.data());
      }
      for (IMAPIAdviseSink* sink : targets) {
        sink->OnNotify(1, &n);
        sink->Release();
      }
    }
    // More than one batch waiting: go on at once.
    if (events.size() == 1000) Deliver();
  }

  std::mutex lock_;
  std::vector<SinkEntry> sinks_;
  ULONG next_connection_ = 1;
  std::thread thread_;
  int socket_ = -1;
  int stop_ = -1;
  int64_t last_seq_ = 0;
  std::string marker_;
};

Notifier& TheNotifier() {
  static Notifier* notifier = new Notifier;  // lives until exit
  return *notifier;
}

}  // namespace

ULONG AddSink(int64_t store, IMAPIAdviseSink* sink) {
  return TheNotifier().Add(store, sink);
}

bool RemoveSink(ULONG connection) { return TheNotifier().Remove(connection); }

void StopNotifier() { TheNotifier().Stop(); }

void WakeListeners() {
  DIR* dir = opendir(ListenersDir().c_str());
  if (dir == nullptr) return;
  int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  while (dirent* item = readdir(dir)) {
    if (item->d_name[0] == '.') continue;
    pid_t pid = static_cast<pid_t>(std::atoi(item->d_name));
    if (pid <= 0) continue;
    sockaddr_un address;
    socklen_t length = Address(pid, &address);
    char byte = 1;
    if (sendto(fd, &byte, 1, 0, reinterpret_cast<sockaddr*>(&address), length) < 0 &&
        errno == ECONNREFUSED) {
      // Nobody listens there any more: the process is gone.
      unlink((ListenersDir() + "/" + item->d_name).c_str());
    }
  }
  if (fd >= 0) close(fd);
  closedir(dir);
}

}  // namespace device::service
