#include "tests/support/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

extern char** environ;

namespace testing_support {

ChildProcess::~ChildProcess() {
  Kill(SIGKILL);
  StopDraining();
  if (in_ >= 0) close(in_);
}

void ChildProcess::StopDraining() {
  if (drain_.joinable()) {
    const char byte = 0;
    (void)!write(stop_, &byte, 1);
    drain_.join();
  }
  for (int* fd : {&stop_, &stop_read_}) {
    if (*fd >= 0) close(*fd);
    *fd = -1;
  }
}

void ChildProcess::Drain(int out, int stop) {
  pollfd fds[2] = {{out, POLLIN, 0}, {stop, POLLIN, 0}};
  for (;;) {
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (fds[1].revents != 0) break;
    char chunk[4096];
    const ssize_t got = read(out, chunk, sizeof chunk);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    base::MutexLock guard(&lock_);
    buffer_.append(chunk, static_cast<size_t>(got));
    more_.SignalAll();
  }
  close(out);
  base::MutexLock guard(&lock_);
  ended_ = true;
  more_.SignalAll();
}

bool ChildProcess::Start(const std::vector<std::string>& argv,
                         const std::vector<std::string>& environment,
                         bool merge_stderr) {
  // A second start of the same object reads the new child only.
  StopDraining();
  if (in_ >= 0) close(in_);
  in_ = -1;
  {
    base::MutexLock guard(&lock_);
    buffer_.clear();
    ended_ = false;
  }
  int to_child[2], from_child[2], stop[2];
  if (pipe2(to_child, O_CLOEXEC) != 0) return false;
  if (pipe2(from_child, O_CLOEXEC) != 0) return false;
  if (pipe2(stop, O_CLOEXEC) != 0) return false;
  // Everything the child needs is made before the fork: the test's other
  // threads may hold the allocator's locks at that moment.
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry = *e;
    const std::string name = entry.substr(0, entry.find('=') + 1);
    bool replaced = false;
    for (const std::string& given : environment)
      replaced = replaced || given.rfind(name, 0) == 0;
    if (!replaced) env.push_back(entry);
  }
  env.insert(env.end(), environment.begin(), environment.end());
  std::vector<char*> envp, args;
  for (std::string& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  for (const std::string& a : argv)
    args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = fork();
  if (pid < 0) return false;
  if (pid == 0) {
    dup2(to_child[0], 0);
    dup2(from_child[1], 1);
    if (merge_stderr) dup2(from_child[1], 2);
    execve(args[0], args.data(), envp.data());
    _exit(127);
  }
  close(to_child[0]);
  close(from_child[1]);
  in_ = to_child[1];
  pid_ = pid;
  // The drain owns the read end; both ends of its stop are ours (the read
  // end stays open until it is joined, so the stop's write never meets a
  // closed pipe).
  stop_ = stop[1];
  stop_read_ = stop[0];
  drain_ = std::thread(&ChildProcess::Drain, this, from_child[0], stop[0]);
  return true;
}

bool ChildProcess::ReadLine(std::string* line, int timeout_ms) {
  const auto until =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  base::MutexLock guard(&lock_);
  for (;;) {
    const size_t newline = buffer_.find('\n');
    if (newline != std::string::npos) {
      *line = buffer_.substr(0, newline);
      buffer_.erase(0, newline + 1);
      return true;
    }
    if (ended_ || !more_.WaitUntil(&lock_, until)) {
      if (buffer_.find('\n') != std::string::npos) continue;
      return false;
    }
  }
}

bool ChildProcess::WaitForLine(const std::string& prefix, std::string* line,
                               int timeout_ms) {
  auto until =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  std::string got;
  for (;;) {
    int left =
        static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                             until - std::chrono::steady_clock::now())
                             .count());
    if (left <= 0 || !ReadLine(&got, left)) return false;
    if (got.rfind(prefix, 0) == 0) {
      if (line != nullptr) *line = got;
      return true;
    }
  }
}

bool ChildProcess::WriteLine(const std::string& line) {
  std::string text = line + "\n";
  return in_ >= 0 && write(in_, text.data(), text.size()) ==
                         static_cast<ssize_t>(text.size());
}

bool ChildProcess::Wait(int timeout_ms, int* status) {
  if (pid_ <= 0) return true;
  auto until =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    int s = 0;
    pid_t done = waitpid(pid_, &s, WNOHANG);
    if (done == pid_) {
      if (status != nullptr) *status = s;
      pid_ = -1;
      return true;
    }
    if (std::chrono::steady_clock::now() >= until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

void ChildProcess::Kill(int signal) {
  if (pid_ <= 0) return;
  kill(pid_, signal);
  if (signal == SIGKILL) Wait(5000);
}

int RunProgram(const std::vector<std::string>& argv, std::string* output,
               const std::vector<std::string>& environment) {
  ChildProcess child;
  if (!child.Start(argv, environment)) return -1;
  std::string line, all;
  while (child.ReadLine(&line, 120000)) all += line + "\n";
  int status = 0;
  if (!child.Wait(120000, &status)) return -1;
  if (output != nullptr) *output = all;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string BinPath(const std::string& name) {
  const char* dir = std::getenv("TARNVEX_BIN_DIR");
  return std::string(dir != nullptr ? dir : "build/bin") + "/" + name;
}

}  // namespace testing_support
