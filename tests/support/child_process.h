// A child process for end-to-end tests: started with arguments and extra
// environment, its stdin and stdout on pipes, read line by line with a
// timeout, ended (SIGKILL) when the object goes. A thread of its own drains
// the stdout pipe into memory as the child writes, so that a child with much
// to say never blocks on a full pipe while the test reads nothing.
#ifndef TARNVEX_TESTS_SUPPORT_CHILD_PROCESS_H_
#define TARNVEX_TESTS_SUPPORT_CHILD_PROCESS_H_

#include <sys/types.h>

#include <string>
#include <thread>
#include <vector>

#include "base/mutex.h"

namespace testing_support {

class ChildProcess {
 public:
  ChildProcess() = default;
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // `merge_stderr`: its stderr goes to the same pipe as its stdout.
  bool Start(const std::vector<std::string>& argv,
             const std::vector<std::string>& environment = {},
             bool merge_stderr = false);
  // The next line of its stdout (without the newline); false on timeout or
  // end of output.
  bool ReadLine(std::string* line, int timeout_ms = 10000);
  // Reads lines until one starts with `prefix`.
  bool WaitForLine(const std::string& prefix, std::string* line = nullptr,
                   int timeout_ms = 10000);
  bool WriteLine(const std::string& line);
  // Waits for it to end; false on timeout. *status as waitpid gives it.
  bool Wait(int timeout_ms, int* status = nullptr);
  void Kill(int signal = 9);
  pid_t pid() const { return pid_; }
  bool running() const { return pid_ > 0; }

 private:
  void Drain(int out, int stop) EXCLUDES(lock_);
  void StopDraining();

  pid_t pid_ = -1;
  int in_ = -1;
  int stop_ = -1;  // written to end the drain
  int stop_read_ = -1;
  std::thread drain_;
  base::Mutex lock_;
  base::CondVar more_;
  std::string buffer_ GUARDED_BY(lock_);
  bool ended_ GUARDED_BY(lock_) = false;  // end of output (or a read error)
};

// Runs a program to its end; its exit status (-1 when it could not run) and
// its stdout.
int RunProgram(const std::vector<std::string>& argv,
               std::string* output = nullptr,
               const std::vector<std::string>& environment = {});

// build/bin/<name> of the build under test.
std::string BinPath(const std::string& name);

}  // namespace testing_support

#endif  // TARNVEX_TESTS_SUPPORT_CHILD_PROCESS_H_
