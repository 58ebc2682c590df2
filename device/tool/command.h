// Sub-commands of tarnvex-device. Each command file registers itself with
// TARNVEX_DEVICE_COMMAND; main() parses the global options and dispatches.
#ifndef TARNVEX_DEVICE_TOOL_COMMAND_H_
#define TARNVEX_DEVICE_TOOL_COMMAND_H_

#include <string>
#include <vector>

namespace device_tool {

// Arguments after the command's name. Returns the exit status.
using CommandFn = int (*)(const std::vector<std::string>& args);

struct Command {
  const char* name;
  const char* usage;    // e.g. "card add NAME | card remove NAME | card list"
  const char* summary;  // one line
  CommandFn fn;
};

bool RegisterCommand(const Command& command);
const std::vector<Command>& Commands();

// Prints "tarnvex-device: MESSAGE" to stderr and returns 1 (or `status`).
int Fail(const std::string& message, int status = 1);

}  // namespace device_tool

#define TARNVEX_DEVICE_COMMAND_CAT2(a, b) a##b
#define TARNVEX_DEVICE_COMMAND_CAT(a, b) TARNVEX_DEVICE_COMMAND_CAT2(a, b)
#define TARNVEX_DEVICE_COMMAND(name, usage, summary, fn)                \
  static const bool TARNVEX_DEVICE_COMMAND_CAT(registered_, __LINE__) = \
      ::device_tool::RegisterCommand({name, usage, summary, fn})

#endif  // TARNVEX_DEVICE_TOOL_COMMAND_H_
