// Named events as lock files in the image's run folder.
#include "device/named_event.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <sstream>

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

std::string NamedEventPath(const std::string& name) {
  return RunDir() + "/" + name + ".event";
}

pid_t FlockHolder(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return 0;
  // "1: FLOCK  ADVISORY  WRITE 2323 fe:00:10952763 0 EOF"; a waiter's line
  // has "->" after the number.
  char wanted[64];
  std::snprintf(wanted, sizeof wanted, "%02x:%02x:%llu", major(st.st_dev),
                minor(st.st_dev), static_cast<unsigned long long>(st.st_ino));
  std::ifstream locks("/proc/locks");
  for (std::string line; std::getline(locks, line);) {
    std::istringstream words(line);
    std::string number, kind, mode, access, where;
    long long pid = 0;
    words >> number >> kind;
    if (kind != "FLOCK") continue;
    words >> mode >> access >> pid >> where;
    if (words && where == wanted) return pid > 0 ? static_cast<pid_t>(pid) : -1;
  }
  return 0;
}

NamedEvent::~NamedEvent() { Close(); }

void NamedEvent::Close() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
}

bool NamedEvent::Create(const std::string& name, bool* already_exists) {
  *already_exists = false;
  Close();
  if (!ValidName(name) || !EnsurePrivateDir(RunDir())) return false;
  std::string path = NamedEventPath(name);
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
