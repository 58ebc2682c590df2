// The device clock: shows it, sets it (kept in the image, so every program
// started afterwards reads the new date and time) or returns it to the real
// clock.
#include <cstdio>
#include <string>
#include <vector>

#include "device/clock.h"
#include "device/image.h"
#include "device/tool/command.h"

namespace device_tool {
namespace {

constexpr char kClockUsage[] =
    "clock needs show, set YYYY-MM-DDTHH:MM[:SS] or real";

void PrintClock() {
  bool is_set = false;
  int64_t offset = device::DeviceClockOffsetMs(&is_set);
  std::printf("%s (%s)\n", device::LocalTimeText(device::Now()).c_str(),
              is_set ? ("set, " + std::to_string(offset / 1000) +
                        " s from the real clock")
                           .c_str()
                     : "real clock");
}

int Clock(const std::vector<std::string>& args) {
  if (args.empty() || (args[0] == "show" && args.size() == 1)) {
    PrintClock();
    return 0;
  }
  if (args[0] == "set" && args.size() == 2) {
    device::LocalTime when;
    if (!device::ParseLocalTime(args[1], &when)) {
      return Fail(
          "\"" + args[1] +
              "\" is not a valid date and time (write it as 2026-03-01T23:59)",
          2);
    }
    if (base::Status set = device::SetDeviceClock(when); !set.ok())
      return Fail(set);
    PrintClock();
    return 0;
  }
  if (args[0] == "real" && args.size() == 1) {
    if (base::Status cleared = device::ClearDeviceClock(); !cleared.ok())
      return Fail(cleared);
    PrintClock();
    return 0;
  }
  return Fail(kClockUsage, 2);
}

TARNVEX_DEVICE_COMMAND({
    .name = "clock",
    .summary = "show or set the device's date and time",
    .details = "The setting is kept in the image: Tarnvex and every device "
               "program started afterwards read that date and time, and the "
               "clock runs on from it. With no sub-command, clock shows it.",
    .subcommands =
        {{.name = "show",
          .summary = "show the date and time, and whether they are set or the "
                     "real clock's"},
         {.name = "set",
          .args = "YYYY-MM-DDTHH:MM[:SS]",
          .summary = "set the device clock to that local date and time"},
         {.name = "real", .summary = "back to the host's real clock"}},
    .fn = Clock,
});

}  // namespace
}  // namespace device_tool
