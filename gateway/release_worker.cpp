// The release worker's thread: the watch on the data folder, the rules read
// again, and the releases host by host.
#include "gateway/release_worker.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "base/debug.h"
#include "filter/rule_table.h"
#include "gateway/judgement.h"
#include "gateway/limits.h"
#include "gateway/release_plan.h"
#include "storage/locations.h"
#include "storage/records.h"

namespace gateway {
namespace {

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// Reads every waiting event; true when one names the rules file or a file
// of its own (its journal, its write-ahead log).
bool DrainRulesEvents(int fd) {
  bool rules = false;
  alignas(inotify_event) char buffer[8192];
  for (;;) {
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n <= 0) break;
    for (ssize_t at = 0; at < n;) {
      const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
      if (event->len > 0 &&
          std::strncmp(event->name, storage::kRulesDbFile,
                       std::strlen(storage::kRulesDbFile)) == 0) {
        rules = true;
      }
      if (event->mask & IN_Q_OVERFLOW) rules = true;  // something was missed
      at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
    }
  }
  return rules;
}

std::string Names(const std::vector<std::string>& recipients) {
  std::string out;
  for (size_t i = 0; i < recipients.size() && i < 3; ++i)
    out += (i > 0 ? ", " : "") + recipients[i];
  if (recipients.size() > 3)
    out += " and " + std::to_string(recipients.size() - 3) + " more";
  return out;
}

std::string Seconds(int64_t ms) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f s", static_cast<double>(ms) / 1000.0);
  return text;
}

}  // namespace

ReleaseWorker::ReleaseWorker(std::string data_dir, HeldTable* held,
                             PostfixHost local,
                             std::vector<PostfixHost> remotes)
    : data_dir_(std::move(data_dir)),
      held_(held),
      local_(std::move(local)),
      remotes_(std::move(remotes)) {}

ReleaseWorker::~ReleaseWorker() {
  Stop();
  if (inotify_ >= 0) close(inotify_);
  if (wake_ >= 0) close(wake_);
}

void ReleaseWorker::Say(const std::string& text) {
  std::fprintf(stderr, "%s: %s\n", kProgramName, text.c_str());
  std::fflush(stderr);
}

base::Status ReleaseWorker::Start() {
  ReadRules();
  inotify_ = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
  if (inotify_ < 0 ||
      inotify_add_watch(inotify_, data_dir_.c_str(),
                        IN_MODIFY | IN_CLOSE_WRITE | IN_MOVED_TO |
                            IN_MOVED_FROM | IN_CREATE | IN_DELETE | IN_ATTRIB) <
          0) {
    return base::Status::IoError("cannot watch " + data_dir_ + ": " +
                                 std::strerror(errno));
  }
  wake_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wake_ < 0)
    return base::Status::IoError(std::string("eventfd: ") +
                                 std::strerror(errno));
  thread_ = std::thread([this] { Loop(); });
  return base::Status::Ok();
}

void ReleaseWorker::Stop() {
  if (!thread_.joinable()) return;
  stop_.store(true);
  Wake();
  thread_.join();
}

void ReleaseWorker::Wake() {
  if (wake_ < 0) return;
  const uint64_t one = 1;
  ssize_t ignored = write(wake_, &one, sizeof one);
  (void)ignored;
}

bool ReleaseWorker::ReadRules() {
  const bool ok = LoadRules();
  base::DebugOut("Rules read: %s, %d rules\n", ok ? "ok" : "failed",
                 RuleCount());
  if (!ok && !rules_failed_) {
    Say("the rules in " + data_dir_ +
        " cannot be read: every message is answered tempfail until they can");
  } else if (ok && rules_failed_) {
    Say("the rules can be read again (" + std::to_string(RuleCount()) +
        " rules)");
  }
  rules_failed_ = !ok;
  return ok;
}

void ReleaseWorker::Loop() {
  int64_t next_retry = Pass();
  while (!stop_.load()) {
    int timeout = -1;
    if (rules_failed_) timeout = kRulesRetryMs;
    if (next_retry > 0) {
      const int64_t until = std::max<int64_t>(0, next_retry - NowMs());
      const int retry = static_cast<int>(std::min<int64_t>(until, 3'600'000));
      timeout = timeout < 0 ? retry : std::min(timeout, retry);
    }
    pollfd fds[2] = {{inotify_, POLLIN, 0}, {wake_, POLLIN, 0}};
    const int ready = poll(fds, 2, timeout);
    if (stop_.load()) break;
    bool rules_touched = false;
    bool woken = false;
    if (ready > 0 && (fds[0].revents & POLLIN))
      rules_touched = DrainRulesEvents(inotify_);
    if (ready > 0 && (fds[1].revents & POLLIN)) {
      uint64_t count = 0;
      woken = read(wake_, &count, sizeof count) > 0;
    }
    if (rules_touched) {
      // A write comes with its journal's: read once the folder is quiet.
      pollfd quiet = {inotify_, POLLIN, 0};
      while (!stop_.load() && poll(&quiet, 1, kRulesQuietMs) > 0)
        DrainRulesEvents(inotify_);
      ReadRules();
    } else if (ready == 0 && rules_failed_) {
      ReadRules();
    }
    const bool retry_due = next_retry > 0 && NowMs() >= next_retry;
    if (rules_touched || woken || retry_due || ready == 0) next_retry = Pass();
  }
}

