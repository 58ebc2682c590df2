// The window registry: a file per window in the image's run folder, and the
// requests other programs send to a window's owner.
#include "device/window_registry.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cassert>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <limits>
#include <sstream>
#include <thread>
#include <vector>

#include "base/debug.h"
#include "base/mutex.h"
#include "device/codepage.h"
#include "device/files.h"
#include "device/image.h"

namespace device {
namespace {

// Longest title or class kept in an entry; longer ones are cut.
constexpr size_t kMaxWindowText = 1024;
// Largest entry file read: four lines, the texts cut as above.
constexpr size_t kMaxEntryBytes = 64 + 4 * kMaxWindowText * 4;
// Largest request datagram: command letter, blank, handle.
constexpr size_t kMaxRequest = 128;
// How long a request waits for its owner to carry it out.
constexpr int kRequestAnswerMs = 2000;
// A listener reads at most this many requests per period; the rest waits in
// the socket (whose senders then block), so a flood costs the owner little.
constexpr int kRequestBudget = 64;
constexpr int kBudgetPeriodMs = 100;
// Answers of a listener: carried out, or not this process's window.
constexpr char kAnswerDone = 'D';
constexpr char kAnswerNotMine = 'N';

std::string WindowsDir() { return RunDir() + "/windows"; }
std::string RequestsDir() { return RunDir() + "/window-requests"; }

// The address of a process's request socket. A path too long for sun_path
// goes through a descriptor of the folder (/proc/self/fd/N/<pid>), which
// this object keeps open while the address is in use.
class RequestAddress {
 public:
  RequestAddress() = default;
  ~RequestAddress() {
    if (dir_fd_ >= 0) close(dir_fd_);
  }
  RequestAddress(const RequestAddress&) = delete;
  RequestAddress& operator=(const RequestAddress&) = delete;

  bool Fill(pid_t pid) {
    std::string name = std::to_string(pid);
    std::string path = RequestsDir() + "/" + name;
    if (path.size() >= sizeof(address_.sun_path)) {
      if (dir_fd_ < 0) {
        dir_fd_ = open(RequestsDir().c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
      }
      if (dir_fd_ < 0) return false;
      path = "/proc/self/fd/" + std::to_string(dir_fd_) + "/" + name;
    }
    memset(&address_, 0, sizeof address_);
    address_.sun_family = AF_UNIX;
    memcpy(address_.sun_path, path.data(), path.size());
    path_ = path;
    return true;
  }
  const sockaddr* get() const {
    return reinterpret_cast<const sockaddr*>(&address_);
  }
  socklen_t length() const {
    return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) +
                                  path_.size() + 1);
  }
  const std::string& path() const { return path_; }

 private:
  sockaddr_un address_ = {};
  std::string path_;
  int dir_fd_ = -1;
};

// Receives one datagram with its sender's credentials (the socket has
// SO_PASSCRED; the kernel vouches for them). -1 when nothing could be read,
// -2 for a datagram too long for the buffer (dropped); *sender is blank when
// no credentials came.
ssize_t ReceiveWithCredentials(int fd, char* buffer, size_t size,
                               sockaddr_un* from, socklen_t* from_length,
                               ucred* sender, int flags) {
  iovec part = {buffer, size};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(ucred))];
  msghdr message = {};
  message.msg_name = from;
  message.msg_namelen = from != nullptr ? *from_length : 0;
  message.msg_iov = &part;
  message.msg_iovlen = 1;
  message.msg_control = control;
  message.msg_controllen = sizeof control;
  ssize_t got = recvmsg(fd, &message, flags | MSG_CMSG_CLOEXEC);
  if (got < 0) return -1;
  if (from != nullptr) *from_length = message.msg_namelen;
  sender->pid = 0;
  sender->uid = static_cast<uid_t>(-1);
  sender->gid = static_cast<gid_t>(-1);
  for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr;
       c = CMSG_NXTHDR(&message, c)) {
    if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_CREDENTIALS &&
        c->cmsg_len == CMSG_LEN(sizeof(ucred))) {
      memcpy(sender, CMSG_DATA(c), sizeof(ucred));
    } else if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_RIGHTS) {
      // Nobody sends descriptors here; never keep one.
      size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
      for (size_t i = 0; i < count; ++i) {
        int passed;
        memcpy(&passed, CMSG_DATA(c) + i * sizeof(int), sizeof(int));
        close(passed);
      }
    }
  }
  if ((message.msg_flags & (MSG_TRUNC | MSG_CTRUNC)) != 0) return -2;
  return got;
}

