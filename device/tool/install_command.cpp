// install: puts the program into the image as the phone's installer does:
// \Program Files\Tarnvex\Tarnvex.exe with its help pages and language
// support files. start: runs that installed copy (the desktop entry's and the
// autostart entry's command), installing it first where it is missing or
// older than the program beside the tool.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "device/image.h"
#include "device/service/listeners.h"
#include "device/tool/command.h"

namespace device_tool {
namespace {

namespace fs = std::filesystem;

// The folder this tool runs from (build/bin): the program lies beside it.
std::string OwnFolder() {
  std::error_code ec;
  fs::path self = fs::read_symlink("/proc/self/exe", ec);
  return ec ? "." : self.parent_path().string();
}

// A resources folder: the English help start page and the support files.
bool HasResources(const fs::path& dir) {
  std::error_code ec;
  return fs::is_regular_file(dir / "Help" / "eng" / "index.eng.htm", ec) &&
         fs::is_directory(dir / "emn", ec);
}

int Install(const std::vector<std::string>& args) {
  std::string from = OwnFolder();
  std::string resources;
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--from" && i + 1 < args.size()) {
      from = args[++i];
    } else if (args[i] == "--resources" && i + 1 < args.size()) {
      resources = args[++i];
    } else {
      return Fail("install: unknown or incomplete argument \"" + args[i] + "\"",
                  2);
    }
  }
  fs::path program = fs::path(from) / "Tarnvex";
  std::error_code ec;
  if (!fs::is_regular_file(program, ec)) {
    return Fail("no program at " + program.string() +
                " (build it first, or give --from DIR)");
  }
  // The help pages and support files go with the program: without them
  // Help and every language but English would fail later, so a folder
  // that lacks them stops the install before anything is copied.
  // Installed (make install): beside the tool's bin, share/tarnvex/lang.
  const fs::path installed =
      fs::absolute(from, ec).parent_path() / "share" / "tarnvex" / "lang";
  if (resources.empty() && HasResources(installed))
    resources = installed.string();
  if (resources.empty()) {
    fs::path dir = fs::absolute(from, ec);
    for (int up = 0; up < 5 && !dir.empty(); ++up, dir = dir.parent_path()) {
      if (HasResources(dir / "resources" / "lang")) {
        resources = (dir / "resources" / "lang").string();
        break;
      }
      if (dir == dir.parent_path()) break;
    }
    if (resources.empty()) {
      return Fail(
          "no help pages and support files found above " + from +
          " (give --resources DIR, the folder that holds Help and emn)");
    }
  } else if (!HasResources(resources)) {
    return Fail("no help pages and support files in " + resources +
                " (it must hold Help/eng/index.eng.htm and a folder emn)");
  }
  fs::path target = fs::path(device::ImageRoot()) / "Program Files" / "Tarnvex";
  fs::create_directories(target, ec);
  if (ec) return Fail("cannot make " + target.string() + ": " + ec.message());
  // A running copy keeps its old file: the new one replaces it by rename.
  fs::path temp = target / ".Tarnvex.exe.new";
  fs::copy_file(program, temp, fs::copy_options::overwrite_existing, ec);
  if (!ec) fs::rename(temp, target / "Tarnvex.exe", ec);
  if (ec) return Fail("cannot install the program: " + ec.message());
  fs::copy(resources, target,
           fs::copy_options::recursive | fs::copy_options::overwrite_existing,
           ec);
  if (ec) return Fail("cannot copy " + resources + ": " + ec.message());
  // From now on the transport sends only while Tarnvex listens (it never
  // enters ActiveSync, whose messages it leaves alone).
  if (base::Status registered =
          device::service::RegisterFilter({"Tarnvex", {"ActiveSync"}});
      !registered.ok()) {
    return Fail(registered);
  }
  std::printf("Installed \\Program Files\\Tarnvex\\Tarnvex.exe\n");
  std::printf(
      "Registered Tarnvex as the filter of this device's Outboxes "
      "(\"tarnvex-device filter remove Tarnvex\" undoes it)\n");
  return 0;
}

// Whether the image's copy is missing, or another build than `program`.
bool NeedsInstall(const fs::path& program, const fs::path& copy) {
  struct stat source, target;
  if (stat(copy.c_str(), &target) != 0) return true;
  if (stat(program.c_str(), &source) != 0) return false;  // nothing newer
  return source.st_size != target.st_size ||
         source.st_mtim.tv_sec > target.st_mtim.tv_sec;
}

int Start(const std::vector<std::string>& args) {
  if (!args.empty()) return Fail("start takes no arguments", 2);
  const fs::path copy = fs::path(device::ImageRoot()) / "Program Files" /
                        "Tarnvex" / "Tarnvex.exe";
  if (NeedsInstall(fs::path(OwnFolder()) / "Tarnvex", copy)) {
    const int status = Install({});
    if (status != 0) return status;
  }
  // The program finds its image as this tool did, --root included.
  setenv("TARNVEX_DEVICE", device::ImageRoot().c_str(), 1);
  const std::string path = copy.string();
  char name[] = "Tarnvex.exe";
  char* argv[] = {name, nullptr};
  std::fflush(stdout);  // what install said, before the program replaces us
  execv(path.c_str(), argv);
  return Fail("cannot start " + path + ": " + std::strerror(errno));
}

}  // namespace

TARNVEX_DEVICE_COMMAND({
    .name = "start",
    .summary = "start Tarnvex from the image, installing it first when the "
               "image has none or an older one",
    .details = "The command of the desktop entry and of the autostart entry "
               "that make install puts in place. The program beside this tool "
               "is installed first when \\Program Files\\Tarnvex has no copy "
               "of it or another build. Tarnvex reads no command line.",
    .fn = Start,
});
TARNVEX_DEVICE_COMMAND({
    .name = "install",
    .args = "[--from DIR] [--resources DIR]",
    .summary = "install Tarnvex into \\Program Files\\Tarnvex and register it "
               "as the filter",
    .details = "Copies the program with its help pages and language support "
               "files, as the phone's installer does. \"filter remove "
               "Tarnvex\" undoes the registration.",
    .options = {{"--from DIR",
                 "the folder that holds the built Tarnvex (default: the folder "
                 "of this tool)"},
                {"--resources DIR",
                 "the folder that holds Help and emn (default: resources/lang "
                 "found above --from)"}},
    .fn = Install,
});

}  // namespace device_tool
