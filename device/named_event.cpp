#include "device/named_event.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "device/image.h"

namespace device {
namespace {

bool EnsureDir(const std::string& dir) {
  if (mkdir(dir.c_str(), 0755) == 0 || errno == EEXIST) return true;
  size_t slash = dir.rfind('/');
  if (slash == std::string::npos || slash == 0) return false;
  if (!EnsureDir(dir.substr(0, slash))) return false;
  return mkdir(dir.c_str(), 0755) == 0 || errno == EEXIST;
}

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
  if (!ValidName(name) || !EnsureDir(RunDir())) return false;
  std::string path = RunDir() + "/" + name + ".event";
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
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
