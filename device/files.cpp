// File-system calls on CE paths, mapped onto the device image's host folder.
#include "device/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "base/debug.h"
#include "device/codepage.h"
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
    base::DebugOut("Folder refused: %s\n", WideToUtf8(ce_path).c_str());
    return false;
  }
  return mkdir(host.c_str(), kPrivateDirMode) == 0;
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

bool EnsurePrivateDir(const std::string& host_dir) {
  if (host_dir.empty()) return false;
  if (mkdir(host_dir.c_str(), kPrivateDirMode) == 0) return true;
  if (errno == ENOENT) {
    // Parents may be missing on a fresh image.
    size_t slash = host_dir.rfind('/');
    if (slash == std::string::npos || slash == 0) return false;
    if (!EnsurePrivateDir(host_dir.substr(0, slash))) return false;
    if (mkdir(host_dir.c_str(), kPrivateDirMode) == 0) return true;
  }
  if (errno != EEXIST) return false;
  struct stat st;
  if (stat(host_dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return false;
  // An image made before it was private: narrow what is ours.
  if (st.st_uid == geteuid() && (st.st_mode & 077) != 0)
    NarrowToPrivate(host_dir);
  return true;
}

bool NarrowToPrivate(const std::string& host_path) {
  struct stat st;
  if (lstat(host_path.c_str(), &st) != 0 || st.st_uid != geteuid())
    return false;
  if (S_ISLNK(st.st_mode)) return false;
  if ((st.st_mode & 077) == 0) return true;
  return chmod(host_path.c_str(), st.st_mode & 07700) == 0;
}

bool WritePrivateFile(const std::string& host_path, const std::string& content,
                      FileSync sync) {
  size_t slash = host_path.rfind('/');
  std::string temp = slash == std::string::npos
                         ? "." + host_path + ".tmp"
                         : host_path.substr(0, slash + 1) + "." +
                               host_path.substr(slash + 1) + ".tmp";
  // Whatever an earlier run left under the temporary name (a wider file, a
  // link) goes; the new file is made here, private from its first byte.
  unlink(temp.c_str());
  int fd =
      open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW,
           kPrivateFileMode);
  if (fd < 0) return false;
  bool ok = true;
  size_t done = 0;
  while (ok && done < content.size()) {
    ssize_t wrote = write(fd, content.data() + done, content.size() - done);
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0)
      ok = false;
    else
      done += static_cast<size_t>(wrote);
  }
  // On the disk before the rename, and the rename itself after it: a power
  // cut leaves the old content or the new one, never an empty file.
  if (ok && sync == FileSync::kSynced && fsync(fd) != 0) ok = false;
  if (close(fd) != 0) ok = false;
  if (ok && rename(temp.c_str(), host_path.c_str()) == 0) {
    if (sync == FileSync::kUnsynced) return true;
    const std::string dir =
        slash == std::string::npos ? "." : host_path.substr(0, slash + 1);
    const int dir_fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir_fd >= 0) {
      fsync(dir_fd);
      close(dir_fd);
    }
    return true;
  }
  unlink(temp.c_str());
  return false;
}

}  // namespace device
