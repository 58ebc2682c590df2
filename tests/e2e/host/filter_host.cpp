// The filter without a window, for end-to-end tests: sets up the databases,
// starts monitoring on the device image of TARNVEX_DEVICE and runs until it
// is ended. It reads commands on stdin, one a line:
//   rules-changed   reload the rules and let the worker scan every store
//   pause / resume  PauseWorker / ResumeWorker (answers "paused 1" ...)
//   check-holds-all the outgoing check holds every message (a judgement that
//                   differs from the worker's, forced)
//   quit            stop the worker and end
// and reports "monitoring" once it is running (or "failed", and goes on while
// monitoring tries again; "problem ..." lines tell what it finds).
#include <cstdio>
#include <iostream>
#include <string>

#include "device/image.h"
#include "filter/rule_table.h"
#include "hold/monitor.h"
#include "hold/stores.h"
#include "storage/init.h"
#include "storage/locations.h"

int main() {
  device::KeepImagePrivate();
  FindInstallFolder();
  InitDatabases();
  SetMonitoringProblemHandler([](const std::string& problem) {
    std::printf("problem %s\n", problem.empty() ? "gone" : problem.c_str());
    std::fflush(stdout);
  });
  // Without a watch the host stays: monitoring tries again by itself.
  if (StartMonitoring()) {
    std::printf("monitoring %d\n", StoreCount());
  } else {
    std::printf("failed\n");
  }
  std::fflush(stdout);
  std::string line;
  while (std::getline(std::cin, line)) {
    if (line == "rules-changed") {
      LoadRules();
      RulesChanged.store(1);
      std::printf("ok\n");
    } else if (line == "pause") {
      std::printf("paused %d\n", PauseWorker() ? 1 : 0);
    } else if (line == "resume") {
      std::printf("resumed %d\n", ResumeWorker() ? 1 : 0);
    } else if (line == "check-holds-all") {
      SetCheckHoldsEverythingForTesting(true);
      std::printf("ok\n");
    } else if (line == "quit") {
      break;
    } else {
      std::printf("unknown\n");
    }
    std::fflush(stdout);
  }
  StopMonitoring();
  return 0;
}
