#include "device/window_registry.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "device/image.h"
#include "device/named_event.h"
#include "tests/device/other_user.h"
#include "tests/support/temp_image.h"

namespace {

using device::WindowCommand;

// A child process that registers a compose window and reports each request
// it receives on a pipe, until it is killed.
pid_t StartChildWindow(const std::u16string& title, int* report_fd) {
  int fds[2];
  if (pipe(fds) != 0) return -1;
  pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    int out = fds[1];
    device::SetWindowRequestHandler([out](const std::string&, WindowCommand c) {
      char letter = c == WindowCommand::kHide   ? 'H'
                    : c == WindowCommand::kShow ? 'S'
                                                : 'F';
      ssize_t ignored = write(out, &letter, 1);
      (void)ignored;
    });
    device::RegisterWindow(title, u"MessagingCompose");
    char ready = 'R';
    ssize_t ignored = write(out, &ready, 1);
    (void)ignored;
    for (;;) pause();
  }
  close(fds[1]);
  *report_fd = fds[0];
  char ready = 0;
  if (read(fds[0], &ready, 1) != 1 || ready != 'R') return -1;
  return pid;
}

TEST(WindowRegistryTest, FindsOwnWindowsByClassOrTitleInRegistrationOrder) {
  testing_support::TempImage image;
  std::string first = device::RegisterWindow(u"Tarnvex", u"ClassName");
  std::string second = device::RegisterWindow(u"SMS", u"ClassName");
  ASSERT_FALSE(first.empty());
  ASSERT_NE(first, second);

  auto by_class = device::FindWindowByClass(u"ClassName");
  ASSERT_TRUE(by_class.has_value());
  EXPECT_EQ(by_class->handle, first);
  EXPECT_EQ(by_class->pid, getpid());
  auto by_title = device::FindWindowByTitle(u"SMS");
  ASSERT_TRUE(by_title.has_value());
  EXPECT_EQ(by_title->handle, second);
  EXPECT_FALSE(device::FindWindowByTitle(u"MMS").has_value());
  EXPECT_FALSE(device::FindWindowByClass(u"").has_value());
  EXPECT_FALSE(device::FindWindow(u"", u"").has_value());
  EXPECT_EQ(device::FindWindow(u"ClassName", u"SMS")->handle, second);

  ASSERT_TRUE(device::SetRegisteredWindowTitle(second, u"MMS"));
  EXPECT_FALSE(device::FindWindowByTitle(u"SMS").has_value());
  EXPECT_EQ(device::FindWindowByTitle(u"MMS")->handle, second);

  device::UnregisterWindow(first);
  EXPECT_EQ(device::FindWindowByClass(u"ClassName")->handle, second);
  device::UnregisterAllWindows();
  EXPECT_FALSE(device::FindWindowByClass(u"ClassName").has_value());
  EXPECT_EQ(device::WindowProcess(second), 0);
}

TEST(WindowRegistryTest, TitlesWithNewlinesAndHugeTitlesStayOneEntry) {
  testing_support::TempImage image;
  std::u16string huge(100000, u'x');
  std::string handle = device::RegisterWindow(u"a\nb", u"C");
  std::string big = device::RegisterWindow(huge, u"C2");
  ASSERT_FALSE(handle.empty());
  ASSERT_FALSE(big.empty());
  EXPECT_EQ(device::FindWindowByTitle(u"a b")->handle, handle);
  EXPECT_EQ(device::FindWindowByTitle(huge)->handle, big);
  device::UnregisterAllWindows();
}