bool SetPassCredentials(int fd) {
  int on = 1;
  return setsockopt(fd, SOL_SOCKET, SO_PASSCRED, &on, sizeof on) == 0;
}

std::u16string CutText(const std::u16string& text) {
  return text.size() > kMaxWindowText ? text.substr(0, kMaxWindowText) : text;
}

// One line per field; newlines in titles are replaced so the file stays
// line-shaped.
std::string LineSafe(const std::u16string& text) {
  std::string utf8 = WideToUtf8(CutText(text));
  std::replace(utf8.begin(), utf8.end(), '\n', ' ');
  std::replace(utf8.begin(), utf8.end(), '\r', ' ');
  return utf8;
}

struct StoredEntry {
  std::string file_name;  // "<order>_<handle>"
  WindowEntry entry;
  unsigned long long start_time = 0;
};

enum class EntryRead { kOk, kGone, kUnsound };

// Reads an entry file. Only a regular file of this user's, well formed,
// whose handle is its own process's ("<pid>-<n>") and whose start time is
// given, is an entry; anything else is unsound.
EntryRead ReadEntryFile(const std::string& file_name, StoredEntry* out) {
  size_t underscore = file_name.find('_');
  if (underscore == std::string::npos) return EntryRead::kUnsound;
  int fd = open((WindowsDir() + "/" + file_name).c_str(),
                O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) return errno == ENOENT ? EntryRead::kGone : EntryRead::kUnsound;
  struct stat st;
  std::string text;
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == geteuid() &&
      static_cast<size_t>(st.st_size) <= kMaxEntryBytes) {
    text.resize(static_cast<size_t>(st.st_size));
    ssize_t got = read(fd, text.data(), text.size());
    text.resize(got > 0 ? static_cast<size_t>(got) : 0);
  }
  close(fd);
  std::istringstream in(text);
  std::string pid_line, start_line, class_line, title_line;
  if (!std::getline(in, pid_line) || !std::getline(in, start_line) ||
      !std::getline(in, class_line) || !std::getline(in, title_line)) {
    return EntryRead::kUnsound;
  }
  char* end = nullptr;
  errno = 0;
  long pid = strtol(pid_line.c_str(), &end, 10);
  if (errno != 0 || end == pid_line.c_str() || *end != '\0' || pid <= 0 ||
      pid > std::numeric_limits<pid_t>::max()) {
    return EntryRead::kUnsound;
  }
  out->file_name = file_name;
  out->entry.handle = file_name.substr(underscore + 1);
  out->entry.pid = static_cast<pid_t>(pid);
  // Handles are "<pid>-<n>", made by the process itself.
  const std::string& handle = out->entry.handle;
  if (handle.rfind(pid_line + "-", 0) != 0 ||
      handle.size() == pid_line.size() + 1 ||
      handle.find_first_not_of("0123456789", pid_line.size() + 1) !=
          std::string::npos) {
    return EntryRead::kUnsound;
  }
  errno = 0;
  out->start_time = strtoull(start_line.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || out->start_time == 0)
    return EntryRead::kUnsound;
  out->entry.class_name = Utf8ToWide(class_line);
  out->entry.title = Utf8ToWide(title_line);
  return EntryRead::kOk;
}

