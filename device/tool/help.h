// tarnvex-device's help, laid out from the commands' data (command.h):
// usage lines, wrapped paragraphs and two-column tables whose descriptions
// line up and wrap under themselves. No line is wider than kHelpWidth
// columns, unless a single word is.
#ifndef TARNVEX_DEVICE_TOOL_HELP_H_
#define TARNVEX_DEVICE_TOOL_HELP_H_

#include <cstddef>
#include <string>
#include <vector>

#include "device/tool/command.h"

namespace device_tool {

inline constexpr size_t kHelpWidth = 80;
inline constexpr char kToolName[] = "tarnvex-device";

// The tool's help: its usage, what it is, its global options and the table
// of the registered commands.
std::string ToolHelp(const std::vector<HelpRow>& global_options);
// A command's help: a usage line for each of its forms, what it does, its
// sub-commands and its options (the sub-commands' own included).
std::string CommandHelp(const Command& command);
// One sub-command's help.
std::string SubCommandHelp(const Command& command, const SubCommand& sub);

// `text` in lines of at most `width` columns, each after `indent` blanks;
// a "\n" in `text` starts a new line.
std::string WrapText(const std::string& text, size_t indent,
                     size_t width = kHelpWidth);
// The rows as two columns: the terms after two blanks, the descriptions
// from one column for all (a term too long for it has its description on
// the next line), each description wrapped under itself.
std::string HelpTable(const std::vector<HelpRow>& rows);

}  // namespace device_tool

#endif  // TARNVEX_DEVICE_TOOL_HELP_H_
