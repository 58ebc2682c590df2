// Closing the messaging application's compose window after a hold: hide it,
// then end the process that owns it.
#include "hold/window_closer.h"

#include <exception>

#include "base/debug.h"
#include "device/window_registry.h"

namespace hold {
namespace {

void CloseComposeWindow() {
  auto window = device::FindWindowByTitle(kComposeTitleSms);
  if (!window) window = device::FindWindowByTitle(kComposeTitleMms);
  if (!window) return;
  device::RequestWindow(*window, device::WindowCommand::kHide);
  pid_t owner = device::WindowProcess(window->handle);
  if (owner != 0) device::TerminateDeviceProcess(owner);
}

}  // namespace

void WindowCloser::Loop() {
  for (;;) {
    {
      base::MutexLock guard(&lock_);
      while (requests_ == 0 && !stop_) wake_.Wait(&lock_);
      if (requests_ == 0) return;  // stopped, nothing left to close
      --requests_;
    }
    try {
      CloseComposeWindow();
    } catch (...) {
      base::DebugCaught("Closing the compose window failed");
    }
  }
}

void WindowCloser::RequestClose() {
  base::MutexLock guard(&lock_);
  ++requests_;
  wake_.Signal();
  if (thread_.joinable()) return;
  stop_ = false;
  try {
    thread_ = std::thread([this] { Loop(); });
  } catch (const std::exception& e) {
    // No thread to spare: close it here, after the hold all the same.
    base::DebugOut("No thread to close the compose window: %s\n", e.what());
    --requests_;
    guard.Unlock();
    CloseComposeWindow();
  }
}

void WindowCloser::Stop() {
  std::thread thread;
  {
    base::MutexLock guard(&lock_);
    stop_ = true;
    wake_.SignalAll();
    thread = std::move(thread_);
  }
  if (thread.joinable()) thread.join();
  base::MutexLock guard(&lock_);
  stop_ = false;
}

}  // namespace hold