// Sound entries in registration order; unsound ones (dead, reused or
// foreign processes, forged or broken files) are dropped on the way.
std::vector<StoredEntry> LiveEntries() {
  std::vector<StoredEntry> entries;
  DIR* dir = opendir(WindowsDir().c_str());
  if (dir == nullptr) return entries;
  std::vector<std::string> names;
  while (dirent* item = readdir(dir)) {
    std::string name = item->d_name;
    if (name.empty() || name[0] == '.') continue;
    names.push_back(name);
  }
  closedir(dir);
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) {
    StoredEntry stored;
    EntryRead read = ReadEntryFile(name, &stored);
    if (read == EntryRead::kGone) continue;
    if (read != EntryRead::kOk ||
        !ProcessAlive(stored.entry.pid, stored.start_time) ||
        !ProcessOfThisUser(stored.entry.pid)) {
      base::DebugOut("window registry: dropping entry %s\n", name.c_str());
      unlink((WindowsDir() + "/" + name).c_str());
      continue;
    }
    entries.push_back(std::move(stored));
  }
  return entries;
}

bool WriteEntryFile(const std::string& file_name, const std::u16string& title,
                    const std::u16string& class_name) {
  if (!EnsurePrivateDir(WindowsDir())) return false;
  std::string text = std::to_string(getpid()) + '\n' +
                     std::to_string(ProcessStartTime(getpid())) + '\n' +
                     LineSafe(class_name) + '\n' + LineSafe(title) + '\n';
  return WritePrivateFile(WindowsDir() + "/" + file_name, text,
                          FileSync::kUnsynced);
}

// This process's own windows: handle -> file name.
struct OwnWindows {
  base::Mutex lock;
  std::vector<std::pair<std::string, std::string>> windows GUARDED_BY(lock);
  int next_number GUARDED_BY(lock) = 1;
};

OwnWindows& Own() {
  static OwnWindows* own = new OwnWindows;  // lives until exit
  return *own;
}

std::string OwnFileName(const std::string& handle) {
  OwnWindows& own = Own();
  base::MutexLock guard(&own.lock);
  for (const auto& window : own.windows) {
    if (window.first == handle) return window.second;
  }
  return "";
}

// Removes request sockets left behind by processes that have gone (and an
// old one of this pid).
void SweepRequestSockets() {
  DIR* dir = opendir(RequestsDir().c_str());
  if (dir == nullptr) return;
  while (dirent* item = readdir(dir)) {
    char* end = nullptr;
    long pid = strtol(item->d_name, &end, 10);
    if (end == item->d_name || *end != '\0' || pid <= 0) continue;
    bool gone = pid == getpid() ||
                (kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH);
    if (gone) unlinkat(dirfd(dir), item->d_name, 0);
  }
  closedir(dir);
}

// Receives requests on the process's socket and hands them to the handler.
class Listener {
 public:
  ~Listener() { Stop(); }

  bool Start() {
    base::MutexLock guard(&start_lock_);
    if (thread_.joinable()) return true;
    if (!EnsurePrivateDir(RequestsDir())) {
      base::DebugOut("window registry: cannot make %s\n",
                     RequestsDir().c_str());
      return false;
    }
    SweepRequestSockets();
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return false;
    RequestAddress address;
    if (!SetPassCredentials(fd) || !address.Fill(getpid()) ||
        bind(fd, address.get(), address.length()) != 0) {
      base::DebugOut("window registry: cannot listen: %s\n", strerror(errno));
      close(fd);
      return false;
    }
    // Writing to a socket file needs write permission on it: the owner's only.
    chmod(address.path().c_str(), kPrivateFileMode);
    int stop = eventfd(0, EFD_CLOEXEC);
    if (stop < 0) {
      unlink(address.path().c_str());
      close(fd);
      return false;
    }
    socket_ = fd;
    stop_ = stop;
    socket_path_ = RequestsDir() + "/" + std::to_string(getpid());
    thread_ = std::thread([this] { Run(); });
    return true;
  }

  void Stop() {
    base::MutexLock guard(&start_lock_);
    if (!thread_.joinable()) return;
    uint64_t one = 1;
    ssize_t ignored = write(stop_, &one, sizeof one);
    (void)ignored;
    thread_.join();
    close(socket_);
    close(stop_);
    unlink(socket_path_.c_str());
    socket_ = stop_ = -1;
  }

