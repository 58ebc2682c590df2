// The transport's sleep between passes: inotify on the service's folders,
// an eventfd to be woken, and the deadline of the next due message.
#include "device/service/change_waiter.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

#include "device/files.h"
#include "device/image.h"
#include "device/service/service.h"
#include "device/service/service_db.h"

namespace device {
namespace {

int64_t WallMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// Empties a non-blocking descriptor.
void Drain(int fd) {
  char buffer[4096];
  while (read(fd, buffer, sizeof buffer) > 0) {
  }
}

}  // namespace

ServiceChangeWaiter::ServiceChangeWaiter(int stop_fd) : stop_fd_(stop_fd) {
  poke_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  inotify_ = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
  if (inotify_ < 0) return;
  // The service file's folder (the file, its write-ahead log, the filter
  // list), the listeners' records and the mail settings (a relay set while
  // mail waits). A folder that cannot be watched leaves the fallback pause.
  const uint32_t kChanges = IN_MODIFY | IN_CREATE | IN_MOVED_TO |
                            IN_CLOSE_WRITE | IN_DELETE | IN_MOVED_FROM;
  const std::string listeners = RunDir() + "/listeners";
  EnsurePrivateDir(RunDir());
  EnsurePrivateDir(listeners);
  bool watched = false;
  for (const std::string& dir :
       {DeviceDataDir(), listeners, DeviceDataDir() + "/mail"})
    watched |= inotify_add_watch(inotify_, dir.c_str(), kChanges) >= 0;
  if (!watched) {
    close(inotify_);
    inotify_ = -1;
  }
}

ServiceChangeWaiter::~ServiceChangeWaiter() {
  if (inotify_ >= 0) close(inotify_);
  if (poke_ >= 0) close(poke_);
}

bool ServiceChangeWaiter::Wait(int64_t deadline_ms) {
  const int64_t now = WallMs();
  int64_t wait_ms = kFallbackWakeMs;
  if (deadline_ms != 0)
    wait_ms = std::clamp<int64_t>(deadline_ms - now, 0, wait_ms);
  pollfd fds[3];
  nfds_t n = 0;
  for (int fd : {inotify_, poke_, stop_fd_}) {
    if (fd >= 0) fds[n++] = {fd, POLLIN, 0};
  }
  int ready = 0;
  do {
    ready = poll(fds, n, static_cast<int>(wait_ms));
  } while (ready < 0 && errno == EINTR && stop_fd_ < 0);
  if (ready <= 0) return false;
  if (inotify_ >= 0) Drain(inotify_);
  if (poke_ >= 0) Drain(poke_);
  return true;
}

void ServiceChangeWaiter::Gather(int ms) {
  pollfd fds[2];
  nfds_t n = 0;
  for (int fd : {poke_, stop_fd_}) {
    if (fd >= 0) fds[n++] = {fd, POLLIN, 0};
  }
  if (poll(fds, n, ms) > 0 && poke_ >= 0) Drain(poke_);
}

void ServiceChangeWaiter::Wake() {
  if (poke_ < 0) return;
  const uint64_t one = 1;
  const ssize_t ignored = write(poke_, &one, sizeof one);
  (void)ignored;
}

int64_t NextSendDueMs(int64_t send_delay_ms, int64_t now_ms,
                      const std::string& store) {
  if (!OpenMessageService().ok()) return 0;
  namespace service = device::service;
  base::MutexLock guard(&service::Lock());
  service::Query q(
      "SELECT MIN(m.in_folder_since) FROM messages m JOIN folders f ON f.id = "
      "m.folder JOIN stores s ON s.id = f.store WHERE f.kind = ? AND "
      "m.in_folder_since > ? AND (? = '' OR s.name = ?);");
  q.Bind(1, static_cast<int64_t>(FolderKind::kOutbox))
      .Bind(2, now_ms - send_delay_ms)
      .Bind(3, store)
      .Bind(4, store);
  if (!q.Step() || q.IsNull(0)) return 0;
  return q.Int64(0) + send_delay_ms;
}

}  // namespace device
