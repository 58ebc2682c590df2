// Lays out tarnvex-device's help from the commands' data.
#include "device/tool/help.h"

#include <algorithm>
#include <cctype>
#include <string>
#include <utility>
#include <vector>

namespace device_tool {
namespace {

constexpr size_t kTableIndent = 2;
constexpr size_t kColumnGap = 2;
// A term wider than this has its description on the next line, so that one
// long term does not push every description of its table to the right.
constexpr size_t kMaxTermColumns = 24;
// A usage line that wraps goes on under its first argument, unless that is
// too far right.
constexpr size_t kUsageIndent = 11;
constexpr char kUsageLead[] = "Usage: ";
// The row every command's options end with.
constexpr HelpRow kHelpRow = {"-h, --help", "show this help"};

using Row = std::pair<std::string, std::string>;

// Display columns of UTF-8 text: one for each character.
size_t Columns(const std::string& text) {
  size_t columns = 0;
  for (unsigned char c : text) columns += (c & 0xC0) != 0x80;
  return columns;
}

std::vector<std::string> Words(const std::string& text) {
  std::vector<std::string> words;
  size_t i = 0;
  while (i < text.size()) {
    while (i < text.size() && text[i] == ' ') ++i;
    size_t end = text.find(' ', i);
    if (end == std::string::npos) end = text.size();
    if (end > i) words.push_back(text.substr(i, end - i));
    i = end;
  }
  return words;
}

// A usage's arguments in the pieces a line may break between: a blank
// inside brackets, parentheses, angle brackets or quotes parts nothing
// ("[--to ADDR ...]" stays whole).
std::vector<std::string> UsagePieces(const std::string& args) {
  std::vector<std::string> pieces;
  std::string piece;
  int depth = 0;
  bool quoted = false;
  for (char c : args) {
    if (c == ' ' && depth == 0 && !quoted) {
      if (!piece.empty()) pieces.push_back(piece);
      piece.clear();
      continue;
    }
    if (c == '"') quoted = !quoted;
    if (!quoted && (c == '[' || c == '(' || c == '<')) ++depth;
    if (!quoted && (c == ']' || c == ')' || c == '>') && depth > 0) --depth;
    piece += c;
  }
  if (!piece.empty()) pieces.push_back(piece);
  return pieces;
}

// The words after `prefix` (one blank between, unless the prefix ends in
// one), in lines of at most kHelpWidth columns; a line that is full goes on
// after `indent` blanks. A word that fits no line stands alone.
std::string Fill(const std::vector<std::string>& words,
                 const std::string& prefix, size_t indent,
                 size_t width = kHelpWidth) {
  std::string out = prefix;
  size_t column = Columns(prefix);
  bool blank_before = !prefix.empty() && prefix.back() != ' ';
  bool word_on_line = false;
  for (const std::string& word : words) {
    const size_t need = (blank_before ? 1 : 0) + Columns(word);
    if (word_on_line && column + need > width) {
      out += "\n" + std::string(indent, ' ');
      column = indent;
      blank_before = false;
      word_on_line = false;
    }
    if (blank_before) {
      out += ' ';
      ++column;
    }
    out += word;
    column += Columns(word);
    blank_before = true;
    word_on_line = true;
  }
  return out + "\n";
}

std::string Table(const std::vector<Row>& rows) {
  size_t term_columns = 0;
  for (const Row& row : rows) {
    const size_t columns = Columns(row.first);
    if (columns <= kMaxTermColumns)
      term_columns = std::max(term_columns, columns);
  }
  const size_t text_column = kTableIndent + term_columns + kColumnGap;
  std::string out;
  for (const Row& row : rows) {
    std::string term = std::string(kTableIndent, ' ') + row.first;
    if (Columns(term) + kColumnGap > text_column) {
      out += term + "\n";
      term.clear();
    }
    term += std::string(text_column - Columns(term), ' ');
    out += Fill(Words(row.second), term, text_column);
  }
  return out;
}

std::vector<Row> Rows(const std::vector<HelpRow>& rows) {
  std::vector<Row> out;
  for (const HelpRow& row : rows) out.emplace_back(row.term, row.text);
  return out;
}

// A summary ("manage the storage cards") as a sentence.
std::string Sentence(const std::string& summary) {
  std::string out = summary;
  if (out.empty()) return out;
  out[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(out[0])));
  if (out.back() != '.') out += '.';
  return out;
}

// One usage line for each form: "Usage: tarnvex-device card add NAME",
// the others under it.
std::string UsageLines(const std::vector<Row>& forms) {
  std::string out;
  for (size_t i = 0; i < forms.size(); ++i) {
    std::string lead = (i == 0 ? std::string(kUsageLead)
                               : std::string(Columns(kUsageLead), ' ')) +
                       forms[i].first;
    size_t indent = Columns(lead) + 1;
    if (indent > kHelpWidth / 2) indent = kUsageIndent;
    out += Fill(UsagePieces(forms[i].second), lead, indent);
  }
  return out;
}

std::string Head(const Command& command) {
  return std::string(kToolName) + " " + command.name;
}

std::string SubTerm(const SubCommand& sub) {
  return *sub.args ? std::string(sub.name) + " " + sub.args : sub.name;
}

std::string OptionsSection(const std::string& title,
                           std::vector<HelpRow> rows) {
  return "\n" + title + ":\n" + HelpTable(rows);
}

}  // namespace

