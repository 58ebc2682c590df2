#include "tests/support/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

extern char** environ;

namespace testing_support {

ChildProcess::~ChildProcess() {
  Kill(SIGKILL);
  if (in_ >= 0) close(in_);
  if (out_ >= 0) close(out_);
}

bool ChildProcess::Start(const std::vector<std::string>& argv,
                         const std::vector<std::string>& environment,
                         bool merge_stderr) {
  int to_child[2], from_child[2];
  if (pipe2(to_child, O_CLOEXEC) != 0) return false;
  if (pipe2(from_child, O_CLOEXEC) != 0) return false;
  pid_t pid = fork();
  if (pid < 0) return false;
  if (pid == 0) {
    dup2(to_child[0], 0);
    dup2(from_child[1], 1);
    if (merge_stderr) dup2(from_child[1], 2);
    for (const std::string& e : environment)
      putenv(const_cast<char*>(e.c_str()));
    std::vector<char*> args;
    for (const std::string& a : argv)
      args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  close(to_child[0]);
  close(from_child[1]);
  in_ = to_child[1];
  out_ = from_child[0];
  pid_ = pid;
  return true;
}

bool ChildProcess::ReadLine(std::string* line, int timeout_ms) {
  auto until =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    size_t newline = buffer_.find('\n');
    if (newline != std::string::npos) {
      *line = buffer_.substr(0, newline);
      buffer_.erase(0, newline + 1);
      return true;
    }
    int left =
        static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                             until - std::chrono::steady_clock::now())
                             .count());
    if (left <= 0 || out_ < 0) return false;
    pollfd fd = {out_, POLLIN, 0};
    if (poll(&fd, 1, left) <= 0) continue;
    char chunk[4096];
    ssize_t got = read(out_, chunk, sizeof chunk);
    if (got <= 0) return false;
    buffer_.append(chunk, static_cast<size_t>(got));
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