  void SetHandler(WindowRequestHandler handler) {
    base::MutexLock guard(&handler_lock_);
    handler_ = std::move(handler);
  }

 private:
  // Waits for the stop event alone; true when it came.
  bool StopWithin(int timeout_ms) {
    pollfd stop = {stop_, POLLIN, 0};
    return poll(&stop, 1, timeout_ms) > 0;
  }

  void Run() {
    using Clock = std::chrono::steady_clock;
    pollfd fds[2] = {{socket_, POLLIN, 0}, {stop_, POLLIN, 0}};
    Clock::time_point period_start = Clock::now();
    int read_in_period = 0;
    for (;;) {
      if (poll(fds, 2, -1) < 0) {
        if (errno == EINTR) continue;
        return;
      }
      if (fds[1].revents != 0) return;
      if ((fds[0].revents & POLLIN) == 0) continue;
      // Everything waiting is read, up to the period's budget; beyond it
      // the listener rests until the period ends.
      for (;;) {
        Clock::time_point now = Clock::now();
        auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(
            now - period_start);
        if (spent.count() >= kBudgetPeriodMs) {
          period_start = now;
          read_in_period = 0;
        } else if (read_in_period >= kRequestBudget) {
          if (StopWithin(kBudgetPeriodMs - static_cast<int>(spent.count())))
            return;
          continue;
        }
        if (!HandleOne()) break;
        ++read_in_period;
      }
    }
  }

  // Reads and serves one waiting request; false when none was waiting.
  bool HandleOne() {
    char buffer[kMaxRequest + 1];
    sockaddr_un from;
    socklen_t from_length = sizeof from;
    ucred sender;
    ssize_t got = ReceiveWithCredentials(socket_, buffer, kMaxRequest, &from,
                                         &from_length, &sender, MSG_DONTWAIT);
    // Nothing waiting (or a failing socket: poll says when to look again).
    if (got == -1) return false;
    // Only this user's processes steer this process's windows; others get
    // no answer at all.
    if (got < 3 || sender.uid != geteuid() || sender.pid <= 0) return true;
    assert(got <= static_cast<ssize_t>(kMaxRequest));
    buffer[got] = '\0';
    WindowCommand command;
    switch (buffer[0]) {
      case 'S':
        command = WindowCommand::kShow;
        break;
      case 'H':
        command = WindowCommand::kHide;
        break;
      case 'F':
        command = WindowCommand::kForeground;
        break;
      default:
        return true;
    }
    if (buffer[1] != ' ') return true;
    std::string handle(buffer + 2, static_cast<size_t>(got) - 2);
    char answer = kAnswerNotMine;
    if (!OwnFileName(handle).empty()) {
      WindowRequestHandler handler;
      {
        base::MutexLock guard(&handler_lock_);
        handler = handler_;
      }
      if (handler) handler(handle, command);
      answer = kAnswerDone;
    }
    // The requester waits for this: the request has been carried out.
    if (from_length > sizeof(sa_family_t)) {
      sendto(socket_, &answer, 1, MSG_DONTWAIT,
             reinterpret_cast<sockaddr*>(&from), from_length);
    }
    return true;
  }

  base::Mutex start_lock_;
  base::Mutex handler_lock_;
  WindowRequestHandler handler_ GUARDED_BY(handler_lock_);
  std::thread thread_ GUARDED_BY(start_lock_);
  // Set before the thread starts and cleared after it has ended (both under
  // start_lock_); the thread reads them without it.
  int socket_ = -1;
  int stop_ = -1;
  std::string socket_path_ GUARDED_BY(start_lock_);
};

Listener& TheListener() {
  static Listener listener;
  return listener;
}

std::string OrderPrefix() {
  // Registration order across processes: the wall clock in nanoseconds,
  // fixed width so names sort by time.
  auto now = std::chrono::system_clock::now().time_since_epoch();
  char prefix[32];
  snprintf(
      prefix, sizeof prefix, "%020lld",
      static_cast<long long>(
          std::chrono::duration_cast<std::chrono::nanoseconds>(now).count()));
  return prefix;
}

