// Sub-commands of tarnvex-device. Each command file registers itself with
// TARNVEX_DEVICE_COMMAND, its help included as data (sub-commands, options,
// one-line descriptions): main() parses the global options, answers --help
// from that data (help.h lays it out), makes sure the image is there and
// dispatches. A command added, or an option added to a table, gets its
// aligned help with nothing else to change.
#ifndef TARNVEX_DEVICE_TOOL_COMMAND_H_
#define TARNVEX_DEVICE_TOOL_COMMAND_H_

#include <string>
#include <vector>

#include "base/status.h"

namespace device_tool {

// Exit statuses: a command that failed, and a command line that is wrong.
inline constexpr int kFailStatus = 1;
inline constexpr int kUsageStatus = 2;

// Arguments after the command's name (a sub-command's name first). Returns
// the exit status.
using CommandFn = int (*)(const std::vector<std::string>& args);

// One row of a help table: an option or an argument and what it does.
struct HelpRow {
  const char* term;  // e.g. "--store NAME"
  const char* text;  // a short description, wrapped to fit
};

// A sub-command, e.g. "card add NAME": its name comes first in the
// command's arguments.
struct SubCommand {
  const char* name;          // e.g. "add"
  const char* args = "";     // what follows its name, e.g. "NAME"
  const char* summary = "";  // one short sentence
  std::vector<HelpRow> options = {};
};

struct Command {
  const char* name;
  // What follows the name, for a command without sub-commands.
  const char* args = "";
  // Its row in the tool's command table.
  const char* summary = "";
  // More of its own --help, after the summary ("" for none).
  const char* details = "";
  std::vector<HelpRow> options = {};
  std::vector<SubCommand> subcommands = {};
  CommandFn fn = nullptr;
  // Every command but init works on an existing image: main() refuses to
  // run it without one.
  bool needs_image = true;
  // The exit statuses of a usage error and of a missing image (sendmail
  // keeps the sysexits codes its callers know).
  int usage_status = kUsageStatus;
  int no_image_status = kFailStatus;
};

bool RegisterCommand(const Command& command);
// The registered commands, sorted by name.
const std::vector<Command>& Commands();
// The command of that name, or nullptr.
const Command* FindCommand(const std::string& name);
// The command's sub-command of that name, or nullptr.
const SubCommand* FindSubCommand(const Command& command,
                                 const std::string& name);

// Prints "tarnvex-device: MESSAGE" to stderr and returns 1 (or `status`).
int Fail(const std::string& message, int status = kFailStatus);
// Fail with the failure's message (its words, not its kind).
inline int Fail(const base::Status& failure, int status = kFailStatus) {
  return Fail(failure.message(), status);
}

}  // namespace device_tool

#define TARNVEX_DEVICE_COMMAND_CAT2(a, b) a##b
#define TARNVEX_DEVICE_COMMAND_CAT(a, b) TARNVEX_DEVICE_COMMAND_CAT2(a, b)
// TARNVEX_DEVICE_COMMAND({.name = "ls", .args = ..., .fn = Ls});
#define TARNVEX_DEVICE_COMMAND(...)                                     \
  static const bool TARNVEX_DEVICE_COMMAND_CAT(registered_, __LINE__) = \
      ::device_tool::RegisterCommand(__VA_ARGS__)

#endif  // TARNVEX_DEVICE_TOOL_COMMAND_H_
