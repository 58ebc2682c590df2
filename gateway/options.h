// tarnvex-milter's command line: the milter itself and its commands, each
// with its help. Parsing only (no files touched), so that every form and
// every error is tested without a Postfix.
//
//   tarnvex-milter --listen unix:PATH|inet:PORT@HOST --data DIR
//                  [--postfix-config DIR] [--remote NAME=PREFIX]...
//                  [--socket-group GROUP] [--timeout S]
//   tarnvex-milter rules add --recipients TEXT [--sender TEXT]
//                  [--words TEXT] --data DIR
//   tarnvex-milter rules list --data DIR
//   tarnvex-milter rules delete (--id N | --recipients TEXT [--sender TEXT]
//                  [--words TEXT]) --data DIR
//   tarnvex-milter held --data DIR [--day N] [--status 0|1|2]
//   tarnvex-milter help [COMMAND], COMMAND --help
#ifndef TARNVEX_GATEWAY_OPTIONS_H_
#define TARNVEX_GATEWAY_OPTIONS_H_

#include <optional>
#include <string>
#include <vector>

#include "gateway/postfix.h"

namespace gateway {

// Exit statuses: done, failed (one line on stderr), a wrong command line.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;

enum class Command {
  kServe,
  kRulesAdd,
  kRulesList,
  kRulesDelete,
  kHeld,
  kHelp,
};

struct Options {
  Command command = Command::kHelp;
  // kHelp: whose help ("" the program's, "rules", "rules add", "held"...).
  std::string help_of;
  std::string data_dir;
  // kServe
  std::string listen;
  std::string postfix_config;
  std::vector<PostfixHost> remotes;
  std::string socket_group;
  int timeout_s = 30;
  // rules
  std::optional<int> rule_id;
  std::optional<std::string> recipients;
  std::string sender;
  std::string words;
  // held
  std::optional<int> day;
  std::optional<int> status;
};

// Parses argv[1..]. False with `error` (one line) on a wrong command line;
// `options->help_of` then names the help to point at.
bool ParseOptions(const std::vector<std::string>& args, Options* options,
                  std::string* error);

// Whether a --listen value is one libmilter takes here: unix:PATH (absolute)
// or inet:PORT@HOST (PORT 1-65535; HOST an IPv4 address or a name).
bool ValidListen(const std::string& listen, std::string* why);

// The help text of `help_of` ("" the program's); "" for an unknown name.
std::string HelpText(const std::string& help_of);

}  // namespace gateway

#endif  // TARNVEX_GATEWAY_OPTIONS_H_
