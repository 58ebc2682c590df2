// Commands on the image itself: init, info and card.
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>

#include "device/clock.h"
#include "device/codepage.h"
#include "device/image.h"
#include "device/tool/command.h"
#include "mail/smtpd/credentials.h"

namespace device_tool {

// The message service's stores of a new device (service_commands.cpp).
base::Status CreateDefaultStores();
// What runs and how many messages lie where (message_commands.cpp).
void PrintRunningAndCounts();

namespace {

int Init(const std::vector<std::string>& args) {
  int code_page = 0;
  if (args.size() == 2 && args[0] == "--codepage") {
    if (args[1] == "65001") code_page = device::kCodePageUtf8;
    if (args[1] == "1252") code_page = device::kCodePageWestern;
    if (code_page == 0)
      return Fail("--codepage takes 65001 (UTF-8) or 1252, not " + args[1], 2);
  } else if (!args.empty()) {
    return Fail("init takes only --codepage 65001|1252", 2);
  }
  if (base::Status made = device::InitImage(code_page); !made.ok())
    return Fail(made);
  if (base::Status made = CreateDefaultStores(); !made.ok()) return Fail(made);
  // The submission's password and certificate (kept when there already).
  if (base::Status made = mail::EnsureCredentials(false); !made.ok())
    return Fail(made);
  std::printf("Device image ready at %s\n", device::ImageRoot().c_str());
  return 0;
}

int Info(const std::vector<std::string>& args) {
  if (!args.empty()) return Fail("info takes no arguments", 2);
  const std::string root = device::ImageRoot();
  std::printf("Device image: %s\n", root.c_str());
  const base::StatusOr<int> code_page = device::ReadImageCodePage();
  if (code_page.ok()) {
    std::printf(
        "Code page: %d (%s)\n", *code_page,
        *code_page == device::kCodePageUtf8 ? "UTF-8" : "Western European");
  } else {
    std::printf("Code page: 1252, read so because %s\n",
                code_page.status().message().c_str());
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
  PrintRunningAndCounts();
  return 0;
}

int Card(const std::vector<std::string>& args) {
  if (args.empty()) return Fail("card needs add NAME, remove NAME or list", 2);
  if (args[0] == "list" && args.size() == 1) {
    for (const auto& c : device::StorageCards())
      std::printf("%s\n", device::WideToUtf8(c).c_str());
    return 0;
  }
  if ((args[0] == "add" || args[0] == "remove") && args.size() == 2) {
    std::u16string name = device::Utf8ToWide(args[1]);
    const base::Status changed = args[0] == "add"
                                     ? device::AddStorageCard(name)
                                     : device::RemoveStorageCard(name);
    return changed.ok() ? 0 : Fail(changed);
  }
  return Fail("card needs add NAME, remove NAME or list", 2);
}

TARNVEX_DEVICE_COMMAND({
    .name = "init",
    .args = "[--codepage 65001|1252]",
    .summary = "create the device image: its folders, card list and stores "
               "SMS, MMS, E-mail and ActiveSync",
    .details =
        "Run again, it keeps what the image holds. It also makes the password "
        "and certificate of the mail submission (see \"mail show\"). A new "
        "image keeps its texts in UTF-8 (code page 65001) unless --codepage "
        "1252 asks for the Western European code page; an image keeps the "
        "code page it was made with (one made before the setting existed has "
        "1252).",
    .fn = Init,
    .needs_image = false,
});
TARNVEX_DEVICE_COMMAND({
    .name = "info",
    .summary = "show where the image is and what it holds",
    .details = "Its code page, top-level folders, storage cards, device clock, "
               "whether Tarnvex is installed, whether the transport and "
               "Tarnvex run, and how many messages are held, waiting, deferred "
               "and failed.",
    .fn = Info,
});
TARNVEX_DEVICE_COMMAND({
    .name = "card",
    .summary = "insert, remove or list the storage cards",
    .details = "A storage card is a top-level folder of the image that the "
               "card list names. A card's name keeps to the characters of the "
               "Western European characters (those of code page 1252).",
    .subcommands = {{.name = "add",
                     .args = "NAME",
                     .summary = "insert a card: make its folder and list it"},
                    {.name = "remove",
                     .args = "NAME",
                     .summary =
                         "take a card out of the list (its folder stays)"},
                    {.name = "list", .summary = "list the cards, in order"}},
    .fn = Card,
});

}  // namespace
}  // namespace device_tool
