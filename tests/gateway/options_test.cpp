// tarnvex-milter's command line: every form it takes, and each error with
// the help it points at.
#include "gateway/options.h"

#include <gtest/gtest.h>

namespace gateway {
namespace {

Options Parsed(const std::vector<std::string>& args) {
  Options options;
  std::string error;
  EXPECT_TRUE(ParseOptions(args, &options, &error)) << error;
  return options;
}

// The error of a refused command line, and the help it points at.
std::pair<std::string, std::string> Refused(
    const std::vector<std::string>& args) {
  Options options;
  std::string error;
  EXPECT_FALSE(ParseOptions(args, &options, &error));
  return {error, options.help_of};
}

TEST(OptionsTest, ServeTakesListenDataAndPostfixSettings) {
  const Options o =
      Parsed({"--listen", "inet:8891@127.0.0.1", "--data", "/var/lib/t",
              "--postfix-config", "/etc/postfix-a", "--remote",
              "mx2.example=ssh -o BatchMode=yes root@mx2", "--remote",
              "mx3.example=env MAIL_CONFIG=/x", "--socket-group", "postfix",
              "--timeout", "60"});
  EXPECT_EQ(o.command, Command::kServe);
  EXPECT_EQ(o.listen, "inet:8891@127.0.0.1");
  EXPECT_EQ(o.data_dir, "/var/lib/t");
  EXPECT_EQ(o.postfix_config, "/etc/postfix-a");
  ASSERT_EQ(o.remotes.size(), 2u);
  EXPECT_EQ(o.remotes[0].name, "mx2.example");
  EXPECT_EQ(
      o.remotes[0].prefix,
      (std::vector<std::string>{"ssh", "-o", "BatchMode=yes", "root@mx2"}));
  EXPECT_EQ(o.remotes[1].prefix,
            (std::vector<std::string>{"env", "MAIL_CONFIG=/x"}));
  EXPECT_EQ(o.socket_group, "postfix");
  EXPECT_EQ(o.timeout_s, 60);
  EXPECT_EQ(Parsed({"--data", "d", "--listen", "unix:/run/t/m.sock"}).listen,
            "unix:/run/t/m.sock");
}

TEST(OptionsTest, ListenMustBeASocketLibmilterTakes) {
  std::string why;
  EXPECT_TRUE(ValidListen("inet:1@localhost", &why));
  EXPECT_TRUE(ValidListen("inet:65535", &why));
  EXPECT_TRUE(ValidListen("local:/tmp/s", &why));
  EXPECT_FALSE(ValidListen("unix:relative/s", &why));
  EXPECT_NE(why.find("not absolute"), std::string::npos);
  EXPECT_FALSE(ValidListen("inet:0@127.0.0.1", &why));
  EXPECT_FALSE(ValidListen("inet:65536@127.0.0.1", &why));
  EXPECT_FALSE(ValidListen("inet:88x@127.0.0.1", &why));
  EXPECT_FALSE(ValidListen("inet:25@", &why));
  EXPECT_FALSE(ValidListen("tcp:25", &why));
  EXPECT_EQ(Refused({"--listen", "8891", "--data", "d"}).first,
            "--listen: 8891 is neither unix:PATH nor inet:PORT@HOST");
}

TEST(OptionsTest, RulesCommands) {
  Options o = Parsed({"rules", "add", "--recipients", "a@b, c@d", "--sender",
                      "me", "--words", "invoice", "--data", "d"});
  EXPECT_EQ(o.command, Command::kRulesAdd);
  EXPECT_EQ(*o.recipients, "a@b, c@d");
  EXPECT_EQ(o.sender, "me");
  EXPECT_EQ(o.words, "invoice");
  EXPECT_EQ(Parsed({"rules", "list", "--data", "d"}).command,
            Command::kRulesList);
  o = Parsed({"rules", "delete", "--id", "7", "--data", "d"});
  EXPECT_EQ(o.command, Command::kRulesDelete);
  EXPECT_EQ(*o.rule_id, 7);
  o = Parsed({"rules", "delete", "--recipients", "a@b", "--data", "d"});
  EXPECT_FALSE(o.rule_id.has_value());
  EXPECT_EQ(*o.recipients, "a@b");
}

TEST(OptionsTest, HeldTakesADayAndAStatus) {
  Options o = Parsed({"held", "--data", "d", "--day", "2", "--status", "0"});
  EXPECT_EQ(o.command, Command::kHeld);
  EXPECT_EQ(*o.day, 2);
  EXPECT_EQ(*o.status, 0);
  o = Parsed({"held", "--data", "d"});
  EXPECT_FALSE(o.day.has_value());
  EXPECT_FALSE(o.status.has_value());
}

TEST(OptionsTest, HelpForEveryCommand) {
  EXPECT_EQ(Parsed({"--help"}).command, Command::kHelp);
  EXPECT_EQ(Parsed({"-h"}).help_of, "");
  EXPECT_EQ(Parsed({"help", "rules", "add"}).help_of, "rules add");
  EXPECT_EQ(Parsed({"rules", "delete", "--help"}).help_of, "rules delete");
  EXPECT_EQ(Parsed({"held", "--data", "d", "-h"}).command, Command::kHelp);
  EXPECT_EQ(Parsed({"rules", "--help"}).help_of, "rules");
  for (const char* name :
       {"", "rules", "rules add", "rules list", "rules delete", "held"}) {
    const std::string text = HelpText(name);
    EXPECT_EQ(text.rfind("Usage: tarnvex-milter", 0), 0u) << name;
  }
  EXPECT_EQ(HelpText("nonsense"), "");
}

TEST(OptionsTest, WrongCommandLinesSayWhyAndWhoseHelp) {
  using P = std::pair<std::string, std::string>;
  EXPECT_EQ(Refused({}), P("no --listen and --data, and no command", ""));
  EXPECT_EQ(Refused({"--listen", "inet:1@127.0.0.1"}), P("no --data DIR", ""));
  EXPECT_EQ(Refused({"--data", "d"}), P("no --listen SOCKET", ""));
  EXPECT_EQ(Refused({"frobnicate"}), P("no command \"frobnicate\"", ""));
  EXPECT_EQ(Refused({"help", "frobnicate"}),
            P("no command \"frobnicate\"", ""));
  EXPECT_EQ(Refused({"rules"}),
            P("rules: which, add, list or delete?", "rules"));
  EXPECT_EQ(Refused({"rules", "drop"}),
            P("rules: no sub-command \"drop\"", "rules"));
  EXPECT_EQ(Refused({"rules", "add", "--data", "d"}),
            P("rules add needs --recipients TEXT with an address in it",
              "rules add"));
  EXPECT_EQ(
      Refused({"rules", "add", "--recipients", " ,; ", "--data", "d"}).first,
      "rules add needs --recipients TEXT with an address in it");
  EXPECT_EQ(Refused({"rules", "add", "--recipients", "a@b", "--data"}),
            P("--data needs a value", "rules add"));
  EXPECT_EQ(Refused({"rules", "add", "--recipients", "a", "--recipients", "b",
                     "--data", "d"})
                .first,
            "--recipients given twice");
  EXPECT_EQ(Refused({"rules", "list", "--id", "3", "--data", "d"}),
            P("unknown option --id", "rules list"));
  EXPECT_EQ(Refused({"rules", "delete", "--data", "d"}).first,
            "rules delete needs either --id N or --recipients TEXT");
  EXPECT_EQ(Refused({"rules", "delete", "--id", "1", "--recipients", "a",
                     "--data", "d"})
                .first,
            "rules delete needs either --id N or --recipients TEXT");
  EXPECT_EQ(Refused({"rules", "delete", "--id", "x", "--data", "d"}).first,
            "--id needs a rule id, not \"x\"");
  EXPECT_EQ(Refused({"held", "--data", "d", "--status", "3"}),
            P("--status needs 0, 1 or 2, not \"3\"", "held"));
  EXPECT_EQ(Refused({"held", "--data", "d", "--day", "yesterday"}).first,
            "--day needs a number of days, not \"yesterday\"");
  EXPECT_EQ(Refused({"held", "--data", "d", "extra"}).first,
            "unexpected argument \"extra\"");
  EXPECT_EQ(
      Refused({"--listen", "inet:1@h", "--data", "d", "--remote", "mx2"}).first,
      "--remote needs NAME=PREFIX, not \"mx2\"");
  EXPECT_EQ(Refused({"--listen", "inet:1@h", "--data", "d", "--remote", "mx2="})
                .first,
            "--remote mx2: no command prefix after =");
  EXPECT_EQ(
      Refused({"--listen", "inet:1@h", "--data", "d", "--timeout", "0"}).first,
      "--timeout needs seconds 1-3600, not \"0\"");
}

}  // namespace
}  // namespace gateway
