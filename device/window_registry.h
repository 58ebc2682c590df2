// The device's registry of top-level windows, shared by every program on the
// device (Tarnvex's main window, the messaging application's windows). An
// entry holds a window's title, class and owning process; entries of dead
// processes do not count.
//
// Show, hide and bring-to-front are requests delivered to the owning process
// over a local socket; the owner installs a handler that carries them out
// (on its own UI thread). Ending a process is a signal.
//
// Only the image's owner steers the device: entries are private files in
// <run folder>/windows, one per window, written atomically; a process's
// request socket is a private file socket in <run folder>/window-requests
// named after its pid, and the listener also checks every sender's
// credentials. An entry counts only while it is sound: the file is the
// user's own, and its process is alive, runs as this user and has the start
// time written in the entry. Unsound entries are dropped when they are met.
#ifndef TARNVEX_DEVICE_WINDOW_REGISTRY_H_
#define TARNVEX_DEVICE_WINDOW_REGISTRY_H_

#include <sys/types.h>

#include <functional>
#include <optional>
#include <string>

namespace device {

enum class WindowCommand { kShow, kHide, kForeground };

struct WindowEntry {
  std::string handle;  // "<pid>-<n>": stable for the window's life
  std::u16string title;
  std::u16string class_name;
  pid_t pid = 0;
};

// Called on the registry's listener thread when another process of this user
// (or this one) asks for one of this process's windows. Requests from other
// users, and requests for handles this process does not own, never reach
// it; a flood of requests is read at a bounded rate.
using WindowRequestHandler =
    std::function<void(const std::string& handle, WindowCommand command)>;

// Registers a window of this process; returns its handle ("" on failure).
std::string RegisterWindow(const std::u16string& title,
                           const std::u16string& class_name);
bool SetRegisteredWindowTitle(const std::string& handle,
                              const std::u16string& title);
void UnregisterWindow(const std::string& handle);
// Removes every entry of this process (at exit).
void UnregisterAllWindows();

// Installs the handler for requests to this process's windows and starts
// listening (once per process). Passing an empty function stops handling.
bool SetWindowRequestHandler(WindowRequestHandler handler);
// Stops the listener thread (before the handler's objects go away).
void StopWindowRequests();

// Finds a live window by class and/or title (an empty argument matches any;
// both empty finds nothing). The first match in registration order.
std::optional<WindowEntry> FindWindowByClass(const std::u16string& class_name);
std::optional<WindowEntry> FindWindowByTitle(const std::u16string& title);
// Both given: the first window matching both; one empty: matches any.
std::optional<WindowEntry> FindWindow(const std::u16string& class_name,
                                      const std::u16string& title);

// Sends a request to the window's owner. False when the window is gone or the
// owner does not listen.
bool RequestWindow(const WindowEntry& window, WindowCommand command);

// The process that owns a window (0 when it is gone).
pid_t WindowProcess(const std::string& handle);

// Ends the process that owns a window at once (SIGKILL), as the phone
// terminates a process. Only a process with a sound entry in the registry is
// ended; the check and the signal aim at the same process even when the pid
// is reused in between. False when nothing was ended.
bool TerminateDeviceProcess(pid_t pid);

// True when the process exists, has not exited and is the one that
// registered: its start time (never 0) matches.
bool ProcessAlive(pid_t pid, unsigned long long start_time);
// The process's start time in clock ticks since boot; 0 when it is gone.
unsigned long long ProcessStartTime(pid_t pid);
// True when the process's real and effective user are this process's
// effective user.
bool ProcessOfThisUser(pid_t pid);

}  // namespace device

#endif  // TARNVEX_DEVICE_WINDOW_REGISTRY_H_
