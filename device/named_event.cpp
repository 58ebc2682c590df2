// Named events as lock files in the image's run folder.
#include "device/named_event.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "device/files.h"
#include "device/image.h"

namespace device {
namespace {

bool ValidName(const std::string& name) {
  if (name.empty() || name.size() > 200) return false;
  for (char c : name) {
    if (c == '/' || c == '\0') return false;
  }
  return name != "." && name != "..";
}

}  // namespace

NamedEvent::~NamedEvent() { Close(); }

void NamedEvent::Close() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
}

bool NamedEvent::Create(const std::string& name, bool* already_exists) {
  *already_exists = false;
  Close();
  if (!ValidName(name) || !EnsurePrivateDir(RunDir())) return false;
  std::string path = RunDir() + "/" + name + ".event";
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW,
                kPrivateFileMode);
  if (fd < 0) return false;
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    close(fd);
    if (errno == EWOULDBLOCK) {
      *already_exists = true;
      return true;
    }
    return false;
  }
  fd_ = fd;
  return true;
}

}  // namespace device