int64_t ReleaseWorker::PassForTesting() { return Pass(); }

const PostfixHost* ReleaseWorker::HostOf(const std::string& name) {
  for (const PostfixHost& remote : remotes_)
    if (remote.name == name) return &remote;
  if (name.empty() || local_.name.empty() || name == local_.name)
    return &local_;
  return nullptr;
}

int64_t ReleaseWorker::Pass() {
  if (RulesLoadFailed()) return 0;
  const int64_t now = NowMs();
  std::vector<HeldEntry> rows;
  base::Status read = held_->WithStatus(kHeld, &rows);
  if (!read.ok()) {
    Say("the held messages cannot be read: " + read.ToString());
    return now + kRulesRetryMs;
  }
  std::map<std::string, std::vector<HeldEntry>> by_host;
  for (HeldEntry& row : rows) {
    if (row.next_try_ms > now) continue;
    Envelope envelope;
    envelope.recipients = row.recipients;
    if (!Covered(envelope)) continue;
    by_host[row.host].push_back(std::move(row));
  }
  for (auto& [name, covered] : by_host) {
    const PostfixHost* host = HostOf(name);
    if (host == nullptr) {
      if (told_.insert(name).second) {
        Say(std::to_string(covered.size()) + " message(s) held on " + name +
            " are covered now, but this milter cannot release there (add "
            "--remote " +
            name + "=PREFIX)");
      }
      continue;
    }
    ReleaseOnHost(*host, std::move(covered), now);
  }
  // The next retry due of a covered row.
  int64_t next = 0;
  if (held_->WithStatus(kHeld, &rows).ok()) {
    for (const HeldEntry& row : rows) {
      if (row.next_try_ms <= NowMs()) continue;
      Envelope envelope;
      envelope.recipients = row.recipients;
      if (!Covered(envelope)) continue;
      if (next == 0 || row.next_try_ms < next) next = row.next_try_ms;
    }
  }
  return next;
}

void ReleaseWorker::Finish(HeldEntry* entry, const char* how) {
  entry->status = kReleased;
  entry->last_error.clear();
  base::Status written = held_->Update(*entry);
  if (!written.ok()) {
    Say(entry->queue_id +
        " was released, but its row cannot be written: " + written.ToString());
    return;
  }
  int still_held = 0;
  if (held_->CountOfRecord(entry->record_id, kHeld, &still_held).ok() &&
      still_held == 0) {
    base::IgnoreFailure(records::SetStatus(kStoreName, entry->record_id, 1),
                        "the record's status");
  }
  Say(std::string(how) + " " + entry->queue_id +
      (entry->host.empty() ? "" : " on " + entry->host) + " (" +
      Names(entry->recipients) + ")");
}

void ReleaseWorker::ReleaseOnHost(const PostfixHost& host,
                                  std::vector<HeldEntry> covered,
                                  int64_t now_ms) {
  const std::string where = host.name.empty() ? "the local Postfix" : host.name;
  QueueListing before;
  base::Status listed = ReadQueue(host, &before);
  if (!listed.ok()) {
    for (HeldEntry& entry : covered) {
      NoteFailure(&entry, listed.message(), now_ms);
      base::IgnoreFailure(held_->Update(entry), "a held row");
    }
    Say("the queue of " + where + " cannot be read: " + listed.message() +
        "; trying again in " +
        Seconds(RetryPauseMs(covered.empty() ? 1 : covered[0].tries)));
    return;
  }
  const ReleasePlan plan = PlanRelease(covered, before, now_ms);
  for (size_t i : plan.out_already) Finish(&covered[i], "released already:");
  for (size_t i : plan.gone) {
    covered[i].status = kGone;
    covered[i].last_error = "in no queue of " + where;
    base::IgnoreFailure(held_->Update(covered[i]), "a held row");
    Say(covered[i].queue_id + " is covered now but in no queue of " + where +
        " any more (deleted there?): nothing to release");
  }
  for (size_t i : plan.not_yet) {
    covered[i].next_try_ms = now_ms + kFirstRetryMs;
    base::IgnoreFailure(held_->Update(covered[i]), "a held row");
  }
  if (plan.release.empty()) return;
  std::vector<std::string> ids;
  for (size_t i : plan.release) ids.push_back(covered[i].queue_id);
  const base::Status released = ReleaseFromHold(host, ids);
  // Scheduled at once: a released message would otherwise wait for the
  // deferred queue's next scan.
  for (const std::string& id : ids) {
    base::Status scheduled = ScheduleNow(host, id);
    if (!scheduled.ok() && released.ok())
      Say(id + " is released but not scheduled now: " + scheduled.message());
  }
  QueueListing after;
  const base::Status relisted = ReadQueue(host, &after);
  for (size_t i : plan.release) {
    HeldEntry& entry = covered[i];
    if (!relisted.ok()) {
      NoteFailure(&entry, relisted.message(), now_ms);
    } else if (SettleRelease(&entry, released.ok(), released.message(), after,
                             now_ms)) {
      Finish(&entry, "released");
      continue;
    }
    base::IgnoreFailure(held_->Update(entry), "a held row");
    Say("the release of " + entry.queue_id + " on " + where +
        " failed: " + entry.last_error + "; trying again in " +
        Seconds(RetryPauseMs(entry.tries)));
  }
}

}  // namespace gateway
