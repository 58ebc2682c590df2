// tarnvex-device: the stand-in for the phone. Global options come before the
// command: --root DIR (the device image; else $TARNVEX_DEVICE, else
// ~/.local/share/tarnvex/device) and --help. "CMD --help" and
// "CMD SUB --help" answer from the command's own data; a command that
// fails on its command line is followed by a pointer to its help.
#include <cstdio>
#include <string>
#include <vector>

#include "device/image.h"
#include "device/service/message_service.h"
#include "device/tool/command.h"
#include "device/tool/help.h"

namespace device_tool {
namespace {

const std::vector<HelpRow> kGlobalOptions = {
    {"--root DIR",
     "the device image (default: $TARNVEX_DEVICE, else "
     "$XDG_DATA_HOME/tarnvex/device)"},
    {"-h, --help", "show this help"},
};

bool IsHelp(const std::string& arg) { return arg == "--help" || arg == "-h"; }

// A usage error: its reason and where the help is, on stderr.
int UsageError(const std::string& reason, const std::string& help_of) {
  Fail(reason);
  std::fprintf(stderr, "Try '%s%s --help'.\n", kToolName, help_of.c_str());
  return kUsageStatus;
}

int PrintHelp(const std::string& text) {
  std::fputs(text.c_str(), stdout);
  return 0;
}

// "help [COMMAND [SUB]]", the same as the --help of what it names.
int Help(const std::vector<std::string>& names) {
  if (names.empty()) return PrintHelp(ToolHelp(kGlobalOptions));
  const Command* command = FindCommand(names[0]);
  if (command == nullptr)
    return UsageError("unknown command \"" + names[0] + "\"", "");
  if (names.size() == 1) return PrintHelp(CommandHelp(*command));
  const SubCommand* sub = FindSubCommand(*command, names[1]);
  if (sub == nullptr) {
    return UsageError(
        std::string(command->name) + " has no sub-command \"" + names[1] + "\"",
        std::string(" ") + command->name);
  }
  if (names.size() > 2)
    return UsageError("help takes a command and a sub-command at most", "");
  return PrintHelp(SubCommandHelp(*command, *sub));
}

int Run(const Command& command, const std::vector<std::string>& args) {
  const SubCommand* sub =
      args.empty() ? nullptr : FindSubCommand(command, args[0]);
  if (!args.empty() && IsHelp(args[0])) return PrintHelp(CommandHelp(command));
  if (sub != nullptr && args.size() > 1 && IsHelp(args[1]))
    return PrintHelp(SubCommandHelp(command, *sub));

  // Whatever a command makes in the image is private to its owner.
  device::KeepImagePrivate();
  if (command.needs_image && !device::ImageExists()) {
    return Fail("no device image at " + device::ImageRoot() +
                    " (run \"tarnvex-device init\" first)",
                command.no_image_status);
  }
  const int status = command.fn(args);
  // The command said why; say where its help is.
  if (status == command.usage_status) {
    std::string help_of = std::string(" ") + command.name;
    if (sub != nullptr) help_of += std::string(" ") + sub->name;
    std::fprintf(stderr, "Try '%s%s --help'.\n", kToolName, help_of.c_str());
  }
  return status;
}

}  // namespace
}  // namespace device_tool

int main(int argc, char** argv) {
  using namespace device_tool;
  std::vector<std::string> args(argv + 1, argv + argc);
  size_t i = 0;
  while (i < args.size() && args[i].size() > 1 && args[i][0] == '-') {
    if (IsHelp(args[i])) return PrintHelp(ToolHelp(kGlobalOptions));
    if (args[i] == "--root") {
      if (i + 1 >= args.size()) return UsageError("--root needs a folder", "");
      device::SetImageRoot(args[i + 1]);
      i += 2;
      continue;
    }
    if (args[i].rfind("--root=", 0) == 0) {
      device::SetImageRoot(args[i].substr(7));
      ++i;
      continue;
    }
    return UsageError("unknown option " + args[i], "");
  }
  if (i >= args.size()) return UsageError("no command given", "");
  const std::string name = args[i];
  std::vector<std::string> rest(args.begin() + i + 1, args.end());
  if (name == "help") return Help(rest);
  const Command* command = FindCommand(name);
  if (command == nullptr)
    return UsageError("unknown command \"" + name + "\"", "");
  // The process's message service, for every command: opened at its first
  // use, closed (its threads stopped) when the command is done.
  device::MessageService service;
  return Run(*command, rest);
}
