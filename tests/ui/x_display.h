// A real X server for window tests: Xvfb on a display of its own choosing,
// with a window manager (openbox) on it, both ended when the object goes.
// A test runs its windows in a child process (this same test program, with
// a filter naming the part to run) on that display, so that the rest of the
// program keeps Qt's offscreen platform.
#ifndef TARNVEX_TESTS_UI_X_DISPLAY_H_
#define TARNVEX_TESTS_UI_X_DISPLAY_H_

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace testing_support {

class XDisplay {
 public:
  XDisplay() = default;
  XDisplay(const XDisplay&) = delete;
  XDisplay& operator=(const XDisplay&) = delete;
  ~XDisplay() {
    Stop(wm_);
    Stop(server_);
  }

  // False, with the reason, when there is no X server to start.
  bool Start(const std::string& screen, std::string* why) {
    std::string xvfb = Which("Xvfb");
    std::string wm = Which("openbox");
    if (xvfb.empty()) {
      *why = "Xvfb is not installed (scripts/install-deps installs it)";
      return false;
    }
    if (wm.empty()) {
      *why = "openbox is not installed (scripts/install-deps installs it)";
      return false;
    }
    int fds[2];
    if (pipe(fds) != 0) {
      *why = "no pipe";
      return false;
    }
    server_ = Spawn({xvfb, "-displayfd", std::to_string(fds[1]), "-nolisten",
                     "tcp", "-screen", "0", screen},
                    {}, fds[1]);
    close(fds[1]);
    std::string number;
    pollfd p{fds[0], POLLIN, 0};
    while (poll(&p, 1, 10000) > 0) {
      char c;
      if (read(fds[0], &c, 1) != 1 || c == '\n') break;
      number.push_back(c);
    }
    close(fds[0]);
    if (server_ <= 0 || number.empty()) {
      *why = "Xvfb did not start";
      return false;
    }
    display_ = ":" + number;
    wm_ = Spawn({wm, "--sm-disable"}, {"DISPLAY=" + display_}, -1);
    // The manager takes over the screen quickly; windows made before it
    // would only be undecorated, which the tests do not depend on.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    int status = 0;
    if (wm_ <= 0 || waitpid(wm_, &status, WNOHANG) != 0) {
      wm_ = -1;
      *why = "the window manager did not start";
      return false;
    }
    return true;
  }

  const std::string& display() const { return display_; }

 private:
  static std::string Which(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::string dirs = path != nullptr ? path : "/usr/bin:/bin";
    dirs += ":/usr/bin";
    size_t start = 0;
    while (start <= dirs.size()) {
      size_t end = dirs.find(':', start);
      if (end == std::string::npos) end = dirs.size();
      std::string candidate = dirs.substr(start, end - start) + "/" + name;
      if (access(candidate.c_str(), X_OK) == 0) return candidate;
      start = end + 1;
    }
    return "";
  }

  static pid_t Spawn(const std::vector<std::string>& argv,
                     const std::vector<std::string>& env, int keep_fd) {
    pid_t pid = fork();
    if (pid != 0) return pid;
    int null = open("/dev/null", O_RDWR);
    dup2(null, 0);
    dup2(null, 1);
    dup2(null, 2);
    for (int fd = 3; fd < 1024; ++fd) {
      if (fd != keep_fd) close(fd);
    }
    for (const std::string& e : env) putenv(const_cast<char*>(e.c_str()));
    std::vector<char*> args;
    for (const std::string& a : argv)
      args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }

  static void Stop(pid_t pid) {
    if (pid <= 0) return;
    kill(pid, SIGTERM);
    for (int i = 0; i < 50; ++i) {
      if (waitpid(pid, nullptr, WNOHANG) == pid) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }

  pid_t server_ = -1;
  pid_t wm_ = -1;
  std::string display_;
};

}  // namespace testing_support

#endif  // TARNVEX_TESTS_UI_X_DISPLAY_H_
