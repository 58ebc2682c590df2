#include "device/window_registry.h"

#include <dirent.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <mutex>
#include <sstream>
#include <thread>
#include <vector>

#include "device/codepage.h"
#include "device/debug.h"
#include "device/image.h"

namespace device {
namespace {

// Longest title or class kept in an entry; longer ones are cut.
constexpr size_t kMaxWindowText = 1024;
// Largest request datagram: command letter, blank, handle.
constexpr size_t kMaxRequest = 128;
// How long a request waits for its owner to carry it out.
constexpr int kRequestAnswerMs = 2000;

std::string WindowsDir() { return RunDir() + "/windows"; }

bool EnsureDir(const std::string& dir) {
  if (mkdir(dir.c_str(), 0755) == 0 || errno == EEXIST) return true;
  // Parents may be missing on a fresh image.
  size_t slash = dir.rfind('/');
  if (slash == std::string::npos || slash == 0) return false;
  if (!EnsureDir(dir.substr(0, slash))) return false;
  return mkdir(dir.c_str(), 0755) == 0 || errno == EEXIST;
}

// The socket a process listens on: abstract, so nothing is left in the file
// system when the process dies; named after the image so two images on one
// machine never see each other's windows.
std::string SocketName(pid_t pid) {
  size_t image_hash = std::hash<std::string>{}(ImageRoot());
  char name[96];
  snprintf(name, sizeof name, "tarnvex-windows-%zx-%d", image_hash,
           static_cast<int>(pid));
  return name;
}

socklen_t FillAddress(pid_t pid, sockaddr_un* address) {
  memset(address, 0, sizeof *address);
  address->sun_family = AF_UNIX;
  std::string name = SocketName(pid);
  // sun_path[0] stays NUL: the abstract namespace.
  size_t length = std::min(name.size(), sizeof(address->sun_path) - 1);
  memcpy(address->sun_path + 1, name.data(), length);
  return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + length);
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

bool ReadEntryFile(const std::string& file_name, StoredEntry* out) {
  size_t underscore = file_name.find('_');
  if (underscore == std::string::npos) return false;
  std::ifstream in(WindowsDir() + "/" + file_name);
  if (!in) return false;
  std::string pid_line, start_line, class_line, title_line;
  if (!std::getline(in, pid_line) || !std::getline(in, start_line) ||
      !std::getline(in, class_line) || !std::getline(in, title_line)) {
    return false;
  }
  char* end = nullptr;
  long pid = strtol(pid_line.c_str(), &end, 10);
  if (end == pid_line.c_str() || pid <= 0) return false;
  out->file_name = file_name;
  out->entry.handle = file_name.substr(underscore + 1);
  out->entry.pid = static_cast<pid_t>(pid);
  out->start_time = strtoull(start_line.c_str(), nullptr, 10);
  out->entry.class_name = Utf8ToWide(class_line);
  out->entry.title = Utf8ToWide(title_line);
  return true;
}

// Live entries in registration order; entries of dead processes are removed
// on the way.
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
    if (!ReadEntryFile(name, &stored)) continue;
    if (!ProcessAlive(stored.entry.pid, stored.start_time)) {
      unlink((WindowsDir() + "/" + name).c_str());
      continue;
    }
    entries.push_back(std::move(stored));
  }
  return entries;
}

bool WriteEntryFile(const std::string& file_name, const std::u16string& title,
                    const std::u16string& class_name) {
  if (!EnsureDir(WindowsDir())) return false;
  std::string final_path = WindowsDir() + "/" + file_name;
  std::string temp_path = WindowsDir() + "/." + file_name + ".tmp";
  {
    std::ofstream out(temp_path, std::ios::trunc);
    if (!out) return false;
    out << getpid() << '\n'
        << ProcessStartTime(getpid()) << '\n'
        << LineSafe(class_name) << '\n'
        << LineSafe(title) << '\n';
    if (!out.flush()) {
      unlink(temp_path.c_str());
      return false;
    }
  }
  if (rename(temp_path.c_str(), final_path.c_str()) != 0) {
    unlink(temp_path.c_str());
    return false;
  }
  return true;
}

