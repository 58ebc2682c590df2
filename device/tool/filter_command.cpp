// The filter registration of the device: which programs the transport waits
// for before it sends from an Outbox ("install" registers Tarnvex).
#include <cstdio>
#include <string>
#include <vector>

#include "device/service/listeners.h"
#include "device/tool/command.h"

namespace device_tool {
namespace {

int Filter(const std::vector<std::string>& args) {
  if (args.size() == 1 && args[0] == "list") {
    for (const auto& f : device::service::RegisteredFilters()) {
      std::printf("%s", f.program.c_str());
      for (const std::string& s : f.except_stores)
        std::printf(" except %s", s.c_str());
      std::printf("\n");
    }
    return 0;
  }
  if (args.size() == 2 && args[0] == "remove") {
    if (base::Status removed = device::service::UnregisterFilter(args[1]);
        !removed.ok()) {
      return Fail(removed);
    }
    return 0;
  }
  if (args.size() >= 2 && args[0] == "add") {
    device::service::FilterRegistration filter;
    filter.program = args[1];
    for (size_t i = 2; i < args.size(); ++i) {
      if (args[i] == "--except" && i + 1 < args.size()) {
        filter.except_stores.push_back(args[++i]);
      } else {
        return Fail(
            "filter add: unknown or incomplete argument \"" + args[i] + "\"",
            2);
      }
    }
    if (base::Status added = device::service::RegisterFilter(filter);
        !added.ok()) {
      return Fail(added);
    }
    return 0;
  }
  return Fail(
      "filter needs add PROGRAM [--except STORE ...], remove PROGRAM or list",
      2);
}

}  // namespace

TARNVEX_DEVICE_COMMAND({
    .name = "filter",
    .summary = "the programs the transport waits for before it sends (install "
               "adds Tarnvex)",
    .details = "While a registered program does not listen on a store, nothing "
               "leaves that store's Outbox.",
    .subcommands =
        {{.name = "add",
          .args = "PROGRAM [--except STORE ...]",
          .summary = "register a program as a filter of the device's Outboxes",
          .options = {{"--except STORE",
                       "a store it leaves alone (give it once for each)"}}},
         {.name = "remove",
          .args = "PROGRAM",
          .summary = "unregister a program"},
         {.name = "list",
          .summary =
              "list the registered programs and the stores they leave alone"}},
    .fn = Filter,
});

}  // namespace device_tool