// The /proc/<pid>/stat fields after the command name (from the state on),
// "" when the process is gone.
std::string StatFieldsAfterName(pid_t pid) {
  char path[64];
  snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
  std::ifstream in(path);
  if (!in) return "";
  std::string text((std::istreambuf_iterator<char>(in)),
                   std::istreambuf_iterator<char>());
  // The command name is in parentheses and may hold blanks and parentheses.
  size_t close_paren = text.rfind(')');
  if (close_paren == std::string::npos || close_paren + 2 > text.size())
    return "";
  return text.substr(close_paren + 2);
}

int PidfdOpen(pid_t pid) {
  return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
}

bool PidfdKill(int pidfd) {
  return syscall(SYS_pidfd_send_signal, pidfd, SIGKILL, nullptr, 0) == 0;
}

}  // namespace

std::string RegisterWindow(const std::u16string& title,
                           const std::u16string& class_name) {
  OwnWindows& own = Own();
  std::string handle;
  std::string file_name;
  {
    base::MutexLock guard(&own.lock);
    handle = std::to_string(getpid()) + "-" + std::to_string(own.next_number++);
    file_name = OrderPrefix() + "_" + handle;
  }
  if (!WriteEntryFile(file_name, title, class_name)) {
    base::DebugOut("window registry: cannot register a window\n");
    return "";
  }
  base::MutexLock guard(&own.lock);
  own.windows.emplace_back(handle, file_name);
  return handle;
}

bool SetRegisteredWindowTitle(const std::string& handle,
                              const std::u16string& title) {
  std::string file_name = OwnFileName(handle);
  if (file_name.empty()) return false;
  StoredEntry stored;
  if (ReadEntryFile(file_name, &stored) != EntryRead::kOk) return false;
  return WriteEntryFile(file_name, title, stored.entry.class_name);
}

void UnregisterWindow(const std::string& handle) {
  OwnWindows& own = Own();
  base::MutexLock guard(&own.lock);
  auto it = std::find_if(own.windows.begin(), own.windows.end(),
                         [&](const auto& w) { return w.first == handle; });
  if (it == own.windows.end()) return;
  unlink((WindowsDir() + "/" + it->second).c_str());
  own.windows.erase(it);
}

void UnregisterAllWindows() {
  OwnWindows& own = Own();
  base::MutexLock guard(&own.lock);
  for (const auto& window : own.windows) {
    unlink((WindowsDir() + "/" + window.second).c_str());
  }
  own.windows.clear();
}

bool SetWindowRequestHandler(WindowRequestHandler handler) {
  Listener& listener = TheListener();
  bool stopping = !handler;
  listener.SetHandler(std::move(handler));
  if (stopping) return true;
  return listener.Start();
}

void StopWindowRequests() {
  TheListener().SetHandler(nullptr);
  TheListener().Stop();
}

std::optional<WindowEntry> FindWindowByClass(const std::u16string& class_name) {
  if (class_name.empty()) return std::nullopt;
  for (StoredEntry& stored : LiveEntries()) {
    if (stored.entry.class_name == CutText(class_name)) return stored.entry;
  }
  return std::nullopt;
}

std::optional<WindowEntry> FindWindowByTitle(const std::u16string& title) {
  if (title.empty()) return std::nullopt;
  for (StoredEntry& stored : LiveEntries()) {
    if (stored.entry.title == CutText(title)) return stored.entry;
  }
  return std::nullopt;
}

std::optional<WindowEntry> FindWindow(const std::u16string& class_name,
                                      const std::u16string& title) {
  if (class_name.empty() && title.empty()) return std::nullopt;
  for (StoredEntry& stored : LiveEntries()) {
    if (!class_name.empty() && stored.entry.class_name != CutText(class_name))
      continue;
    if (!title.empty() && stored.entry.title != CutText(title)) continue;
    return stored.entry;
  }
  return std::nullopt;
}