// This process's own windows: handle -> file name.
struct OwnWindows {
  std::mutex lock;
  std::vector<std::pair<std::string, std::string>> windows;
  int next_number = 1;
};

OwnWindows& Own() {
  static OwnWindows* own = new OwnWindows;  // lives until exit
  return *own;
}

// Receives requests on the process's socket and hands them to the handler.
class Listener {
 public:
  ~Listener() { Stop(); }

  bool Start() {
    std::lock_guard<std::mutex> guard(start_lock_);
    if (thread_.joinable()) return true;
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_un address;
    socklen_t length = FillAddress(getpid(), &address);
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0) {
      DebugOut("window registry: cannot listen: %s\n", strerror(errno));
      close(fd);
      return false;
    }
    int stop = eventfd(0, EFD_CLOEXEC);
    if (stop < 0) {
      close(fd);
      return false;
    }
    socket_ = fd;
    stop_ = stop;
    thread_ = std::thread([this] { Run(); });
    return true;
  }

  void Stop() {
    std::lock_guard<std::mutex> guard(start_lock_);
    if (!thread_.joinable()) return;
    uint64_t one = 1;
    ssize_t ignored = write(stop_, &one, sizeof one);
    (void)ignored;
    thread_.join();
    close(socket_);
    close(stop_);
    socket_ = stop_ = -1;
  }

  void SetHandler(WindowRequestHandler handler) {
    std::lock_guard<std::mutex> guard(handler_lock_);
    handler_ = std::move(handler);
  }

 private:
  void Run() {
    pollfd fds[2] = {{socket_, POLLIN, 0}, {stop_, POLLIN, 0}};
    for (;;) {
      if (poll(fds, 2, -1) < 0) {
        if (errno == EINTR) continue;
        return;
      }
      if (fds[1].revents != 0) return;
      if ((fds[0].revents & POLLIN) == 0) continue;
      char buffer[kMaxRequest + 1];
      sockaddr_un from;
      socklen_t from_length = sizeof from;
      ssize_t got = recvfrom(socket_, buffer, kMaxRequest, 0,
                             reinterpret_cast<sockaddr*>(&from), &from_length);
      if (got < 3) continue;
      buffer[got] = '\0';
      WindowCommand command;
      switch (buffer[0]) {
        case 'S': command = WindowCommand::kShow; break;
        case 'H': command = WindowCommand::kHide; break;
        case 'F': command = WindowCommand::kForeground; break;
        default: continue;
      }
      std::string handle(buffer + 2, static_cast<size_t>(got) - 2);
      WindowRequestHandler handler;
      {
        std::lock_guard<std::mutex> guard(handler_lock_);
        handler = handler_;
      }
      if (handler) handler(handle, command);
      // The requester waits for this: the request has been carried out.
      if (from_length > sizeof(sa_family_t)) {
        char done = 'D';
        sendto(socket_, &done, 1, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from),
               from_length);
      }
    }
  }

  std::mutex start_lock_;
  std::mutex handler_lock_;
  WindowRequestHandler handler_;
  std::thread thread_;
  int socket_ = -1;
  int stop_ = -1;
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
  snprintf(prefix, sizeof prefix, "%020lld",
           static_cast<long long>(
               std::chrono::duration_cast<std::chrono::nanoseconds>(now).count()));
  return prefix;
}

std::string OwnFileName(const std::string& handle) {
  OwnWindows& own = Own();
  std::lock_guard<std::mutex> guard(own.lock);
  for (const auto& window : own.windows) {
    if (window.first == handle) return window.second;
  }
  return "";
}

}  // namespace

std::string RegisterWindow(const std::u16string& title,
                           const std::u16string& class_name) {
  OwnWindows& own = Own();
  std::string handle;
  std::string file_name;
  {
    std::lock_guard<std::mutex> guard(own.lock);
    handle = std::to_string(getpid()) + "-" + std::to_string(own.next_number++);
    file_name = OrderPrefix() + "_" + handle;
  }
  if (!WriteEntryFile(file_name, title, class_name)) {
    DebugOut("window registry: cannot register a window\n");
    return "";
  }
  std::lock_guard<std::mutex> guard(own.lock);
  own.windows.emplace_back(handle, file_name);
  return handle;
}

