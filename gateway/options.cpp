// Parsing tarnvex-milter's command line, and its help texts.
#include "gateway/options.h"

#include <cerrno>
#include <cstdlib>
#include <map>

namespace gateway {
namespace {

const char kProgramHelp[] =
    "Usage: tarnvex-milter --listen SOCKET --data DIR [OPTION]...\n"
    "       tarnvex-milter COMMAND [OPTION]...\n"
    "\n"
    "Tarnvex's judgement in front of Postfix: a milter that holds every\n"
    "message whose envelope recipients no rule covers in Postfix's hold\n"
    "queue, records it, and releases it once a rule covers it.\n"
    "\n"
    "  --listen SOCKET        unix:PATH or inet:PORT@HOST (HOST 127.0.0.1, or\n"
    "                         an address the Postfix hosts reach)\n"
    "  --data DIR             the folder of Rules_0.db and Gateway.db\n"
    "  --postfix-config DIR   the local Postfix's config_directory (postsuper\n"
    "                         -c DIR, postqueue -c DIR); default Postfix's "
    "own\n"
    "  --remote NAME=PREFIX   another Postfix host sharing this milter: NAME "
    "its\n"
    "                         myhostname, PREFIX the words run in front of\n"
    "                         postqueue and postsuper to reach it\n"
    "                         (\"ssh -o BatchMode=yes root@mx2\"); repeatable\n"
    "  --socket-group GROUP   the group of a unix socket (mode 0660), e.g.\n"
    "                         postfix\n"
    "  --timeout S            libmilter's I/O timeout in seconds (30)\n"
    "  -h, --help             this help\n"
    "\n"
    "Commands (each with --help):\n"
    "  rules add --recipients TEXT [--sender TEXT] [--words TEXT] --data DIR\n"
    "  rules list --data DIR\n"
    "  rules delete (--id N | --recipients TEXT [--sender TEXT] [--words "
    "TEXT])\n"
    "               --data DIR\n"
    "  held --data DIR [--day N] [--status 0|1|2]\n"
    "  help [COMMAND]\n"
    "\n"
    "Exit status: 0 done, 1 failed (the reason on standard error), 2 a wrong\n"
    "command line.\n";

const char kRulesHelp[] =
    "Usage: tarnvex-milter rules add|list|delete [OPTION]... --data DIR\n"
    "\n"
    "The rules of Rules_0.db, the rules editor's own table. A running milter\n"
    "reads them again as soon as they change, and releases what they cover.\n"
    "See tarnvex-milter rules add --help, rules list --help, rules delete\n"
    "--help.\n";

const char kRulesAddHelp[] =
    "Usage: tarnvex-milter rules add --recipients TEXT [--sender TEXT]\n"
    "                                [--words TEXT] --data DIR\n"
    "\n"
    "Adds a rule (or updates the one with the same texts). A message may go\n"
    "when one rule covers every envelope recipient (Bcc too): each recipient\n"
    "is found in the rule's TEXT, ignoring letter case. A rule\n"
    "\"anna@example.org, bob@example.org\" covers mail to either or both;\n"
    "mail to both and carol@example.org waits for a rule naming all three.\n"
    "\n"
    "  --recipients TEXT   the recipients the rule covers\n"
    "  --sender TEXT       the rule's sender text (kept, as the editor does)\n"
    "  --words TEXT        the rule's message words (kept as its tokens)\n"
    "  --data DIR          the gateway's data folder\n"
    "\n"
    "Prints \"Added rule N\".\n";

const char kRulesListHelp[] =
    "Usage: tarnvex-milter rules list --data DIR\n"
    "\n"
    "One line a rule: its id, recipients, sender and words, separated by\n"
    "tabs.\n";

const char kRulesDeleteHelp[] =
    "Usage: tarnvex-milter rules delete --id N --data DIR\n"
    "       tarnvex-milter rules delete --recipients TEXT [--sender TEXT]\n"
    "                                   [--words TEXT] --data DIR\n"
    "\n"
    "Deletes the rule with id N, or the rules with exactly these texts.\n"
    "Fails (status 1) when no rule was deleted. A message held again later is\n"
    "not released by a deleted rule; one released already stays released.\n";

const char kHeldHelp[] =
    "Usage: tarnvex-milter held --data DIR [--day N] [--status 0|1|2]\n"
    "\n"
    "The messages the milter put into a Postfix hold queue, oldest first, one\n"
    "line each with tab-separated columns: queue id (with its host, as\n"
    "HOST:ID, when Postfix named it), date and time held, status (0 held,\n"
    "1 released, 2 gone from the queue), envelope sender, every envelope\n"
    "recipient (separated by \", \") and subject.\n"
    "\n"
    "  --day N        only those held N days before today (0 today)\n"
    "  --status S     only those of status S\n"
    "  --data DIR     the gateway's data folder\n";

bool IsHelp(const std::string& arg) { return arg == "--help" || arg == "-h"; }

bool ParseInt(const std::string& text, long low, long high, int* out) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  const long value = std::strtol(text.c_str(), &end, 10);
  if (errno != 0 || end == text.c_str() || *end != '\0' || value < low ||
      value > high) {
    return false;
  }
  *out = static_cast<int>(value);
  return true;
}

std::vector<std::string> Words(const std::string& text) {
  std::vector<std::string> words;
  size_t at = 0;
  while (at < text.size()) {
    at = text.find_first_not_of(" \t", at);
    if (at == std::string::npos) break;
    size_t end = text.find_first_of(" \t", at);
    if (end == std::string::npos) end = text.size();
    words.push_back(text.substr(at, end - at));
    at = end;
  }
  return words;
}

// The options one command takes, each with a value.
struct CommandShape {
  Command command;
  std::string name;  // as its help is named
  std::vector<std::string> takes;
};

}  // namespace

