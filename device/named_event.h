// Named events of the device, used by programs to find out whether another
// instance is already running. An event is a lock file in the image's run
// folder, held with flock by its owner for the owner's life: "already
// exists" means another live process holds it. The lock goes with the
// process, however it ends.
#ifndef TARNVEX_DEVICE_NAMED_EVENT_H_
#define TARNVEX_DEVICE_NAMED_EVENT_H_

#include <sys/types.h>

#include <string>

namespace device {

// The process that holds a flock on the host file `path` (a named event's
// file, the relay's delivery lock): its pid, -1 when the holder's pid is not
// visible here, 0 when nobody holds it. Read from the kernel's table of
// locks, so that asking never takes the lock from its owner for a moment.
pid_t FlockHolder(const std::string& path);
// The file of the named event `name`.
std::string NamedEventPath(const std::string& name);

class NamedEvent {
 public:
  NamedEvent() = default;
  ~NamedEvent();
  NamedEvent(const NamedEvent&) = delete;
  NamedEvent& operator=(const NamedEvent&) = delete;

  // Creates (or opens) the event. False when it cannot be made at all;
  // *already_exists tells whether another process owns it (then this object
  // owns nothing).
  bool Create(const std::string& name, bool* already_exists);
  bool owned() const { return fd_ >= 0; }
  void Close();

 private:
  int fd_ = -1;
};

}  // namespace device

#endif  // TARNVEX_DEVICE_NAMED_EVENT_H_
