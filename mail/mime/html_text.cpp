// HTML to plain text for a message whose only text is an HTML part: tags
// dropped, block elements as line breaks, character references decoded.
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "device/codepage.h"
#include "mail/mime/mime_message.h"

namespace mail {
namespace {

using device::AppendUtf8;

// Builds the text of an HTML page: runs of white space become one space,
// line breaks are asked for by count and never doubled past it.
class TextBuilder {
 public:
  void Text(std::string_view s) {
    if (pending_space_ && !out_.empty() && out_.back() != '\n') {
      out_.push_back(' ');
    }
    pending_space_ = false;
    out_.append(s);
  }
  void Space() { pending_space_ = true; }
  // A <br>: always one more line end.
  void LineBreak() {
    pending_space_ = false;
    TrimTrailingSpaces();
    out_.push_back('\n');
  }
  // A block's edge: at least `lines` line ends before what follows.
  void Break(int lines) {
    pending_space_ = false;
    TrimTrailingSpaces();
    if (out_.empty()) return;
    int have = 0;
    for (size_t i = out_.size(); i > 0 && out_[i - 1] == '\n'; --i) ++have;
    for (; have < lines; ++have) out_.push_back('\n');
  }
  std::string Finish() {
    size_t begin = out_.find_first_not_of(" \n");
    if (begin == std::string::npos) return {};
    size_t end = out_.find_last_not_of(" \n");
    return out_.substr(begin, end - begin + 1);
  }

