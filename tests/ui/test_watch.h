// A watch for the windows of a test that runs them without the start-up: made
// (not started) and handed to the windows for its lifetime.
#ifndef TARNVEX_TESTS_UI_TEST_WATCH_H_
#define TARNVEX_TESTS_UI_TEST_WATCH_H_

#include "hold/monitor.h"
#include "ui/startup.h"

namespace testing_support {

class TestWatch {
 public:
  TestWatch() { ui::SetWatch(&monitor_); }
  ~TestWatch() {
    monitor_.Stop();
    ui::SetWatch(nullptr);
  }
  TestWatch(const TestWatch&) = delete;
  TestWatch& operator=(const TestWatch&) = delete;

  hold::Monitor* operator->() { return &monitor_; }
  hold::Monitor& get() { return monitor_; }

  // Logs on and enters every store of the image, as the start does, without
  // starting the worker.
  bool EnterStores() {
    IMAPITable* table = nullptr;
    if (!monitor_.stores().EnsureSession().ok() ||
        monitor_.stores().Session()->GetMsgStoresTable(MAPI_UNICODE, &table) !=
            S_OK) {
      return false;
    }
    monitor_.stores().Enumerate(table,
                                [this] { return monitor_.NewAdviseSink(); });
    return true;
  }

 private:
  hold::Monitor monitor_;
};

}  // namespace testing_support

#endif  // TARNVEX_TESTS_UI_TEST_WATCH_H_
