// tarnvex-milter's serving and its commands: rules add, list and delete,
// and the listing of held messages.
#include "gateway/commands.h"

#include <pthread.h>
#include <signal.h>

#include <cstdio>
#include <ctime>
#include <filesystem>

#include "filter/rule_table.h"
#include "gateway/limits.h"
#include "gateway/milter.h"
#include "gateway/release_worker.h"
#include "storage/calendar.h"
#include "storage/locations.h"
#include "storage/records.h"
#include "storage/rules_db.h"
#include "storage/statement.h"
#include "text/tokens.h"

namespace gateway {
namespace {

int Fail(const std::string& why) {
  std::fprintf(stderr, "%s: %s\n", kProgramName, why.c_str());
  return kExitFailed;
}

// A text for one tab-separated column.
std::string Column(std::string text) {
  for (char& c : text)
    if (c == '\t' || c == '\n' || c == '\r') c = ' ';
  return text;
}

std::string Absolute(const std::string& dir) {
  std::error_code ec;
  const auto path = std::filesystem::absolute(dir, ec);
  return ec ? dir : path.lexically_normal().string();
}

struct StoredRule {
  int32_t id = 0;
  std::string sender, recipients, message;
};

base::Status ReadRules(std::vector<StoredRule>* rules) {
  rules->clear();
  return storage::ListRules([rules](const storage::RuleRow& row) {
    rules->push_back({row.id, std::string(row.sender),
                      std::string(row.recipients), std::string(row.message)});
    return true;
  });
}

int Serve(const Options& options) {
  // A Postfix command that ends before reading its input must not end the
  // milter.
  signal(SIGPIPE, SIG_IGN);
  // libmilter ends on these with its own thread (sigwait); every other
  // thread, the release worker's included, must leave them to it, or one
  // would end the process before the milter's answers are out.
  sigset_t stops;
  sigemptyset(&stops);
  sigaddset(&stops, SIGTERM);
  sigaddset(&stops, SIGINT);
  sigaddset(&stops, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &stops, nullptr);
  const std::string dir = Absolute(options.data_dir);
  HeldTable held;
  base::Status opened = OpenDataFolder(dir, &held);
  if (!opened.ok()) return Fail(opened.message());
  PostfixHost local;
  local.config_dir = options.postfix_config;
  local.name = LocalHostName(options.postfix_config);
  if (local.name.empty()) {
    std::fprintf(stderr,
                 "%s: postconf cannot say this Postfix's myhostname: "
                 "messages of any host but the --remote ones are released "
                 "here\n",
                 kProgramName);
  }
  ReleaseWorker worker(dir, &held, local, options.remotes);
  base::Status started = worker.Start();
  if (!started.ok()) return Fail(started.message());
  Judge judge(&held, [&worker] { worker.Wake(); });
  MilterSettings settings;
  settings.listen = options.listen;
  settings.timeout_s = options.timeout_s;
  settings.socket_group = options.socket_group;
  const base::Status served = RunMilter(settings, &judge);
  worker.Stop();
  const JudgeCounts counts = judge.Counts();
  const MilterTimes times = MilterOwnTimes();
  std::fprintf(stderr,
               "%s: judged %llu messages (%llu held, %llu answered tempfail); "
               "own time %.1f us a message\n",
               kProgramName, static_cast<unsigned long long>(counts.judged),
               static_cast<unsigned long long>(counts.held),
               static_cast<unsigned long long>(counts.failed),
               times.messages == 0
                   ? 0.0
                   : static_cast<double>(times.own_ns) / 1000.0 /
                         static_cast<double>(times.messages));
  if (!served.ok()) return Fail(served.message());
  return kExitOk;
}

int RulesAdd(const Options& options) {
  std::vector<StoredRule> rules;
  base::Status read = ReadRules(&rules);
  if (!read.ok()) return Fail("the rules cannot be read: " + read.message());
  if (rules.size() >= static_cast<size_t>(kMaxRules))
    return Fail("the rules are full (" + std::to_string(kMaxRules) + ")");
  const std::string& recipients = *options.recipients;
  base::Status added = AddRule(options.sender.c_str(), recipients.c_str(),
                               options.words.c_str(), 0.0f);
  if (!added.ok()) return Fail("the rule cannot be added: " + added.message());
  int id = -1;
  FindRule(BlankedCopy(options.sender).c_str(), BlankedCopy(recipients).c_str(),
           TokenTextOf(options.words).c_str(), &id);
  std::printf("Added rule %d\n", id);
  return kExitOk;
}

int RulesList() {
  std::vector<StoredRule> rules;
  base::Status read = ReadRules(&rules);
  if (!read.ok()) return Fail("the rules cannot be read: " + read.message());
  for (const StoredRule& rule : rules) {
    std::printf("%d\t%s\t%s\t%s\n", rule.id, Column(rule.recipients).c_str(),
                Column(rule.sender).c_str(), Column(rule.message).c_str());
  }
  return kExitOk;
}

int RulesDelete(const Options& options) {
  std::vector<StoredRule> before;
  base::Status read = ReadRules(&before);
  if (!read.ok()) return Fail("the rules cannot be read: " + read.message());
  StoredRule target;
  if (options.rule_id.has_value()) {
    bool found = false;
    for (const StoredRule& rule : before) {
      if (rule.id == *options.rule_id) {
        target = rule;
        found = true;
        break;
      }
    }
    if (!found) return Fail("no rule " + std::to_string(*options.rule_id));
  } else {
    target.sender = options.sender;
    target.recipients = *options.recipients;
    target.message = options.words;
  }
  base::Status deleted = DeleteRule(
      target.sender.c_str(), target.recipients.c_str(), target.message.c_str());
  if (!deleted.ok())
    return Fail("the rule cannot be deleted: " + deleted.message());
  std::vector<StoredRule> after;
  read = ReadRules(&after);
  if (!read.ok()) return Fail("the rules cannot be read: " + read.message());
  if (after.size() >= before.size()) return Fail("no rule has these texts");
  std::printf("Deleted %zu rule%s\n", before.size() - after.size(),
              before.size() - after.size() == 1 ? "" : "s");
  return kExitOk;
}

int Held(const Options& options, HeldTable* held) {
  std::vector<std::string> days;
  if (options.day.has_value()) {
    std::string narrow;
    const std::u16string wide = DayText(*options.day, &narrow);
    days = DayKeys(wide, narrow);
  }
  std::optional<int32_t> status;
  if (options.status.has_value()) status = *options.status;
  std::vector<HeldEntry> rows;
  base::Status listed = held->List(days, status, &rows);
  if (!listed.ok())
    return Fail("the held messages cannot be read: " + listed.message());
  for (const HeldEntry& row : rows) {
    char when[32] = "";
    const std::time_t seconds = static_cast<std::time_t>(row.held_at_ms / 1000);
    std::tm local = {};
    localtime_r(&seconds, &local);
    std::strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S", &local);
    std::string recipients;
    for (size_t i = 0; i < row.recipients.size(); ++i)
      recipients += (i > 0 ? ", " : "") + row.recipients[i];
    const std::string id =
        row.host.empty() ? row.queue_id : row.host + ":" + row.queue_id;
    std::printf("%s\t%s\t%d\t%s\t%s\t%s\n", Column(id).c_str(), when,
                row.status,
                Column(row.sender.empty() ? "<>" : row.sender).c_str(),
                Column(recipients).c_str(), Column(row.subject).c_str());
  }
  return kExitOk;
}

}  // namespace

base::Status OpenDataFolder(const std::string& dir, HeldTable* held) {
  const std::string absolute = Absolute(dir);
  base::Status folder = storage::UseDataFolder(absolute);
  if (!folder.ok()) return base::Status::NotFound("no data folder " + dir);
  CreateRulesTable();
  base::Status store = records::EnsureStore(kStoreName);
  if (!store.ok()) {
    std::fprintf(stderr, "%s: the records in %s cannot be opened: %s\n",
                 kProgramName, absolute.c_str(), store.ToString().c_str());
  }
  if (held != nullptr) {
    base::Status table = held->Open(absolute + "/" + kStoreName + ".db");
    if (!table.ok()) {
      std::fprintf(stderr, "%s: the held table in %s cannot be opened: %s\n",
                   kProgramName, absolute.c_str(), table.ToString().c_str());
    }
  }
  return base::Status::Ok();
}

int RunOptions(const Options& options) {
  if (options.command == Command::kHelp) {
    std::fputs(HelpText(options.help_of).c_str(), stdout);
    return kExitOk;
  }
  if (options.command == Command::kServe) return Serve(options);
  HeldTable held;
  base::Status opened = OpenDataFolder(
      options.data_dir, options.command == Command::kHeld ? &held : nullptr);
  if (!opened.ok()) return Fail(opened.message());
  switch (options.command) {
    case Command::kRulesAdd:
      return RulesAdd(options);
    case Command::kRulesList:
      return RulesList();
    case Command::kRulesDelete:
      return RulesDelete(options);
    case Command::kHeld:
      return Held(options, &held);
    default:
      return kExitUsage;
  }
}

}  // namespace gateway
