// The browser's two workers, each a thread of its own at below-normal
// priority with the monitoring worker paused: the list refresh and the
// database update (rules read again, then the list refreshed).
#include <QPointer>
#include <atomic>
#include <thread>

#include "base/debug.h"
#include "base/mutex.h"
#include "device/codepage.h"
#include "device/threads.h"
#include "filter/rule_table.h"
#include "hold/monitor.h"
#include "ui/browser.h"
#include "ui/startup.h"
#include "ui/ui_texts.h"

namespace ui {

namespace {

struct Workers {
  base::Mutex lock;
  std::thread refresh GUARDED_BY(lock);
  std::thread update GUARDED_BY(lock);
  std::atomic<bool> refresh_running{false}, update_running{false};
};

Workers& W() {
  static Workers* workers = new Workers;
  return *workers;
}

}  // namespace

bool ListRefreshRunning() { return W().refresh_running.load(); }

bool StartListRefresh(Browser* browser) {
  Workers& w = W();
  base::MutexLock guard(&w.lock);
  if (w.refresh_running.load()) return false;
  if (w.refresh.joinable()) w.refresh.join();
  w.refresh_running.store(true);
  QPointer<Browser> target(browser);
  try {
    w.refresh = std::thread([target] {
      device::SetCurrentThreadPriority(device::ThreadPriority::kBelowNormal);
      {
        hold::WorkerPause pause(Watch());
        ShowStatusText(device::WideToAnsi(UiTextOf(128)) + "...");
        if (Browser* b = TheBrowser(); b != nullptr && b == target.data())
          RefreshMessageList(b);
        ShowStatusText("");
      }
      W().refresh_running.store(false);
    });
  } catch (...) {
    w.refresh_running.store(false);
    return false;
  }
  return true;
}

bool StartDatabaseUpdate() {
  Workers& w = W();
  base::MutexLock guard(&w.lock);
  if (w.update_running.load()) return true;
  if (w.update.joinable()) w.update.join();
  w.update_running.store(true);
  try {
    w.update = std::thread([] {
      device::SetCurrentThreadPriority(device::ThreadPriority::kBelowNormal);
      {
        hold::WorkerPause pause(Watch());
        try {
          // Rules another program changed are a rules change for the
          // worker as much as the editor's: every held message is judged
          // again under them.
          const uint64_t before = RuleGeneration();
          LoadRules();
          if (RuleGeneration() != before) NoteRulesChanged();
          ShowStatusText(device::WideToAnsi(UiTextOf(126)) + "...");
          StartListRefresh(TheBrowser());
        } catch (...) {
          base::DebugOut("Database update: fault\n");
        }
        ShowStatusText("");
      }
      W().update_running.store(false);
    });
  } catch (...) {
    w.update_running.store(false);
    return false;
  }
  return true;
}

void JoinBrowserWorkers() {
  Workers& w = W();
  for (int round = 0; round < 2; ++round) {
    std::thread update, refresh;
    {
      base::MutexLock guard(&w.lock);
      update.swap(w.update);
    }
    if (update.joinable()) update.join();
    {
      base::MutexLock guard(&w.lock);
      refresh.swap(w.refresh);
    }
    if (refresh.joinable()) refresh.join();
  }
}

}  // namespace ui