TEST(WindowRegistryTest,
     RequestsReachTheOwningProcessAndEndingItRemovesItsWindows) {
  testing_support::TempImage image;
  int report = -1;
  pid_t child = StartChildWindow(u"SMS", &report);
  ASSERT_GT(child, 0);

  auto window = device::FindWindowByTitle(u"SMS");
  ASSERT_TRUE(window.has_value());
  EXPECT_EQ(window->pid, child);
  EXPECT_EQ(device::WindowProcess(window->handle), child);

  ASSERT_TRUE(device::RequestWindow(*window, WindowCommand::kHide));
  char got = 0;
  ASSERT_EQ(read(report, &got, 1), 1);
  EXPECT_EQ(got, 'H');
  ASSERT_TRUE(device::RequestWindow(*window, WindowCommand::kForeground));
  ASSERT_EQ(read(report, &got, 1), 1);
  EXPECT_EQ(got, 'F');

  ASSERT_TRUE(device::TerminateDeviceProcess(child));
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFSIGNALED(status));
  // Its entry is still on disk but no longer counts.
  EXPECT_FALSE(device::FindWindowByTitle(u"SMS").has_value());
  EXPECT_EQ(device::WindowProcess(window->handle), 0);
  EXPECT_FALSE(device::RequestWindow(*window, WindowCommand::kShow));
  close(report);
}

TEST(WindowRegistryTest, OwnRequestsArriveOnTheListenerThread) {
  testing_support::TempImage image;
  std::mutex lock;
  std::condition_variable changed;
  std::string got_handle;
  std::thread::id got_thread;
  ASSERT_TRUE(device::SetWindowRequestHandler(
      [&](const std::string& handle, WindowCommand command) {
        std::lock_guard<std::mutex> guard(lock);
        if (command == WindowCommand::kShow) got_handle = handle;
        got_thread = std::this_thread::get_id();
        changed.notify_all();
      }));
  std::string handle = device::RegisterWindow(u"Tarnvex", u"ClassName");
  auto window = device::FindWindowByClass(u"ClassName");
  ASSERT_TRUE(window.has_value());
  ASSERT_TRUE(device::RequestWindow(*window, WindowCommand::kShow));
  {
    std::unique_lock<std::mutex> guard(lock);
    ASSERT_TRUE(changed.wait_for(guard, std::chrono::seconds(3),
                                 [&] { return !got_handle.empty(); }));
    EXPECT_EQ(got_handle, handle);
    EXPECT_NE(got_thread, std::this_thread::get_id());
  }
  device::StopWindowRequests();
  device::UnregisterAllWindows();
}

TEST(WindowRegistryTest, EndingAMissingProcessFails) {
  EXPECT_FALSE(device::TerminateDeviceProcess(0));
  EXPECT_FALSE(device::TerminateDeviceProcess(-5));
  EXPECT_FALSE(device::ProcessAlive(0, 0));
  EXPECT_TRUE(
      device::ProcessAlive(getpid(), device::ProcessStartTime(getpid())));
  // A reused pid: same number, other start time; no start time is no proof.
  EXPECT_FALSE(
      device::ProcessAlive(getpid(), device::ProcessStartTime(getpid()) + 1));
  EXPECT_FALSE(device::ProcessAlive(getpid(), 0));
  EXPECT_TRUE(device::ProcessOfThisUser(getpid()));
}

// --- only the device's own user steers the device -----------------------

// Records the requests that reach this process's handler.
class RequestLog {
 public:
  RequestLog() {
    device::SetWindowRequestHandler(
        [this](const std::string& handle, WindowCommand c) {
          std::lock_guard<std::mutex> guard(lock_);
          char letter = c == WindowCommand::kHide   ? 'H'
                        : c == WindowCommand::kShow ? 'S'
                                                    : 'F';
          seen_.push_back(std::string(1, letter) + " " + handle);
          changed_.notify_all();
        });
  }
  ~RequestLog() { device::StopWindowRequests(); }

  // Waits until `count` requests have arrived; what arrived.
  std::vector<std::string> WaitFor(size_t count) {
    std::unique_lock<std::mutex> guard(lock_);
    changed_.wait_for(guard, std::chrono::seconds(5),
                      [&] { return seen_.size() >= count; });
    return seen_;
  }