std::string WrapText(const std::string& text, size_t indent, size_t width) {
  std::string out;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    out += Fill(Words(text.substr(start, end - start)),
                std::string(indent, ' '), indent, width);
    start = end + 1;
  }
  return out;
}

std::string HelpTable(const std::vector<HelpRow>& rows) {
  return Table(Rows(rows));
}

std::string ToolHelp(const std::vector<HelpRow>& global_options) {
  std::string out =
      UsageLines({{kToolName, "[--root DIR] COMMAND [ARGS...]"}}) + "\n" +
      WrapText(
          "The stand-in for the phone that Tarnvex runs on: its file system "
          "image, storage cards, message service and messaging application.",
          0) +
      "\nOptions:\n" + HelpTable(global_options) + "\nCommands:\n";
  std::vector<Row> commands;
  for (const Command& c : Commands()) commands.emplace_back(c.name, c.summary);
  out += Table(commands) + "\n" +
         WrapText("\"" + std::string(kToolName) +
                      " COMMAND --help\" shows a command's arguments and "
                      "options.",
                  0);
  return out;
}

std::string CommandHelp(const Command& command) {
  std::vector<Row> forms;
  if (command.subcommands.empty() || *command.args)
    forms.emplace_back(Head(command), command.args);
  for (const SubCommand& sub : command.subcommands)
    forms.emplace_back(Head(command) + " " + sub.name, sub.args);
  std::string out =
      UsageLines(forms) + "\n" + WrapText(Sentence(command.summary), 0);
  if (*command.details) out += "\n" + WrapText(command.details, 0);
  if (!command.subcommands.empty()) {
    std::vector<Row> subs;
    for (const SubCommand& sub : command.subcommands)
      subs.emplace_back(SubTerm(sub), sub.summary);
    out += "\nCommands:\n" + Table(subs);
  }
  std::vector<HelpRow> options = command.options;
  options.push_back(kHelpRow);
  out += OptionsSection("Options", options);
  for (const SubCommand& sub : command.subcommands) {
    if (sub.options.empty()) continue;
    out += OptionsSection(
        std::string("Options of ") + command.name + " " + sub.name,
        sub.options);
  }
  return out;
}

std::string SubCommandHelp(const Command& command, const SubCommand& sub) {
  std::vector<HelpRow> options = sub.options;
  options.push_back(kHelpRow);
  return UsageLines({{Head(command) + " " + sub.name, sub.args}}) + "\n" +
         WrapText(Sentence(sub.summary), 0) +
         OptionsSection("Options", options);
}

}  // namespace device_tool