bool RequestWindow(const WindowEntry& window, WindowCommand command) {
  // The registry, not the caller, says which process owns the window.
  pid_t owner = WindowProcess(window.handle);
  if (owner == 0) return false;
  if (window.handle.size() > kMaxRequest - 2) return false;
  char letter = command == WindowCommand::kShow   ? 'S'
                : command == WindowCommand::kHide ? 'H'
                                                  : 'F';
  std::string message = std::string(1, letter) + " " + window.handle;
  int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  // An address of our own (chosen by the kernel) for the owner's answer;
  // answers carry their sender's credentials.
  sockaddr_un own = {};
  own.sun_family = AF_UNIX;
  RequestAddress address;
  if (!SetPassCredentials(fd) ||
      bind(fd, reinterpret_cast<sockaddr*>(&own), sizeof(sa_family_t)) != 0 ||
      !address.Fill(owner)) {
    close(fd);
    return false;
  }
  ssize_t sent = sendto(fd, message.data(), message.size(), 0, address.get(),
                        address.length());
  bool done = false;
  if (sent == static_cast<ssize_t>(message.size())) {
    // Like the phone's window calls, the request returns once the owner has
    // carried it out (or after a bounded wait for an owner that hangs). Only
    // the owner's own answer counts.
    auto deadline = std::chrono::steady_clock::now() +
                    std::chrono::milliseconds(kRequestAnswerMs);
    for (;;) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      pollfd answer = {fd, POLLIN, 0};
      if (left.count() <= 0 ||
          poll(&answer, 1, static_cast<int>(left.count())) != 1)
        break;
      char byte = 0;
      ucred sender;
      if (ReceiveWithCredentials(fd, &byte, 1, nullptr, nullptr, &sender, 0) !=
          1)
        continue;
      if (sender.pid != owner || sender.uid != geteuid()) continue;
      done = byte == kAnswerDone;
      break;
    }
  }
  close(fd);
  return done;
}

pid_t WindowProcess(const std::string& handle) {
  for (StoredEntry& stored : LiveEntries()) {
    if (stored.entry.handle == handle) return stored.entry.pid;
  }
  return 0;
}

bool TerminateDeviceProcess(pid_t pid) {
  if (pid <= 0) return false;
  // The descriptor pins the process that has this pid now; the registry is
  // read after it is taken, so a pid reused in between fails the check or
  // leaves the descriptor pointing at a process that has already gone.
  int pidfd = PidfdOpen(pid);
  if (pidfd < 0) return false;
  bool owns_window = false;
  for (StoredEntry& stored : LiveEntries()) {
    if (stored.entry.pid == pid) {
      owns_window = true;
      break;
    }
  }
  bool ended = owns_window && PidfdKill(pidfd);
  close(pidfd);
  if (!owns_window)
    base::DebugOut("window registry: %d owns no window; not ended\n", pid);
  return ended;
}

unsigned long long ProcessStartTime(pid_t pid) {
  if (pid <= 0) return 0;
  std::istringstream fields(StatFieldsAfterName(pid));
  // The first field here is the state (field 3); start time is field 22.
  std::string field;
  for (int index = 3; index <= 22; ++index) {
    if (!(fields >> field)) return 0;
  }
  return strtoull(field.c_str(), nullptr, 10);
}

bool ProcessAlive(pid_t pid, unsigned long long start_time) {
  if (pid <= 0 || start_time == 0) return false;
  std::string fields = StatFieldsAfterName(pid);
  // A zombie has exited: its windows are gone.
  if (fields.empty() || fields[0] == 'Z' || fields[0] == 'X') return false;
  return ProcessStartTime(pid) == start_time;
}

bool ProcessOfThisUser(pid_t pid) {
  if (pid <= 0) return false;
  char path[64];
  snprintf(path, sizeof path, "/proc/%d/status", static_cast<int>(pid));
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("Uid:", 0) != 0) continue;
    std::istringstream ids(line.substr(4));
    unsigned long real = 0, effective = 0;
    if (!(ids >> real >> effective)) return false;
    return real == geteuid() && effective == geteuid();
  }
  return false;
}

}  // namespace device
