// Running Postfix's own commands for the release worker.
#include "gateway/postfix.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include "gateway/limits.h"

namespace gateway {
namespace {

// argv[0] as given when it has a slash or is found on PATH, else /usr/sbin's
// (a service's PATH may lack the folder Postfix's commands are in).
std::string Resolve(const std::string& name) {
  if (name.find('/') != std::string::npos) return name;
  const char* path = std::getenv("PATH");
  std::string dirs = path != nullptr ? path : "";
  size_t start = 0;
  while (start <= dirs.size()) {
    size_t end = dirs.find(':', start);
    if (end == std::string::npos) end = dirs.size();
    std::string candidate = dirs.substr(start, end - start);
    if (!candidate.empty()) {
      candidate += "/" + name;
      if (access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    start = end + 1;
  }
  return "/usr/sbin/" + name;
}

std::string Tail(const std::string& text) {
  std::string out = text;
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r'))
    out.pop_back();
  const size_t last = out.rfind('\n');
  if (last != std::string::npos) out.erase(0, last + 1);
  return out;
}

base::Status Failed(const std::vector<std::string>& argv,
                    const CommandRun& run) {
  std::string what;
  for (const std::string& word : argv) what += (what.empty() ? "" : " ") + word;
  std::string why = run.exit_status < 0
                        ? "could not be run or did not end"
                        : "exit status " + std::to_string(run.exit_status);
  const std::string said = Tail(run.err);
  if (!said.empty()) why += ": " + said;
  return base::Status::IoError(what + ": " + why);
}

}  // namespace

CommandRun RunCommand(const std::vector<std::string>& argv,
                      const std::string& input, int timeout_ms) {
  CommandRun run;
  if (argv.empty()) return run;
  int in[2], out[2], err[2];
  if (pipe2(in, O_CLOEXEC) != 0) return run;
  if (pipe2(out, O_CLOEXEC) != 0) {
    close(in[0]);
    close(in[1]);
    return run;
  }
  if (pipe2(err, O_CLOEXEC) != 0) {
    close(in[0]);
    close(in[1]);
    close(out[0]);
    close(out[1]);
    return run;
  }
  const std::string program = Resolve(argv[0]);
  std::vector<char*> args;
  for (const std::string& a : argv)
    args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(in[0], 0);
    dup2(out[1], 1);
    dup2(err[1], 2);
    close_range(3, ~0U, 0);  // the milter's sockets stay the milter's
    execv(program.c_str(), args.data());
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  close(err[1]);
  if (pid < 0) {
    close(in[1]);
    close(out[0]);
    close(err[0]);
    return run;
  }
  // Standard input written as the child reads it, both outputs read as it
  // writes them, so that no pipe fills while the other waits.
  size_t written = 0;
  int in_fd = in[1];
  if (input.empty()) {
    close(in_fd);
    in_fd = -1;
  } else {
    fcntl(in_fd, F_SETFL, O_NONBLOCK);
  }
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  int out_fd = out[0], err_fd = err[0];
  bool ended_by_us = false;
  while (out_fd >= 0 || err_fd >= 0) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          deadline - std::chrono::steady_clock::now())
                          .count();
    if (left <= 0) {
      kill(pid, SIGKILL);
      ended_by_us = true;
      break;
    }
    pollfd fds[3];
    int n = 0;
    if (out_fd >= 0) fds[n++] = {out_fd, POLLIN, 0};
    if (err_fd >= 0) fds[n++] = {err_fd, POLLIN, 0};
    if (in_fd >= 0) fds[n++] = {in_fd, POLLOUT, 0};
    if (poll(fds, n, static_cast<int>(left)) < 0 && errno != EINTR) break;
    for (int i = 0; i < n; ++i) {
      if (fds[i].revents == 0) continue;
      if (fds[i].fd == in_fd) {
        const ssize_t w =
            write(in_fd, input.data() + written, input.size() - written);
        if (w > 0) written += static_cast<size_t>(w);
        if (w < 0 && errno != EAGAIN && errno != EINTR) written = input.size();
        if (written >= input.size()) {
          close(in_fd);
          in_fd = -1;
        }
        continue;
      }
      char buffer[65536];
      const ssize_t r = read(fds[i].fd, buffer, sizeof buffer);
      if (r > 0) {
        (fds[i].fd == out_fd ? run.out : run.err)
            .append(buffer, static_cast<size_t>(r));
      } else if (r == 0 || (errno != EINTR && errno != EAGAIN)) {
        close(fds[i].fd);
        if (fds[i].fd == out_fd)
          out_fd = -1;
        else
          err_fd = -1;
      }
    }
  }
  for (int fd : {in_fd, out_fd, err_fd})
    if (fd >= 0) close(fd);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (!ended_by_us && WIFEXITED(status)) run.exit_status = WEXITSTATUS(status);
  return run;
}

std::vector<std::string> PostfixCommand(const PostfixHost& host,
                                        const std::string& command,
                                        const std::vector<std::string>& args) {
  std::vector<std::string> argv = host.prefix;
  argv.push_back(command);
  if (!host.config_dir.empty()) {
    argv.push_back("-c");
    argv.push_back(host.config_dir);
  }
  argv.insert(argv.end(), args.begin(), args.end());
  return argv;
}

base::Status ReadQueue(const PostfixHost& host, QueueListing* listing) {
  listing->clear();
  const std::vector<std::string> argv =
      PostfixCommand(host, "postqueue", {"-j"});
  const CommandRun run = RunCommand(argv, "", kCommandTimeoutMs);
  if (run.exit_status != 0) return Failed(argv, run);
  *listing = ParseQueueListing(run.out);
  return base::Status::Ok();
}

base::Status ReleaseFromHold(const PostfixHost& host,
                             const std::vector<std::string>& queue_ids) {
  if (queue_ids.empty()) return base::Status::Ok();
  std::string input;
  for (const std::string& id : queue_ids) {
    if (!IsPostfixQueueId(id))
      return base::Status::InvalidArgument("not a Postfix queue id");
    input += id + "\n";
  }
  const std::vector<std::string> argv =
      PostfixCommand(host, "postsuper", {"-H", "-"});
  const CommandRun run = RunCommand(argv, input, kCommandTimeoutMs);
  if (run.exit_status != 0) return Failed(argv, run);
  return base::Status::Ok();
}

base::Status ScheduleNow(const PostfixHost& host, const std::string& queue_id) {
  if (!IsPostfixQueueId(queue_id))
    return base::Status::InvalidArgument("not a Postfix queue id");
  const std::vector<std::string> argv =
      PostfixCommand(host, "postqueue", {"-i", queue_id});
  const CommandRun run = RunCommand(argv, "", kCommandTimeoutMs);
  if (run.exit_status != 0) return Failed(argv, run);
  return base::Status::Ok();
}

std::string LocalHostName(const std::string& config_dir) {
  PostfixHost local;
  local.config_dir = config_dir;
  const std::vector<std::string> argv =
      PostfixCommand(local, "postconf", {"-h", "myhostname"});
  const CommandRun run = RunCommand(argv, "", kCommandTimeoutMs);
  if (run.exit_status != 0) return "";
  std::string name = run.out;
  while (!name.empty() && (name.back() == '\n' || name.back() == '\r'))
    name.pop_back();
  return name;
}

}  // namespace gateway
