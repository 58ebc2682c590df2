// tarnvex-milter's commands and its serving, each returning the program's
// exit status (options.h) after saying on stderr why it failed.
#ifndef TARNVEX_GATEWAY_COMMANDS_H_
#define TARNVEX_GATEWAY_COMMANDS_H_

#include <string>

#include "base/status.h"
#include "gateway/held_table.h"
#include "gateway/options.h"

namespace gateway {

// Makes the data folder ready: its files found there (storage's data
// folder), the rules table and the records' table made when missing, the
// held table opened. Not ok when DIR is no folder; a rules or records file
// that cannot be opened is said, and not a failure here (the milter answers
// tempfail until it can).
base::Status OpenDataFolder(const std::string& dir, HeldTable* held);

int RunOptions(const Options& options);

}  // namespace gateway

#endif  // TARNVEX_GATEWAY_COMMANDS_H_
