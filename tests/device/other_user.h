// Runs a piece of a test as another user of the machine ("nobody"), as a
// local user who is not the device's owner would try things. Only root can
// change user: elsewhere the caller skips the test with a message.
#ifndef TARNVEX_TESTS_DEVICE_OTHER_USER_H_
#define TARNVEX_TESTS_DEVICE_OTHER_USER_H_

#include <grp.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>

namespace testing_support {

inline constexpr uid_t kOtherUser = 65534;  // nobody
inline constexpr gid_t kOtherGroup = 65534;
inline constexpr char kNeedsRoot[] =
    "runs a part as another user (nobody), which needs root; skipped";

inline bool CanRunAsOtherUser() { return geteuid() == 0; }

// Forks; the child drops to the other user and returns `body`'s result as
// its exit status (255 when it could not drop). The status, or -1.
inline int RunAsOtherUser(const std::function<int()>& body) {
  pid_t child = fork();
  if (child < 0) return -1;
  if (child == 0) {
    if (setgroups(0, nullptr) != 0 || setgid(kOtherGroup) != 0 ||
        setuid(kOtherUser) != 0) {
      _exit(255);
    }
    _exit(body() & 0xff);
  }
  int status = 0;
  if (waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

// Starts a child that drops to the other user and waits until it is ended;
// its pid (the caller kills and reaps it), or -1.
inline pid_t StartOtherUserSleeper() {
  int ready[2];
  if (pipe(ready) != 0) return -1;
  pid_t child = fork();
  if (child == 0) {
    close(ready[0]);
    if (setgroups(0, nullptr) != 0 || setgid(kOtherGroup) != 0 ||
        setuid(kOtherUser) != 0) {
      _exit(255);
    }
    char byte = 'R';
    if (write(ready[1], &byte, 1) != 1) _exit(255);
    for (;;) pause();
  }
  close(ready[1]);
  char byte = 0;
  bool ok = child > 0 && read(ready[0], &byte, 1) == 1 && byte == 'R';
  close(ready[0]);
  if (!ok && child > 0) {
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    return -1;
  }
  return child;
}

}  // namespace testing_support

#endif  // TARNVEX_TESTS_DEVICE_OTHER_USER_H_
