// The messaging application's compose window. Headless, it is only the
// registered window: titled after the store, as the phone's compose window
// is, so that a filter can find it, hide it and end its process. It reports
// on stdout what is done to it, one line each ("ready HANDLE", "hidden",
// "shown", "foreground"), and runs until it is ended.
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <string>

#include "device/codepage.h"
#include "device/tool/command.h"
#include "device/window_registry.h"

namespace device_tool {

// The window of the messaging application (messaging_window.cpp, built with
// Qt).
int RunMessagingWindow(const std::string& store, int argc, char** argv);

namespace {

// The class of the messaging application's compose windows.
constexpr char16_t kComposeClass[] = u"tarnvex-messaging";

#ifdef TARNVEX_DEVICE_WINDOWS
int RunWindowed(const std::string& store) {
  static char name[] = "tarnvex-device";
  char* argv[] = {name, nullptr};
  return RunMessagingWindow(store, 1, argv);
}
#else
// Built without Qt: only the headless window.
int RunWindowed(const std::string&) {
  return Fail("this build has no windows; use --headless", 2);
}
#endif

std::atomic<bool> stop_requested{false};

void OnStopSignal(int) { stop_requested.store(true); }

int Messaging(const std::vector<std::string>& args) {
  std::string store;
  bool headless = false;
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--store" && i + 1 < args.size()) {
      store = args[++i];
    } else if (args[i] == "--headless") {
      headless = true;
    } else {
      return Fail("messaging: unknown argument \"" + args[i] + "\"", 2);
    }
  }
  if (store.empty()) return Fail("messaging needs --store NAME", 2);
  if (!headless) return RunWindowed(store);

  struct sigaction action = {};
  action.sa_handler = OnStopSignal;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  // Signals are let in only inside sigsuspend (and never on the listener
  // thread, which inherits the mask), so none is missed between the check
  // and the wait.
  sigset_t blocked, waiting;
  sigemptyset(&blocked);
  sigaddset(&blocked, SIGINT);
  sigaddset(&blocked, SIGTERM);
  sigprocmask(SIG_BLOCK, &blocked, &waiting);
  sigdelset(&waiting, SIGINT);
  sigdelset(&waiting, SIGTERM);
  device::SetWindowRequestHandler([](const std::string&,
                                     device::WindowCommand command) {
    const char* what = command == device::WindowCommand::kHide   ? "hidden"
                       : command == device::WindowCommand::kShow ? "shown"
                                                                 : "foreground";
    std::printf("%s\n", what);
    std::fflush(stdout);
  });
  std::string handle =
      device::RegisterWindow(device::Utf8ToWide(store), kComposeClass);
  if (handle.empty()) return Fail("cannot register the compose window");
  std::printf("ready %s\n", handle.c_str());
  std::fflush(stdout);

  while (!stop_requested.load()) sigsuspend(&waiting);
  device::StopWindowRequests();
  device::UnregisterWindow(handle);
  return 0;
}

}  // namespace

TARNVEX_DEVICE_COMMAND({
    .name = "messaging",
    .args = "--store NAME [--headless]",
    .summary = "the messaging application's window of a store",
    .details = "Its Send saves the message into the store's Outbox; it shows "
               "the store's folders (the Inbox with any failure notice, the "
               "Outbox, Outbox\\Tarnvex, Sent Items), where Delete throws the "
               "selected message away. Headless, only its "
               "registered compose window runs, saying on standard output what "
               "is done to it, until it is ended.",
    .options =
        {{"--store NAME",
          "the store (SMS, MMS, E-mail, ActiveSync or one added)"},
         {"--headless",
          "no window on the screen: only the registered compose window"}},
    .fn = Messaging,
});

}  // namespace device_tool
