// The filter without a window, for end-to-end tests: sets up the databases,
// starts the watch on the device image of TARNVEX_DEVICE and runs until it is
// ended. Its clock runs TARNVEX_TEST_TIME_SCALE times faster than the real
// one (1 when unset), so that back-offs of seconds pass in a test's
// milliseconds. It reads commands on stdin, one a line:
//   rules-changed   reload the rules and let the worker scan every store
//   pause / resume  PauseWorker / ResumeWorker (answers "paused 1" ...)
//   check-holds-all the outgoing check holds every message (a judgement that
//                   differs from the worker's, forced)
//   fault walk|rules on|off
//                   every walk of a held folder fails, or every read of the
//                   rules before one, as a locked file makes them fail
//   faults walk|rules
//                   how many of those faults were met ("faults N")
//   busy FILE on|off
//                   the write lock of every file whose path ends with FILE
//                   answers busy, as while another program holds it
//   slept           how long the host has waited for locks since the last
//                   "busy ... on" ("slept MS")
//   quit            stop the worker and end
// With TARNVEX_TEST_DISK_FAULTS set, SQLite runs over the tests' disk-fault
// VFS, whose waits for a lock pass at once (the busy commands need it); a
// value "busy FILE" makes that file busy from the start.
// and reports "monitoring" once it is running (or "failed", and goes on while
// the watch tries again; "problem ..." lines tell what it finds).
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>

#include "device/image.h"
#include "filter/rule_table.h"
#include "hold/monitor.h"
#include "hold/stores.h"
#include "storage/init.h"
#include "storage/locations.h"
#include "tests/support/fault_vfs.h"
#include "tests/support/test_env.h"

int main() {
  // Lives until the process ends, as the connections opened through it do.
  testing_support::FaultVfs* vfs = nullptr;
  if (const char* faults = std::getenv("TARNVEX_TEST_DISK_FAULTS")) {
    vfs = new testing_support::FaultVfs;
    vfs->SetFastSleep(true);
    const std::string busy = faults;
    if (busy.rfind("busy ", 0) == 0) vfs->SetBusy(true, busy.substr(5));
  }
  device::KeepImagePrivate();
  FindInstallFolder();
  InitDatabases();
  const char* scale = std::getenv("TARNVEX_TEST_TIME_SCALE");
  testing_support::TestEnv env(scale != nullptr ? std::atoi(scale) : 1);
  hold::Monitor monitor(&env);
  monitor.SetProblemHandler([](const std::string& problem) {
    std::printf("problem %s\n", problem.empty() ? "gone" : problem.c_str());
    std::fflush(stdout);
  });
  // Without a watch the host stays: the watch tries again by itself.
  if (monitor.Start()) {
    std::printf("monitoring %d\n", monitor.stores().Count());
  } else {
    std::printf("failed\n");
  }
  std::fflush(stdout);
  using Step = hold::Env::Step;
  std::string line;
  while (std::getline(std::cin, line)) {
    const bool walk = line.find(" walk") != std::string::npos;
    const Step step = walk ? Step::kWalkHeldFolder : Step::kReadRules;
    if (line == "rules-changed") {
      LoadRules();
      monitor.NoteRulesChanged();
      std::printf("ok\n");
    } else if (line == "pause") {
      std::printf("paused %d\n", monitor.PauseWorker() ? 1 : 0);
    } else if (line == "resume") {
      std::printf("resumed %d\n", monitor.ResumeWorker() ? 1 : 0);
    } else if (line == "check-holds-all") {
      monitor.SetCheckHoldsEverythingForTesting(true);
      std::printf("ok\n");
    } else if (line.rfind("fault ", 0) == 0) {
      env.SetFault(step,
                   line.size() > 3 && line.substr(line.size() - 3) == " on");
      std::printf("ok\n");
    } else if (line.rfind("faults ", 0) == 0) {
      std::printf("faults %d\n", env.FaultsMet(step));
    } else if (line.rfind("busy ", 0) == 0 && vfs != nullptr) {
      const size_t end = line.rfind(' ');
      const bool on = line.substr(end) == " on";
      if (on) vfs->ResetCounts();
      vfs->SetBusy(on, line.substr(5, end - 5));
      std::printf("ok\n");
    } else if (line == "slept" && vfs != nullptr) {
      std::printf("slept %lld\n", vfs->Slept() / 1000);
    } else if (line == "quit") {
      break;
    } else {
      std::printf("unknown\n");
    }
    std::fflush(stdout);
  }
  monitor.Stop();
  return 0;
}