bool ValidListen(const std::string& listen, std::string* why) {
  if (listen.rfind("unix:", 0) == 0 || listen.rfind("local:", 0) == 0) {
    const std::string path = listen.substr(listen.find(':') + 1);
    if (path.empty() || path[0] != '/') {
      *why = "the socket path of " + listen + " is not absolute";
      return false;
    }
    return true;
  }
  if (listen.rfind("inet:", 0) == 0) {
    const std::string rest = listen.substr(5);
    const size_t at = rest.find('@');
    int port = 0;
    if (!ParseInt(rest.substr(0, at), 1, 65535, &port)) {
      *why = "no port 1-65535 in " + listen;
      return false;
    }
    if (at != std::string::npos && at + 1 >= rest.size()) {
      *why = "no host after @ in " + listen;
      return false;
    }
    return true;
  }
  *why = listen + " is neither unix:PATH nor inet:PORT@HOST";
  return false;
}

bool ParseOptions(const std::vector<std::string>& args, Options* options,
                  std::string* error) {
  *options = Options();
  if (args.empty()) {
    *error = "no --listen and --data, and no command";
    return false;
  }
  size_t next = 0;
  CommandShape shape{Command::kServe,
                     "",
                     {"--listen", "--data", "--postfix-config", "--remote",
                      "--socket-group", "--timeout"}};
  const std::string& first = args[0];
  if (IsHelp(first)) {
    options->command = Command::kHelp;
    return true;
  }
  if (first == "help") {
    options->command = Command::kHelp;
    for (size_t i = 1; i < args.size(); ++i)
      options->help_of += (i > 1 ? " " : "") + args[i];
    if (HelpText(options->help_of).empty()) {
      *error = "no command \"" + options->help_of + "\"";
      options->help_of.clear();
      return false;
    }
    return true;
  }
  if (first == "rules") {
    if (args.size() < 2 || IsHelp(args[1])) {
      options->command = Command::kHelp;
      options->help_of = "rules";
      if (args.size() < 2) {
        *error = "rules: which, add, list or delete?";
        return false;
      }
      return true;
    }
    const std::string& sub = args[1];
    if (sub == "add") {
      shape = {Command::kRulesAdd,
               "rules add",
               {"--recipients", "--sender", "--words", "--data"}};
    } else if (sub == "list") {
      shape = {Command::kRulesList, "rules list", {"--data"}};
    } else if (sub == "delete") {
      shape = {Command::kRulesDelete,
               "rules delete",
               {"--id", "--recipients", "--sender", "--words", "--data"}};
    } else {
      options->help_of = "rules";
      *error = "rules: no sub-command \"" + sub + "\"";
      return false;
    }
    next = 2;
  } else if (first == "held") {
    shape = {Command::kHeld, "held", {"--data", "--day", "--status"}};
    next = 1;
  } else if (first.rfind("--", 0) != 0) {
    *error = "no command \"" + first + "\"";
    return false;
  }
  options->command = shape.command;
  options->help_of = shape.name;
  std::map<std::string, int> seen;
  for (size_t i = next; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (IsHelp(arg)) {
      options->command = Command::kHelp;
      return true;
    }
    bool known = false;
    for (const std::string& name : shape.takes) known = known || name == arg;
    if (!known) {
      *error = arg.rfind("-", 0) == 0 ? "unknown option " + arg
                                      : "unexpected argument \"" + arg + "\"";
      return false;
    }
    if (i + 1 >= args.size()) {
      *error = arg + " needs a value";
      return false;
    }
    const std::string& value = args[++i];
    if (arg != "--remote" && seen[arg]++ > 0) {
      *error = arg + " given twice";
      return false;
    }
    if (arg == "--data") {
      if (value.empty()) {
        *error = "--data needs a folder";
        return false;
      }
      options->data_dir = value;
    } else if (arg == "--listen") {
      std::string why;
      if (!ValidListen(value, &why)) {
        *error = "--listen: " + why;
        return false;
      }
      options->listen = value;
    } else if (arg == "--postfix-config") {
      options->postfix_config = value;
    } else if (arg == "--remote") {
      const size_t eq = value.find('=');
      PostfixHost host;
      if (eq == std::string::npos || eq == 0) {
        *error = "--remote needs NAME=PREFIX, not \"" + value + "\"";
        return false;
      }
      host.name = value.substr(0, eq);
      host.prefix = Words(value.substr(eq + 1));
      if (host.prefix.empty()) {
        *error = "--remote " + host.name + ": no command prefix after =";
        return false;
      }
      options->remotes.push_back(std::move(host));
    } else if (arg == "--socket-group") {
      options->socket_group = value;
    } else if (arg == "--timeout") {
      if (!ParseInt(value, 1, 3600, &options->timeout_s)) {
        *error = "--timeout needs seconds 1-3600, not \"" + value + "\"";
        return false;
      }
    } else if (arg == "--recipients") {
      options->recipients = value;
    } else if (arg == "--sender") {
      options->sender = value;
    } else if (arg == "--words") {
      options->words = value;
    } else if (arg == "--id") {
      int id = 0;
      if (!ParseInt(value, 0, 2147483647, &id)) {
        *error = "--id needs a rule id, not \"" + value + "\"";
        return false;
      }
      options->rule_id = id;
    } else if (arg == "--day") {
      int day = 0;
      if (!ParseInt(value, -36500, 36500, &day)) {
        *error = "--day needs a number of days, not \"" + value + "\"";
        return false;
      }
      options->day = day;
    } else if (arg == "--status") {
      int status = 0;
      if (!ParseInt(value, 0, 2, &status)) {
        *error = "--status needs 0, 1 or 2, not \"" + value + "\"";
        return false;
      }
      options->status = status;
    }
  }
  if (options->data_dir.empty()) {
    *error = "no --data DIR";
    return false;
  }
  switch (options->command) {
    case Command::kServe:
      if (options->listen.empty()) {
        *error = "no --listen SOCKET";
        return false;
      }
      break;
    case Command::kRulesAdd:
      if (!options->recipients.has_value() ||
          options->recipients->find_first_not_of(" \t,;") ==
              std::string::npos) {
        *error = "rules add needs --recipients TEXT with an address in it";
        return false;
      }
      break;
    case Command::kRulesDelete:
      if (options->rule_id.has_value() ==
          (options->recipients.has_value() || seen["--sender"] > 0 ||
           seen["--words"] > 0)) {
        *error = "rules delete needs either --id N or --recipients TEXT";
        return false;
      }
      if (!options->rule_id.has_value() && !options->recipients.has_value()) {
        *error = "rules delete needs --recipients TEXT with --sender/--words";
        return false;
      }
      break;
    default:
      break;
  }
  return true;
}

std::string HelpText(const std::string& help_of) {
  if (help_of.empty()) return kProgramHelp;
  if (help_of == "rules") return kRulesHelp;
  if (help_of == "rules add") return kRulesAddHelp;
  if (help_of == "rules list") return kRulesListHelp;
  if (help_of == "rules delete") return kRulesDeleteHelp;
  if (help_of == "held") return kHeldHelp;
  return "";
}

}  // namespace gateway