bool SetRegisteredWindowTitle(const std::string& handle,
                              const std::u16string& title) {
  std::string file_name = OwnFileName(handle);
  if (file_name.empty()) return false;
  StoredEntry stored;
  if (!ReadEntryFile(file_name, &stored)) return false;
  return WriteEntryFile(file_name, title, stored.entry.class_name);
}

void UnregisterWindow(const std::string& handle) {
  OwnWindows& own = Own();
  std::lock_guard<std::mutex> guard(own.lock);
  auto it = std::find_if(own.windows.begin(), own.windows.end(),
                         [&](const auto& w) { return w.first == handle; });
  if (it == own.windows.end()) return;
  unlink((WindowsDir() + "/" + it->second).c_str());
  own.windows.erase(it);
}

void UnregisterAllWindows() {
  OwnWindows& own = Own();
  std::lock_guard<std::mutex> guard(own.lock);
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
    if (!class_name.empty() && stored.entry.class_name != CutText(class_name)) continue;
    if (!title.empty() && stored.entry.title != CutText(title)) continue;
    return stored.entry;
  }
  return std::nullopt;
}

bool RequestWindow(const WindowEntry& window, WindowCommand command) {
  if (WindowProcess(window.handle) == 0) return false;
  if (window.handle.size() > kMaxRequest - 2) return false;
  char letter = command == WindowCommand::kShow   ? 'S'
                : command == WindowCommand::kHide ? 'H'
                                                  : 'F';
  std::string message = std::string(1, letter) + " " + window.handle;
  int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  // An address of our own (chosen by the kernel) for the owner's answer.
  sockaddr_un own = {};
  own.sun_family = AF_UNIX;
  if (bind(fd, reinterpret_cast<sockaddr*>(&own), sizeof(sa_family_t)) != 0) {
    close(fd);
    return false;
  }
  sockaddr_un address;
  socklen_t length = FillAddress(window.pid, &address);
  ssize_t sent = sendto(fd, message.data(), message.size(), 0,
                        reinterpret_cast<sockaddr*>(&address), length);
  bool done = false;
  if (sent == static_cast<ssize_t>(message.size())) {
    // Like the phone's window calls, the request returns once the owner has
    // carried it out (or after a bounded wait for an owner that hangs).
    pollfd answer = {fd, POLLIN, 0};
    char byte = 0;
    done = poll(&answer, 1, kRequestAnswerMs) == 1 && recv(fd, &byte, 1, 0) == 1;
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
  return kill(pid, SIGKILL) == 0;
}

unsigned long long ProcessStartTime(pid_t pid) {
  char path[64];
  snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
  std::ifstream in(path);
  if (!in) return 0;
  std::string text((std::istreambuf_iterator<char>(in)),
                   std::istreambuf_iterator<char>());
  // The command name is in parentheses and may hold blanks; the fields
  // after the last ')' start with the state (field 3); start time is 22.
  size_t close_paren = text.rfind(')');
  if (close_paren == std::string::npos) return 0;
  std::istringstream fields(text.substr(close_paren + 1));
  std::string field;
  for (int index = 3; index <= 22; ++index) {
    if (!(fields >> field)) return 0;
  }
  return strtoull(field.c_str(), nullptr, 10);
}

bool ProcessAlive(pid_t pid, unsigned long long start_time) {
  if (pid <= 0) return false;
  if (kill(pid, 0) != 0 && errno == ESRCH) return false;
  unsigned long long now = ProcessStartTime(pid);
  if (now == 0) return false;
  // A zombie has exited: its windows are gone.
  char path[64];
  snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
  std::ifstream in(path);
  std::string text((std::istreambuf_iterator<char>(in)),
                   std::istreambuf_iterator<char>());
  size_t close_paren = text.rfind(')');
  if (close_paren != std::string::npos && close_paren + 2 < text.size() &&
      (text[close_paren + 2] == 'Z' || text[close_paren + 2] == 'X')) {
    return false;
  }
  return start_time == 0 || now == start_time;
}

}  // namespace device