 private:
  std::mutex lock_;
  std::condition_variable changed_;
  std::vector<std::string> seen_;
};

std::string RequestSocketPath(pid_t pid) {
  return device::RunDir() + "/window-requests/" + std::to_string(pid);
}

// Sends one raw datagram to a process's request socket as whoever runs
// this; 0 when it was sent, else the errno. With `answer`, waits for the
// listener's one-byte answer (0 when none came).
int SendRaw(const std::string& path, const std::string& text,
            char* answer = nullptr) {
  int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return errno;
  sockaddr_un own = {};
  own.sun_family = AF_UNIX;
  bind(fd, reinterpret_cast<sockaddr*>(&own),
       sizeof(sa_family_t));  // for the answer
  sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
  int result = sendto(fd, text.data(), text.size(), 0,
                      reinterpret_cast<sockaddr*>(&address),
                      sizeof address) == static_cast<ssize_t>(text.size())
                   ? 0
                   : errno;
  if (answer != nullptr) {
    *answer = 0;
    pollfd wait = {fd, POLLIN, 0};
    if (result == 0 && poll(&wait, 1, 3000) == 1) {
      ssize_t ignored = recv(fd, answer, 1, 0);
      (void)ignored;
    }
  }
  close(fd);
  return result;
}

TEST(WindowTrustTest, RequestSocketsAndEntriesArePrivate) {
  testing_support::TempImage image;
  RequestLog log;
  std::string handle = device::RegisterWindow(u"Tarnvex", u"ClassName");
  ASSERT_FALSE(handle.empty());
  struct stat st;
  ASSERT_EQ(stat(RequestSocketPath(getpid()).c_str(), &st), 0);
  EXPECT_TRUE(S_ISSOCK(st.st_mode));
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  ASSERT_EQ(stat((device::RunDir() + "/window-requests").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  ASSERT_EQ(stat((device::RunDir() + "/windows").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  device::UnregisterAllWindows();
}

// An image in a folder that other users may enter (as a home folder often
// is): only the image's own modes keep them out.
class ImageInOpenFolder {
 public:
  ImageInOpenFolder() : parent_(testing_support::MakeTempDir("tarnvex-open-")) {
    chmod(parent_.c_str(), 0755);
    device::SetImageRoot(parent_ + "/image");
    const base::Status made = device::InitImage();
    EXPECT_TRUE(made.ok()) << made.message();
  }
  ~ImageInOpenFolder() {
    device::SetImageRoot("");
    std::error_code ec;
    std::filesystem::remove_all(parent_, ec);
  }

 private:
  std::string parent_;
};

TEST(WindowTrustTest, AnotherUserCannotReachTheRequestSocket) {
  if (!testing_support::CanRunAsOtherUser())
    GTEST_SKIP() << testing_support::kNeedsRoot;
  ImageInOpenFolder image;
  RequestLog log;
  std::string handle = device::RegisterWindow(u"Tarnvex", u"ClassName");
  std::string path = RequestSocketPath(getpid());
  int sent = testing_support::RunAsOtherUser(
      [&] { return SendRaw(path, "H " + handle); });
  EXPECT_EQ(sent, EACCES);
  // Only this user's own request arrives.
  auto window = device::FindWindowByClass(u"ClassName");
  ASSERT_TRUE(window.has_value());
  ASSERT_TRUE(device::RequestWindow(*window, WindowCommand::kShow));
  EXPECT_EQ(log.WaitFor(1), std::vector<std::string>{"S " + handle});
  device::UnregisterAllWindows();
}

TEST(WindowTrustTest, AnotherUsersRequestIsIgnoredEvenWhereTheSocketIsOpen) {
  if (!testing_support::CanRunAsOtherUser())
    GTEST_SKIP() << testing_support::kNeedsRoot;
  testing_support::TempImage image;
  RequestLog log;
  std::string handle = device::RegisterWindow(u"Tarnvex", u"ClassName");
  std::string path = RequestSocketPath(getpid());
  // A careless user opened every folder on the way and the socket itself.
  for (std::string dir = path.substr(0, path.rfind('/')); dir.size() > 1;
       dir = dir.substr(0, dir.rfind('/'))) {
    if (dir == "/tmp") break;
    chmod(dir.c_str(), 0755);
  }
  chmod(path.c_str(), 0777);
  // The other user's request gets through to the socket, and no further.
  EXPECT_EQ(testing_support::RunAsOtherUser(
                [&] { return SendRaw(path, "H " + handle); }),
            0);
  auto window = device::FindWindowByClass(u"ClassName");
  ASSERT_TRUE(window.has_value());
  ASSERT_TRUE(device::RequestWindow(*window, WindowCommand::kForeground));
  EXPECT_EQ(log.WaitFor(1), std::vector<std::string>{"F " + handle});
  device::UnregisterAllWindows();
}

TEST(WindowTrustTest, RequestsForWindowsTheProcessDoesNotOwnAreIgnored) {
  testing_support::TempImage image;
  RequestLog log;
  std::string handle = device::RegisterWindow(u"Tarnvex", u"ClassName");
  std::string path = RequestSocketPath(getpid());
  char answer = 0;
  EXPECT_EQ(SendRaw(path, "H x", &answer), 0);
  EXPECT_EQ(answer, 'N');
  EXPECT_EQ(SendRaw(path, "H 1-1", &answer), 0);
  EXPECT_EQ(answer, 'N');
  EXPECT_EQ(SendRaw(path, "Hx" + handle), 0);  // not a request at all
  EXPECT_EQ(SendRaw(path, "H " + handle + std::string(300, 'x')),
            0);  // too long
  // A caller's claim about the owner does not redirect a request.
  device::WindowEntry forged{handle, u"Tarnvex", u"ClassName", 1};
  ASSERT_TRUE(device::RequestWindow(forged, WindowCommand::kHide));
  EXPECT_EQ(log.WaitFor(1), std::vector<std::string>{"H " + handle});
  device::UnregisterAllWindows();
}

TEST(WindowTrustTest, AFloodOfRequestsDoesNotShutOutTheOwnersRequest) {
  testing_support::TempImage image;
  RequestLog log;
  std::string handle = device::RegisterWindow(u"Tarnvex", u"ClassName");
  std::string path = RequestSocketPath(getpid());
  // Fill the socket's queue with junk, as a runaway program would.
  int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
  int queued = 0;
  for (int i = 0; i < 5000; ++i) {
    if (sendto(fd, "H x", 3, 0, reinterpret_cast<sockaddr*>(&address),
               sizeof address) == 3) {
      ++queued;
    }
  }
  close(fd);
  EXPECT_GT(queued, 0);
  auto window = device::FindWindowByClass(u"ClassName");
  ASSERT_TRUE(window.has_value());
  // The junk is read at a bounded rate and never reaches the handler; the
  // owner's request behind it is carried out.
  std::vector<std::string> seen;
  for (int attempt = 0; attempt < 10 && seen.empty(); ++attempt) {
    if (device::RequestWindow(*window, WindowCommand::kShow))
      seen = log.WaitFor(1);
  }
  ASSERT_FALSE(seen.empty());
  EXPECT_EQ(seen[0], "S " + handle);
  device::UnregisterAllWindows();
}

TEST(WindowTrustTest, RequestsReachAnOwnerInAnImageWithALongPath) {
  std::string parent = testing_support::MakeTempDir("tarnvex-long-");
  std::string root = parent + "/" + std::string(120, 'd');
  device::SetImageRoot(root);
  const base::Status made = device::InitImage();
  ASSERT_TRUE(made.ok()) << made.message();
  ASSERT_GT(RequestSocketPath(getpid()).size(), sizeof(sockaddr_un::sun_path));
  {
    RequestLog log;
    std::string handle = device::RegisterWindow(u"Tarnvex", u"ClassName");
    auto window = device::FindWindowByClass(u"ClassName");
    ASSERT_TRUE(window.has_value());
    ASSERT_TRUE(device::RequestWindow(*window, WindowCommand::kHide));
    EXPECT_EQ(log.WaitFor(1), std::vector<std::string>{"H " + handle});
    device::UnregisterAllWindows();
  }
  struct stat st;
  EXPECT_NE(lstat(RequestSocketPath(getpid()).c_str(), &st), 0)
      << "the socket goes with its listener";
  device::SetImageRoot("");
  std::filesystem::remove_all(parent);
}

// --- ending a process only for a sound entry ----------------------------

// A child of this user's that does nothing until it is killed.
pid_t StartSleeper() {
  int ready[2];
  if (pipe(ready) != 0) return -1;
  pid_t child = fork();
  if (child == 0) {
    char byte = 'R';
    ssize_t ignored = write(ready[1], &byte, 1);
    (void)ignored;
    for (;;) pause();
  }
  close(ready[1]);
  char byte = 0;
  ssize_t ignored = read(ready[0], &byte, 1);
  (void)ignored;
  close(ready[0]);
  return child;
}

bool StillRunning(pid_t pid) { return waitpid(pid, nullptr, WNOHANG) == 0; }

void EndChild(pid_t pid) {
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
}

// Writes an entry file as a careless or hostile program would.
std::string PlantEntry(const std::string& handle, pid_t pid,
                       unsigned long long start,
                       const std::string& title = "SMS") {
  std::string path =
      device::RunDir() + "/windows/00000000000000000001_" + handle;
  std::ofstream out(path, std::ios::trunc);
  out << pid << "\n"
      << start << "\n"
      << "Compose"
      << "\n"
      << title << "\n";
  return path;
}

bool Exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

TEST(WindowTrustTest, UnsoundEntriesEndNothingAndAreDropped) {
  testing_support::TempImage image;
  // Makes the windows folder.
  std::string own = device::RegisterWindow(u"Tarnvex", u"ClassName");
  ASSERT_FALSE(own.empty());
  pid_t sleeper = StartSleeper();
  ASSERT_GT(sleeper, 0);
  std::string id = std::to_string(sleeper);
  unsigned long long start = device::ProcessStartTime(sleeper);
  ASSERT_NE(start, 0u);
  struct Case {
    const char* what;
    std::string handle;
    unsigned long long start;
  } cases[] = {
      {"no start time", id + "-1", 0},
      {"another start time (a reused pid)", id + "-1", start + 1},
      {"a handle of another process", "1-1", start},
      {"a handle that is no handle", id + "-1.x", start},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::string path = PlantEntry(c.handle, sleeper, c.start);
    EXPECT_FALSE(device::FindWindowByTitle(u"SMS").has_value());
    EXPECT_FALSE(Exists(path));
    PlantEntry(c.handle, sleeper, c.start);
    EXPECT_FALSE(device::TerminateDeviceProcess(sleeper));
    EXPECT_TRUE(StillRunning(sleeper));
    EXPECT_FALSE(Exists(path));
  }
  // A link in place of an entry file is no entry either.
  std::string target = PlantEntry(id + "-1", sleeper, start);
  std::string link =
      device::RunDir() + "/windows/00000000000000000002_" + id + "-2";
  std::string moved = image.root() + "/entry";
  ASSERT_EQ(rename(target.c_str(), moved.c_str()), 0);
  ASSERT_EQ(symlink(moved.c_str(), link.c_str()), 0);
  EXPECT_FALSE(device::TerminateDeviceProcess(sleeper));
  EXPECT_TRUE(StillRunning(sleeper));
  EXPECT_FALSE(Exists(link));

  // The same process with a sound entry is ended.
  PlantEntry(id + "-1", sleeper, start);
  auto window = device::FindWindowByTitle(u"SMS");
  ASSERT_TRUE(window.has_value());
  EXPECT_EQ(window->pid, sleeper);
  EXPECT_TRUE(device::TerminateDeviceProcess(sleeper));
  int status = 0;
  ASSERT_EQ(waitpid(sleeper, &status, 0), sleeper);
  EXPECT_TRUE(WIFSIGNALED(status));
  device::UnregisterAllWindows();
}

TEST(WindowTrustTest, AnotherUsersProcessOrEntryFileIsNeverEnded) {
  if (!testing_support::CanRunAsOtherUser())
    GTEST_SKIP() << testing_support::kNeedsRoot;
  testing_support::TempImage image;
  std::string own = device::RegisterWindow(u"Tarnvex", u"ClassName");
  ASSERT_FALSE(own.empty());
  // A process of another user, with an entry that is right in every other
  // respect.
  pid_t foreign = testing_support::StartOtherUserSleeper();
  ASSERT_GT(foreign, 0);
  std::string id = std::to_string(foreign);
  std::string path =
      PlantEntry(id + "-1", foreign, device::ProcessStartTime(foreign));
  EXPECT_FALSE(device::FindWindowByTitle(u"SMS").has_value());
  EXPECT_FALSE(Exists(path));
  PlantEntry(id + "-1", foreign, device::ProcessStartTime(foreign));
  EXPECT_FALSE(device::TerminateDeviceProcess(foreign));
  EXPECT_TRUE(StillRunning(foreign));
  EndChild(foreign);

  // An entry file that another user wrote, naming one of this user's
  // processes.
  pid_t sleeper = StartSleeper();
  ASSERT_GT(sleeper, 0);
  path = PlantEntry(std::to_string(sleeper) + "-1", sleeper,
                    device::ProcessStartTime(sleeper));
  ASSERT_EQ(chown(path.c_str(), testing_support::kOtherUser,
                  testing_support::kOtherGroup),
            0);
  EXPECT_FALSE(device::TerminateDeviceProcess(sleeper));
  EXPECT_TRUE(StillRunning(sleeper));
  EXPECT_FALSE(Exists(path));
  EndChild(sleeper);
  device::UnregisterAllWindows();
}

TEST(NamedEventTest, SecondOwnerSeesAlreadyExistsUntilTheFirstCloses) {
  testing_support::TempImage image;
  device::NamedEvent first;
  bool exists = true;
  ASSERT_TRUE(first.Create("MainEvent", &exists));
  EXPECT_FALSE(exists);
  EXPECT_TRUE(first.owned());

  device::NamedEvent second;
  ASSERT_TRUE(second.Create("MainEvent", &exists));
  EXPECT_TRUE(exists);
  EXPECT_FALSE(second.owned());

  first.Close();
  ASSERT_TRUE(second.Create("MainEvent", &exists));
  EXPECT_FALSE(exists);

  device::NamedEvent bad;
  EXPECT_FALSE(bad.Create("../escape", &exists));
  EXPECT_FALSE(bad.Create("", &exists));
}

TEST(NamedEventTest, AKilledOwnerReleasesTheEvent) {
  testing_support::TempImage image;
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  pid_t child = fork();
  if (child == 0) {
    device::NamedEvent event;
    bool exists = false;
    event.Create("MainEvent", &exists);
    char ready = exists ? 'E' : 'R';
    ssize_t ignored = write(fds[1], &ready, 1);
    (void)ignored;
    for (;;) pause();
  }
  char ready = 0;
  ASSERT_EQ(read(fds[0], &ready, 1), 1);
  ASSERT_EQ(ready, 'R');
  device::NamedEvent event;
  bool exists = false;
  ASSERT_TRUE(event.Create("MainEvent", &exists));
  EXPECT_TRUE(exists);
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
  ASSERT_TRUE(event.Create("MainEvent", &exists));
  EXPECT_FALSE(exists);
  close(fds[0]);
  close(fds[1]);
}

}  // namespace
