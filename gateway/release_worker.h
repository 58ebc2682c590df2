// The release worker: one thread that keeps the rule table loaded from the
// rules file and releases every held message a rule now covers.
//
// It watches the data folder with inotify (never a poll): any write to
// Rules_0.db, its journal, or a file renamed over it, by
// `tarnvex-milter rules add` or any other program, makes it read the rules
// again once the folder is quiet. After each read, and whenever the judge
// says a hold was judged under rules that changed meanwhile, it judges
// every held row again and releases the covered ones, host by host
// (release_plan.h): postsuper -H, postqueue -i, then the row's status 1 and
// the record's. A release that fails is said on stderr and tried again
// after a growing pause; rules that cannot be read are read again every
// second, and the judge answers tempfail meanwhile.
#ifndef TARNVEX_GATEWAY_RELEASE_WORKER_H_
#define TARNVEX_GATEWAY_RELEASE_WORKER_H_

#include <atomic>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "base/status.h"
#include "gateway/held_table.h"
#include "gateway/postfix.h"

namespace gateway {

class ReleaseWorker {
 public:
  // `local`: the Postfix instance on this host (name from postconf);
  // `remotes`: other hosts that share the milter, by name.
  ReleaseWorker(std::string data_dir, HeldTable* held, PostfixHost local,
                std::vector<PostfixHost> remotes);
  ~ReleaseWorker();
  ReleaseWorker(const ReleaseWorker&) = delete;
  ReleaseWorker& operator=(const ReleaseWorker&) = delete;

  // Reads the rules once (the judge needs them before the first message),
  // sets up the watch and starts the thread. Not ok when the folder cannot
  // be watched; rules that cannot be read are not a failure here.
  base::Status Start();
  void Stop();
  // A pass soon (any thread).
  void Wake();

  // One pass now, on the caller's thread (the tests' own use). Returns the
  // time of the next due retry (0: none).
  int64_t PassForTesting();

 private:
  void Loop();
  bool ReadRules();
  // Judges the held rows and releases the covered ones; the time of the
  // next retry due (0: none).
  int64_t Pass();
  void ReleaseOnHost(const PostfixHost& host, std::vector<HeldEntry> covered,
                     int64_t now_ms);
  const PostfixHost* HostOf(const std::string& name);
  void Finish(HeldEntry* entry, const char* how);
  void Say(const std::string& text);

  std::string data_dir_;
  HeldTable* held_;
  PostfixHost local_;
  std::vector<PostfixHost> remotes_;
  std::set<std::string> told_;  // hosts said to be unknown (worker thread)
  int inotify_ = -1;
  int wake_ = -1;  // an eventfd
  std::atomic<bool> stop_{false};
  bool rules_failed_ = false;
  std::thread thread_;
};

}  // namespace gateway

#endif  // TARNVEX_GATEWAY_RELEASE_WORKER_H_
