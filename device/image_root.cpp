// Where the device image is: the override of this process, the environment,
// or the user's data folder.
#include "device/image_root.h"

#include <cstdlib>
#include <filesystem>

#include "base/mutex.h"

namespace device {
namespace {

base::Mutex& RootMutex() {
  static base::Mutex* m =
      new base::Mutex;  // lives until exit: read by every thread
  return *m;
}
std::string& RootOverride() {
  static std::string* s = new std::string;
  return *s;
}

std::string StripTrailingSlash(std::string s) {
  while (s.size() > 1 && s.back() == '/') s.pop_back();
  return s;
}

}  // namespace

std::string ImageRoot() {
  {
    base::MutexLock lock(&RootMutex());
    if (!RootOverride().empty()) return RootOverride();
  }
  const char* env = std::getenv("TARNVEX_DEVICE");
  if (env != nullptr && *env != '\0') return StripTrailingSlash(env);
  const char* xdg = std::getenv("XDG_DATA_HOME");
  std::string base;
  if (xdg != nullptr && *xdg == '/') {
    base = xdg;
  } else {
    const char* home = std::getenv("HOME");
    base = std::string(home != nullptr ? home : "") + "/.local/share";
  }
  return StripTrailingSlash(base) + "/tarnvex/device";
}

void SetImageRoot(const std::string& host_dir) {
  std::string dir = host_dir;
  if (!dir.empty()) {
    std::error_code ec;
    auto abs = std::filesystem::absolute(dir, ec);
    if (!ec) dir = abs.lexically_normal().string();
    dir = StripTrailingSlash(dir);
  }
  base::MutexLock lock(&RootMutex());
  RootOverride() = dir;
}

std::string DeviceDataDir() { return ImageRoot() + "/.device"; }
std::string RunDir() { return DeviceDataDir() + "/run"; }
std::string CardListPath() { return DeviceDataDir() + "/cards"; }
std::string MessageServicePath() { return DeviceDataDir() + "/messages.db"; }
std::string CodePagePath() { return DeviceDataDir() + "/codepage"; }
std::string MailDataDir() { return DeviceDataDir() + "/mail"; }

}  // namespace device
