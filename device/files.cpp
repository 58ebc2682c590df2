#include "device/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "device/codepage.h"
#include "device/debug.h"
#include "device/image.h"

namespace device {
namespace {

bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

bool OpenExisting(std::u16string_view ce_path, int flags) {
  std::string host;
  if (!HostPath(ce_path, &host)) return false;
  struct stat st;
  if (stat(host.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  int fd = open(host.c_str(), flags | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return false;
  close(fd);
  return true;
}

}  // namespace

bool CanOpenExistingForRead(std::u16string_view ce_path, Share) {
  return OpenExisting(ce_path, O_RDONLY);
}

bool CanOpenExistingForWrite(std::u16string_view ce_path, Share share) {
  std::string host;
  if (!HostPath(ce_path, &host)) return false;
  // With no sharing at all, a file whose image runs in this process is in
  // use. (Other running executables answer ETXTBSY to the open below.)
  if (share == Share::kNone && IsRunningExecutable(host)) return false;
  return OpenExisting(ce_path, O_WRONLY);
}

bool IsRunningExecutable(const std::string& host_path) {
  struct stat self, other;
  if (stat("/proc/self/exe", &self) != 0) return false;
  if (stat(host_path.c_str(), &other) != 0) return false;
  return SameFile(self, other);
}

bool CreateDirectoryCe(std::u16string_view ce_path) {
  std::string host;
  if (!HostPath(ce_path, &host)) {
    // A name the phone refuses (or a path too long for it): no folder.
    errno = EINVAL;
    DebugOut("Folder refused: %s\n", WideToUtf8(ce_path).c_str());
    return false;
  }
  return mkdir(host.c_str(), 0777) == 0;
}

bool DirectoryExistsCe(std::u16string_view ce_path) {
  std::string host;
  if (!HostPath(ce_path, &host)) return false;
  struct stat st;
  return stat(host.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool DeleteFileCe(std::u16string_view ce_path) {
  std::string host;
  if (!HostPath(ce_path, &host)) return false;
  return unlink(host.c_str()) == 0;
}

size_t SystemPageSize() {
  static const size_t size = [] {
    long v = sysconf(_SC_PAGESIZE);
    return v > 0 ? static_cast<size_t>(v) : static_cast<size_t>(4096);
  }();
  return size;
}

size_t PageRoundAbove(size_t n) {
  size_t page = SystemPageSize();
  return (n / page + 1) * page;
}

}  // namespace device
