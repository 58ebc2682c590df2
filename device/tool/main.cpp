// tarnvex-device: the stand-in for the phone. Global options come before the
// command: --root DIR (the device image; else $TARNVEX_DEVICE, else
// ~/.local/share/tarnvex/device) and --help.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "device/image.h"
#include "device/tool/command.h"

namespace device_tool {

std::vector<Command>& MutableCommands() {
  static std::vector<Command> commands;
  return commands;
}

bool RegisterCommand(const Command& command) {
  MutableCommands().push_back(command);
  return true;
}

const std::vector<Command>& Commands() {
  auto& c = MutableCommands();
  std::sort(c.begin(), c.end(), [](const Command& a, const Command& b) {
    return std::strcmp(a.name, b.name) < 0;
  });
  return c;
}

int Fail(const std::string& message, int status) {
  std::fprintf(stderr, "tarnvex-device: %s\n", message.c_str());
  return status;
}

namespace {

void PrintHelp(FILE* out) {
  std::fprintf(
      out,
      "Usage: tarnvex-device [--root DIR] COMMAND [ARGS...]\n"
      "\n"
      "The stand-in for the phone that Tarnvex runs on: its file system\n"
      "image, storage cards, message service and messaging application.\n"
      "\n"
      "Options:\n"
      "  --root DIR   the device image (default: $TARNVEX_DEVICE, else\n"
      "               $XDG_DATA_HOME/tarnvex/device)\n"
      "  --help       show this help\n"
      "\n"
      "Commands:\n");
  for (const Command& c : Commands())
    std::fprintf(out, "  %-44s %s\n", c.usage, c.summary);
}

}  // namespace
}  // namespace device_tool

int main(int argc, char** argv) {
  using namespace device_tool;
  std::vector<std::string> args(argv + 1, argv + argc);
  size_t i = 0;
  while (i < args.size() && args[i].rfind("--", 0) == 0) {
    if (args[i] == "--help") {
      PrintHelp(stdout);
      return 0;
    }
    if (args[i] == "--root") {
      if (i + 1 >= args.size()) return Fail("--root needs a folder", 2);
      device::SetImageRoot(args[i + 1]);
      i += 2;
      continue;
    }
    if (args[i].rfind("--root=", 0) == 0) {
      device::SetImageRoot(args[i].substr(7));
      ++i;
      continue;
    }
    std::fprintf(stderr, "tarnvex-device: unknown option %s\n",
                 args[i].c_str());
    PrintHelp(stderr);
    return 2;
  }
  if (i >= args.size()) {
    PrintHelp(stderr);
    return 2;
  }
  // Whatever a command makes in the image is private to its owner.
  device::KeepImagePrivate();
  const std::string name = args[i];
  if (name == "help") {
    PrintHelp(stdout);
    return 0;
  }
  std::vector<std::string> rest(args.begin() + i + 1, args.end());
  for (const Command& c : Commands()) {
    if (name == c.name) return c.fn(rest);
  }
  std::fprintf(stderr, "tarnvex-device: unknown command \"%s\"\n",
               name.c_str());
  PrintHelp(stderr);
  return 2;
}
