#include "device/window_registry.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "device/named_event.h"
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
      char letter = c == WindowCommand::kHide ? 'H' : c == WindowCommand::kShow ? 'S' : 'F';
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

TEST(WindowRegistryTest, RequestsReachTheOwningProcessAndEndingItRemovesItsWindows) {
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
  EXPECT_TRUE(device::ProcessAlive(getpid(), device::ProcessStartTime(getpid())));
  // A reused pid: same number, other start time.
  EXPECT_FALSE(device::ProcessAlive(getpid(), device::ProcessStartTime(getpid()) + 1));
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
