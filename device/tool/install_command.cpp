// install: puts the program into the image as the phone's installer does:
// \Program Files\Tarnvex\Tarnvex.exe with its help pages and language
// support files.
#include <unistd.h>

#include <cstdio>
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
  std::string error;
  if (!device::service::RegisterFilter({"Tarnvex", {"ActiveSync"}}, &error))
    return Fail(error);
  std::printf("Installed \\Program Files\\Tarnvex\\Tarnvex.exe\n");
  std::printf(
      "Registered Tarnvex as the filter of this device's Outboxes "
      "(\"tarnvex-device filter remove Tarnvex\" undoes it)\n");
  return 0;
}

}  // namespace

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