 private:
  void TrimTrailingSpaces() {
    while (!out_.empty() && out_.back() == ' ') out_.pop_back();
  }
  std::string out_;
  bool pending_space_ = false;
};

bool IsAsciiAlpha(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
bool IsAsciiAlnum(char c) { return IsAsciiAlpha(c) || (c >= '0' && c <= '9'); }
char LowerAscii(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// Case-insensitive search for `needle` (lower case) from `from`.
size_t FindNoCase(std::string_view s, std::string_view needle, size_t from) {
  if (needle.size() > s.size()) return std::string_view::npos;
  for (size_t i = from; i + needle.size() <= s.size(); ++i) {
    size_t k = 0;
    while (k < needle.size() && LowerAscii(s[i + k]) == needle[k]) ++k;
    if (k == needle.size()) return i;
  }
  return std::string_view::npos;
}

// The Latin-1 entities, U+00A0 to U+00FF in order.
constexpr const char* kLatin1Entities[96] = {
    "nbsp",   "iexcl",  "cent",   "pound",  "curren", "yen",    "brvbar",
    "sect",   "uml",    "copy",   "ordf",   "laquo",  "not",    "shy",
    "reg",    "macr",   "deg",    "plusmn", "sup2",   "sup3",   "acute",
    "micro",  "para",   "middot", "cedil",  "sup1",   "ordm",   "raquo",
    "frac14", "frac12", "frac34", "iquest", "Agrave", "Aacute", "Acirc",
    "Atilde", "Auml",   "Aring",  "AElig",  "Ccedil", "Egrave", "Eacute",
    "Ecirc",  "Euml",   "Igrave", "Iacute", "Icirc",  "Iuml",   "ETH",
    "Ntilde", "Ograve", "Oacute", "Ocirc",  "Otilde", "Ouml",   "times",
    "Oslash", "Ugrave", "Uacute", "Ucirc",  "Uuml",   "Yacute", "THORN",
    "szlig",  "agrave", "aacute", "acirc",  "atilde", "auml",   "aring",
    "aelig",  "ccedil", "egrave", "eacute", "ecirc",  "euml",   "igrave",
    "iacute", "icirc",  "iuml",   "eth",    "ntilde", "ograve", "oacute",
    "ocirc",  "otilde", "ouml",   "divide", "oslash", "ugrave", "uacute",
    "ucirc",  "uuml",   "yacute", "thorn",  "yuml"};

struct NamedEntity {
  const char* name;
  uint32_t code;
};
// Besides Latin-1, the ones mail writers use.
constexpr NamedEntity kOtherEntities[] = {
    {"amp", '&'},       {"lt", '<'},        {"gt", '>'},
    {"quot", '"'},      {"apos", '\''},     {"euro", 0x20AC},
    {"hellip", 0x2026}, {"mdash", 0x2014},  {"ndash", 0x2013},
    {"lsquo", 0x2018},  {"rsquo", 0x2019},  {"sbquo", 0x201A},
    {"ldquo", 0x201C},  {"rdquo", 0x201D},  {"bdquo", 0x201E},
    {"bull", 0x2022},   {"trade", 0x2122},  {"dagger", 0x2020},
    {"Dagger", 0x2021}, {"permil", 0x2030}, {"lsaquo", 0x2039},
    {"rsaquo", 0x203A}, {"ensp", 0x2002},   {"emsp", 0x2003},
    {"thinsp", 0x2009}, {"zwnj", 0x200C},   {"zwj", 0x200D},
    {"OElig", 0x0152},  {"oelig", 0x0153},  {"Scaron", 0x0160},
    {"scaron", 0x0161}, {"Yuml", 0x0178},   {"fnof", 0x0192},
    {"circ", 0x02C6},   {"tilde", 0x02DC},  {"larr", 0x2190},
    {"rarr", 0x2192},   {"uarr", 0x2191},   {"darr", 0x2193},
    {"minus", 0x2212},  {"infin", 0x221E},  {"ne", 0x2260},
    {"le", 0x2264},     {"ge", 0x2265},     {"hearts", 0x2665}};

bool LookUpEntity(std::string_view name, uint32_t* code) {
  for (int i = 0; i < 96; ++i) {
    if (name == kLatin1Entities[i]) {
      *code = 0xA0 + static_cast<uint32_t>(i);
      return true;
    }
  }
  for (const NamedEntity& e : kOtherEntities) {
    if (name == e.name) {
      *code = e.code;
      return true;
    }
  }
  return false;
}

// Decodes the character reference at html[i] == '&'. Returns the number of
// bytes it takes, or 0 when it is no reference (the '&' is then text).
size_t DecodeReference(std::string_view html, size_t i, uint32_t* code) {
  size_t j = i + 1;
  if (j < html.size() && html[j] == '#') {
    ++j;
    int base = 10;
    if (j < html.size() && (html[j] == 'x' || html[j] == 'X')) {
      base = 16;
      ++j;
    }
    const size_t digits_start = j;
    uint32_t value = 0;
    bool too_big = false;
    while (j < html.size()) {
      const char c = html[j];
      int d;
      if (c >= '0' && c <= '9') {
        d = c - '0';
      } else if (base == 16 && c >= 'a' && c <= 'f') {
        d = c - 'a' + 10;
      } else if (base == 16 && c >= 'A' && c <= 'F') {
        d = c - 'A' + 10;
      } else {
        break;
      }
      if (value > 0x10FFFF) {
        too_big = true;
      } else {
        value = value * static_cast<uint32_t>(base) + static_cast<uint32_t>(d);
      }
      ++j;
    }
    if (j == digits_start) return 0;
    if (j < html.size() && html[j] == ';') ++j;
    // As browsers do: nothing that is no character comes through.
    if (too_big || value == 0 || value > 0x10FFFF ||
        (value >= 0xD800 && value <= 0xDFFF)) {
      value = 0xFFFD;
    }
    *code = value;
    return j - i;
  }
  constexpr size_t kLongestName = 8;
  while (j < html.size() && j - i - 1 <= kLongestName && IsAsciiAlnum(html[j]))
    ++j;
  if (j >= html.size() || html[j] != ';' || j == i + 1) return 0;
  if (!LookUpEntity(html.substr(i + 1, j - i - 1), code)) return 0;
  return j + 1 - i;
}

enum class TagKind { kNone, kLineBreak, kBlock, kParagraph, kCell, kPre };

TagKind KindOf(std::string_view name) {
  if (name == "br") return TagKind::kLineBreak;
  if (name == "p" || name == "h1" || name == "h2" || name == "h3" ||
      name == "h4" || name == "h5" || name == "h6" || name == "blockquote" ||
      name == "table" || name == "ul" || name == "ol") {
    return TagKind::kParagraph;
  }
  if (name == "div" || name == "tr" || name == "li" || name == "hr" ||
      name == "dt" || name == "dd" || name == "dl" || name == "section" ||
      name == "article" || name == "header" || name == "footer" ||
      name == "address" || name == "center" || name == "body" ||
      name == "html") {
    return TagKind::kBlock;
  }
  if (name == "td" || name == "th") return TagKind::kCell;
  if (name == "pre") return TagKind::kPre;
  return TagKind::kNone;
}

// Where the tag that starts at html[i] == '<' ends (the offset past its
// '>'), honouring quoted attribute values; npos when it never ends.
size_t TagEnd(std::string_view html, size_t i) {
  char quote = 0;
  for (size_t k = i + 1; k < html.size(); ++k) {
    const char c = html[k];
    if (quote != 0) {
      if (c == quote) quote = 0;
    } else if (c == '"' || c == '\'') {
      quote = c;
    } else if (c == '>') {
      return k + 1;
    }
  }
  // An unbalanced quote: the first '>' ends it after all.
  size_t gt = html.find('>', i + 1);
  return gt == std::string_view::npos ? gt : gt + 1;
}

}  // namespace

std::string HtmlToText(std::string_view html) {
  TextBuilder text;
  int pre_depth = 0;
  size_t i = 0;
  while (i < html.size()) {
    const char c = html[i];
    if (c == '<') {
      if (html.substr(i, 4) == "<!--") {
        size_t end = html.find("-->", i + 4);
        i = end == std::string_view::npos ? html.size() : end + 3;
        continue;
      }
      size_t j = i + 1;
      const bool closing = j < html.size() && html[j] == '/';
      if (closing) ++j;
      const bool markup =
          j < html.size() && (IsAsciiAlpha(html[j]) ||
                              (!closing && (html[j] == '!' || html[j] == '?')));
      const size_t end = markup ? TagEnd(html, i) : std::string_view::npos;
      if (end == std::string_view::npos) {  // a '<' that is text
        text.Text("<");
        ++i;
        continue;
      }
      std::string name;
      while (j < html.size() && IsAsciiAlnum(html[j]) && name.size() < 16) {
        name.push_back(LowerAscii(html[j]));
        ++j;
      }
      i = end;
      if (!closing &&
          (name == "script" || name == "style" || name == "title")) {
        // Their content is no text of the message, up to their end tag.
        const size_t close = FindNoCase(html, "</" + name, i);
        if (close == std::string_view::npos) {
          i = html.size();
        } else {
          const size_t after = TagEnd(html, close);
          i = after == std::string_view::npos ? html.size() : after;
        }
        continue;
      }
      switch (KindOf(name)) {
        case TagKind::kLineBreak:
          text.LineBreak();
          break;
        case TagKind::kParagraph:
          text.Break(2);
          break;
        case TagKind::kBlock:
          text.Break(1);
          break;
        case TagKind::kCell:
          text.Space();
          break;
        case TagKind::kPre:
          text.Break(1);
          pre_depth += closing ? (pre_depth > 0 ? -1 : 0) : 1;
          break;
        case TagKind::kNone:
          break;
      }
      continue;
    }
    if (c == '&') {
      uint32_t code = 0;
      const size_t taken = DecodeReference(html, i, &code);
      if (taken > 0) {
        i += taken;
        if (code == 0xA0) {
          // A no-break space is a space to whoever reads the words.
          text.Text(" ");
        } else {
          std::string utf8;
          AppendUtf8(code, &utf8);
          text.Text(utf8);
        }
        continue;
      }
    }
    if (c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f') {
      if (pre_depth == 0) {
        text.Space();
      } else if (c == '\n') {
        text.LineBreak();
      } else if (c != '\r') {
        text.Text(std::string_view(&html[i], 1));
      }
      ++i;
      continue;
    }
    // A run of plain text up to the next markup or white space.
    size_t run = i + 1;
    while (run < html.size() &&
           std::strchr("<& \t\r\n\f", html[run]) == nullptr) {
      ++run;
    }
    text.Text(html.substr(i, run - i));
    i = run;
  }
  return text.Finish();
}

}  // namespace mail
