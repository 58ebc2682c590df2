// The table of tarnvex-device's commands, filled by TARNVEX_DEVICE_COMMAND
// before main() runs.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "device/tool/command.h"

namespace device_tool {
namespace {

std::vector<Command>& MutableCommands() {
  static std::vector<Command> commands;
  return commands;
}

}  // namespace

bool RegisterCommand(const Command& command) {
  std::vector<Command>& commands = MutableCommands();
  // Kept in name order, whatever order the files' initialisers run in.
  auto at = std::upper_bound(commands.begin(), commands.end(), command,
                             [](const Command& a, const Command& b) {
                               return std::strcmp(a.name, b.name) < 0;
                             });
  commands.insert(at, command);
  return true;
}

const std::vector<Command>& Commands() { return MutableCommands(); }

const Command* FindCommand(const std::string& name) {
  for (const Command& c : Commands()) {
    if (name == c.name) return &c;
  }
  return nullptr;
}

const SubCommand* FindSubCommand(const Command& command,
                                 const std::string& name) {
  for (const SubCommand& s : command.subcommands) {
    if (name == s.name) return &s;
  }
  return nullptr;
}

int Fail(const std::string& message, int status) {
  std::fprintf(stderr, "tarnvex-device: %s\n", message.c_str());
  return status;
}

}  // namespace device_tool
