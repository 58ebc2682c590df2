// Commands on the image itself: init, info and card.
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>

#include "device/clock.h"
#include "device/codepage.h"
#include "device/image.h"
#include "device/mail/credentials.h"
#include "device/tool/command.h"

namespace device_tool {

// The message service's stores of a new device (service_commands.cpp).
bool CreateDefaultStores(std::string* error);

namespace {

int Init(const std::vector<std::string>& args) {
  if (!args.empty()) return Fail("init takes no arguments", 2);
  std::string error;
  if (!device::InitImage(&error)) return Fail(error);
  if (!CreateDefaultStores(&error)) return Fail(error);
  // The submission's password and certificate (kept when there already).
  if (!mail::EnsureCredentials(false, &error)) return Fail(error);
  std::printf("Device image ready at %s\n", device::ImageRoot().c_str());
  return 0;
}

int Info(const std::vector<std::string>& args) {
  if (!args.empty()) return Fail("info takes no arguments", 2);
  const std::string root = device::ImageRoot();
  std::printf("Device image: %s\n", root.c_str());
  if (!device::ImageExists()) {
    std::printf("  (not created yet: run \"tarnvex-device init\")\n");
    return 0;
  }
  std::printf("Top-level folders:\n");
  std::error_code ec;
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(root, ec)) {
    std::string n = e.path().filename().string();
    if (n == ".device") continue;
    names.push_back(n + (e.is_directory() ? "\\" : ""));
  }
  std::sort(names.begin(), names.end());
  for (const auto& n : names) std::printf("  \\%s\n", n.c_str());
  auto cards = device::StorageCards();
  std::printf("Storage cards: %zu\n", cards.size());
  for (const auto& c : cards)
    std::printf("  %s\n", device::WideToUtf8(c).c_str());
  bool clock_set = false;
  device::DeviceClockOffsetMs(&clock_set);
  std::printf("Device clock: %s (%s)\n",
              device::LocalTimeText(device::Now()).c_str(),
              clock_set ? "set" : "real clock");
  std::string installed = root + "/Program Files/Tarnvex/Tarnvex.exe";
  struct stat st;
  std::printf("Tarnvex installed: %s\n",
              stat(installed.c_str(), &st) == 0
                  ? "\\Program Files\\Tarnvex\\Tarnvex.exe"
                  : "no");
  return 0;
}

int Card(const std::vector<std::string>& args) {
  if (args.empty()) return Fail("card needs add NAME, remove NAME or list", 2);
  std::string error;
  if (args[0] == "list" && args.size() == 1) {
    for (const auto& c : device::StorageCards())
      std::printf("%s\n", device::WideToUtf8(c).c_str());
    return 0;
  }
  if ((args[0] == "add" || args[0] == "remove") && args.size() == 2) {
    std::u16string name = device::Utf8ToWide(args[1]);
    bool ok = args[0] == "add" ? device::AddStorageCard(name, &error)
                               : device::RemoveStorageCard(name, &error);
    return ok ? 0 : Fail(error);
  }
  return Fail("card needs add NAME, remove NAME or list", 2);
}

TARNVEX_DEVICE_COMMAND("init", "init",
                       "create the device image (folders, card list, stores "
                       "SMS, MMS, E-mail, ActiveSync)",
                       Init);
TARNVEX_DEVICE_COMMAND("info", "info",
                       "show where the image is and what it holds", Info);
TARNVEX_DEVICE_COMMAND("card", "card add NAME | card remove NAME | card list",
                       "manage the storage cards", Card);

}  // namespace
}  // namespace device_tool
