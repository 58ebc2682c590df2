// Reading an RFC 5322 message with GMime into a stored message's texts.
#include "mail/mime/mime_message.h"

#include <gmime/gmime.h>
#include <iconv.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>

#include "device/codepage.h"
#include "mail/mime/mime_library.h"

namespace mail {
namespace {

// Where the top-level header block ends: the offset of its terminating
// empty line ("" or "\r" before the LF), or raw.size() when there is none.
size_t HeaderBlockEnd(std::string_view raw) {
  size_t pos = 0;
  while (pos < raw.size()) {
    size_t nl = raw.find('\n', pos);
    size_t end = nl == std::string_view::npos ? raw.size() : nl;
    if (end == pos || (end == pos + 1 && raw[pos] == '\r')) return pos;
    if (nl == std::string_view::npos) break;
    pos = nl + 1;
  }
  return raw.size();
}

bool IsBccField(std::string_view line) {
  if (line.size() < 3) return false;
  for (size_t i = 0; i < 3; ++i) {
    char c = line[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != "bcc"[i]) return false;
  }
  size_t i = 3;
  while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
  return i < line.size() && line[i] == ':';
}

using device::AppendUtf8;

// Length of the well-formed UTF-8 sequence at s[i] (no overlong forms, no
// surrogates, nothing past U+10FFFF), or 0.
size_t Utf8SequenceLength(std::string_view s, size_t i) {
  const auto b = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char c = b(i);
  if (c < 0x80) return 1;
  size_t len;
  unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
  if (c >= 0xC2 && c <= 0xDF) {
    len = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    len = 3;
    if (c == 0xE0) lo = 0xA0;
    if (c == 0xED) hi = 0x9F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    len = 4;
    if (c == 0xF0) lo = 0x90;
    if (c == 0xF4) hi = 0x8F;
  } else {
    return 0;
  }
  if (i + len > s.size()) return 0;
  if (b(i + 1) < lo || b(i + 1) > hi) return 0;
  for (size_t k = 2; k < len; ++k) {
    if (b(i + k) < 0x80 || b(i + k) > 0xBF) return 0;
  }
  return len;
}

// Valid UTF-8 kept; every byte that is not part of a valid sequence is
// taken as Latin-1, so no byte is lost and the result is always UTF-8.
std::string RepairUtf8(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  size_t i = 0;
  while (i < s.size()) {
    size_t len = Utf8SequenceLength(s, i);
    if (len == 0) {
      AppendUtf8(static_cast<unsigned char>(s[i]), &out);
      ++i;
    } else {
      out.append(s.substr(i, len));
      i += len;
    }
  }
  return out;
}

std::string Latin1ToUtf8(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (char c : s) AppendUtf8(static_cast<unsigned char>(c), &out);
  return out;
}

bool IsUtf8OrAscii(const char* charset) {
  const char* canon = g_mime_charset_canon_name(charset);
  if (canon == nullptr) canon = charset;
  for (const char* name : {"utf-8", "utf8", "us-ascii", "ascii"}) {
    if (g_ascii_strcasecmp(canon, name) == 0) return true;
  }
  return false;
}

// `bytes` in `charset` as UTF-8 with GMime's charset tables. Undeclared,
// ASCII or UTF-8 text keeps its valid UTF-8 and reads other bytes as
// Latin-1; an unknown charset reads every byte as Latin-1; a byte the
// charset cannot decode is read as Latin-1 too. Nothing is dropped.
std::string ToUtf8(std::string_view bytes, const char* charset) {
  if (charset == nullptr || *charset == '\0' || IsUtf8OrAscii(charset)) {
    return RepairUtf8(bytes);
  }
  iconv_t cd = g_mime_iconv_open("UTF-8", charset);
  if (cd == reinterpret_cast<iconv_t>(-1)) return Latin1ToUtf8(bytes);
  iconv(cd, nullptr, nullptr, nullptr, nullptr);
  std::string out;
  char buffer[4096];
  char* in = const_cast<char*>(bytes.data());
  size_t in_left = bytes.size();
  while (in_left > 0) {
    char* o = buffer;
    size_t o_left = sizeof(buffer);
    const size_t r = iconv(cd, &in, &in_left, &o, &o_left);
    const int err = errno;
    out.append(buffer, static_cast<size_t>(o - buffer));
    if (r != static_cast<size_t>(-1) || err == E2BIG || in_left == 0) continue;
    // A byte the charset cannot decode, or a sequence cut off at the end:
    // that byte as Latin-1.
    AppendUtf8(static_cast<unsigned char>(*in), &out);
    ++in;
    --in_left;
  }
  char* o = buffer;  // the shift state's end (stateful charsets)
  size_t o_left = sizeof(buffer);
  iconv(cd, nullptr, nullptr, &o, &o_left);
  out.append(buffer, static_cast<size_t>(o - buffer));
  g_mime_iconv_close(cd);
  return RepairUtf8(out);
}

// Header folding inside an address (a quoted local part spanning lines)
// is no part of it.
std::string CleanAddress(const char* addr) {
  std::string out;
  for (const char* p = addr; *p != '\0'; ++p) {
    if (*p != '\r' && *p != '\n') out.push_back(*p);
  }
  return RepairUtf8(out);
}

// Groups never nest in RFC 5322; a bound keeps a lenient parse harmless.
constexpr int kMaxGroupDepth = 4;

void FlattenAddresses(InternetAddressList* list, int depth,
                      std::vector<std::string>* out) {
  if (list == nullptr || depth > kMaxGroupDepth) return;
  const int count = internet_address_list_length(list);
  for (int i = 0; i < count; ++i) {
    InternetAddress* ia = internet_address_list_get_address(list, i);
    if (INTERNET_ADDRESS_IS_MAILBOX(ia)) {
      const char* addr =
          internet_address_mailbox_get_addr(INTERNET_ADDRESS_MAILBOX(ia));
      if (addr == nullptr) continue;
      std::string clean = CleanAddress(addr);
      if (!clean.empty()) out->push_back(std::move(clean));
    } else if (INTERNET_ADDRESS_IS_GROUP(ia)) {
      FlattenAddresses(
          internet_address_group_get_members(INTERNET_ADDRESS_GROUP(ia)),
          depth + 1, out);
    }
  }
}

InternetAddressMailbox* FirstMailbox(InternetAddressList* list, int depth) {
  if (list == nullptr || depth > kMaxGroupDepth) return nullptr;
  const int count = internet_address_list_length(list);
  for (int i = 0; i < count; ++i) {
    InternetAddress* ia = internet_address_list_get_address(list, i);
    if (INTERNET_ADDRESS_IS_MAILBOX(ia)) return INTERNET_ADDRESS_MAILBOX(ia);
    if (INTERNET_ADDRESS_IS_GROUP(ia)) {
      InternetAddressMailbox* m = FirstMailbox(
          internet_address_group_get_members(INTERNET_ADDRESS_GROUP(ia)),
          depth + 1);
      if (m != nullptr) return m;
    }
  }
  return nullptr;
}

// Parser options shared by every read (GMime only reads them). Raw 8-bit
// header text that is not UTF-8 is read as Latin-1, so no byte is lost.
GMimeParserOptions* ParserOptions() {
  static GMimeParserOptions* const options = [] {
    GMimeParserOptions* o = g_mime_parser_options_new();
    const char* fallback[] = {"UTF-8", "ISO-8859-1", nullptr};
    g_mime_parser_options_set_fallback_charsets(o, fallback);
    return o;
  }();
  return options;
}

GMimeMessage* ParseMessage(std::string_view raw) {
  GMimeStream* stream =
      g_mime_stream_mem_new_with_buffer(raw.data(), raw.size());
  GMimeParser* parser = g_mime_parser_new_with_stream(stream);
  g_object_unref(stream);
  g_mime_parser_set_format(parser, GMIME_FORMAT_MESSAGE);
  GMimeMessage* message =
      g_mime_parser_construct_message(parser, ParserOptions());
  g_object_unref(parser);
  return message;
}

struct TextParts {
  GMimePart* plain = nullptr;
  GMimePart* html = nullptr;
};

// Walks the whole tree (so that depth is checked everywhere) and notes the
// first text/plain and text/html parts that are the message's own text:
// not attachments, and not inside an attached message.
bool WalkParts(GMimeObject* object, int depth, bool in_attached_message,
               TextParts* parts, std::string* error) {
  if (object == nullptr) return true;
  if (depth > kMaxMimeDepth) {
    *error = "MIME parts nested deeper than " + std::to_string(kMaxMimeDepth) +
             " levels";
    return false;
  }
  if (GMIME_IS_MESSAGE_PART(object)) {
    GMimeMessage* inner =
        g_mime_message_part_get_message(GMIME_MESSAGE_PART(object));
    if (inner == nullptr) return true;
    return WalkParts(g_mime_message_get_mime_part(inner), depth + 1, true,
                     parts, error);
  }
  if (GMIME_IS_MULTIPART(object)) {
    GMimeMultipart* multipart = GMIME_MULTIPART(object);
    const int count = g_mime_multipart_get_count(multipart);
    for (int i = 0; i < count; ++i) {
      if (!WalkParts(g_mime_multipart_get_part(multipart, i), depth + 1,
                     in_attached_message, parts, error)) {
        return false;
      }
    }
    return true;
  }
  if (!GMIME_IS_PART(object) || in_attached_message) return true;
  GMimeContentDisposition* disposition =
      g_mime_object_get_content_disposition(object);
  if (disposition != nullptr &&
      g_mime_content_disposition_is_attachment(disposition)) {
    return true;
  }
  GMimeContentType* type = g_mime_object_get_content_type(object);
  if (type == nullptr) return true;
  if (parts->plain == nullptr &&
      g_mime_content_type_is_type(type, "text", "plain")) {
    parts->plain = GMIME_PART(object);
  } else if (parts->html == nullptr &&
             g_mime_content_type_is_type(type, "text", "html")) {
    parts->html = GMIME_PART(object);
  }
  return true;
}

// The part's content with its transfer encoding undone, in its charset.
std::string DecodedContent(GMimePart* part) {
  GMimeDataWrapper* content = g_mime_part_get_content(part);
  if (content == nullptr) return {};
  GMimeStream* stream = g_mime_stream_mem_new();
  g_mime_data_wrapper_write_to_stream(content, stream);
  GByteArray* bytes =
      g_mime_stream_mem_get_byte_array(GMIME_STREAM_MEM(stream));
  std::string out(reinterpret_cast<const char*>(bytes->data), bytes->len);
  g_object_unref(stream);
  return out;
}

// The part as UTF-8 text with LF line ends (CRLF is the transport's).
std::string PartText(GMimePart* part) {
  const char* charset =
      g_mime_object_get_content_type_parameter(GMIME_OBJECT(part), "charset");
  std::string text = ToUtf8(DecodedContent(part), charset);
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    out.push_back(text[i]);
  }
  return out;
}

// --- HTML to text -----------------------------------------------------------

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

bool ReadMessage(std::string_view raw, ReadMail* out, std::string* error) {
  *out = ReadMail();
  error->clear();
  if (raw.size() > kMaxMessageSize) {
    *error = "message of " + std::to_string(raw.size()) +
             " bytes is over the limit of " + std::to_string(kMaxMessageSize) +
             " bytes";
    return false;
  }
  const size_t header_end = HeaderBlockEnd(raw);
  for (size_t i = 0; i < header_end; ++i) {
    if (static_cast<unsigned char>(raw[i]) >= 0x80) {
      out->has_8bit_headers = true;
      break;
    }
  }

  EnsureMimeLibrary();
  GMimeMessage* message = ParseMessage(raw);
  if (message == nullptr) {
    // GMime finds no header block (empty input, or text that does not start
    // with a field, as `echo text | sendmail` gives): read it all as the
    // body of a message without header fields, as sendmail does.
    std::string body_only;
    body_only.reserve(raw.size() + 1);
    body_only.push_back('\n');
    body_only.append(raw);
    message = ParseMessage(body_only);
    out->has_8bit_headers = false;  // there is no header
  } else {
    out->has_header = true;
  }
  if (message == nullptr) {
    *error = "the message could not be read as RFC 5322 mail";
    return false;
  }
  GMimeObject* top = GMIME_OBJECT(message);
  out->has_date = g_mime_object_get_header(top, "Date") != nullptr;
  out->has_message_id = g_mime_object_get_header(top, "Message-ID") != nullptr;

  InternetAddressMailbox* from =
      FirstMailbox(g_mime_message_get_from(message), 0);
  if (from != nullptr) {
    const char* addr = internet_address_mailbox_get_addr(from);
    const char* name = internet_address_get_name(INTERNET_ADDRESS(from));
    if (addr != nullptr) out->from = CleanAddress(addr);
    if (name != nullptr) out->from_name = RepairUtf8(name);
  }
  FlattenAddresses(g_mime_message_get_to(message), 0, &out->to);
  FlattenAddresses(g_mime_message_get_cc(message), 0, &out->cc);
  FlattenAddresses(g_mime_message_get_bcc(message), 0, &out->bcc);
  if (const char* subject = g_mime_message_get_subject(message)) {
    out->subject = RepairUtf8(subject);
  }

  TextParts parts;
  const bool ok =
      WalkParts(g_mime_message_get_mime_part(message), 1, false, &parts, error);
  if (ok) {
    if (parts.plain != nullptr) {
      out->text = PartText(parts.plain);
    } else if (parts.html != nullptr) {
      out->text = HtmlToText(PartText(parts.html));
    }
  }
  g_object_unref(message);
  if (!ok) {
    const bool had_8bit = out->has_8bit_headers;
    *out = ReadMail();
    out->has_8bit_headers = had_8bit;
  }
  return ok;
}

std::string WithoutBcc(std::string_view raw) {
  const size_t header_end = HeaderBlockEnd(raw);
  std::string out;
  out.reserve(raw.size());
  bool dropping = false;
  size_t pos = 0;
  while (pos < header_end) {
    size_t nl = raw.find('\n', pos);
    size_t end =
        nl == std::string_view::npos || nl >= header_end ? header_end : nl + 1;
    std::string_view line = raw.substr(pos, end - pos);
    // A line that begins with white space continues the field before it.
    if (line[0] != ' ' && line[0] != '\t') dropping = IsBccField(line);
    if (!dropping) out.append(line);
    pos = end;
  }
  out.append(raw.substr(header_end));
  return out;
}

bool ParseAddressList(std::string_view header_value,
                      std::vector<std::string>* addresses) {
  addresses->clear();
  if (header_value.find('\0') != std::string_view::npos) return false;
  if (header_value.find_first_not_of(" \t\r\n") == std::string_view::npos) {
    return true;
  }
  EnsureMimeLibrary();
  const std::string value(header_value);
  InternetAddressList* list =
      internet_address_list_parse(ParserOptions(), value.c_str());
  if (list == nullptr) return false;
  const bool any = internet_address_list_length(list) > 0;
  FlattenAddresses(list, 0, addresses);
  g_object_unref(list);
  return any;
}

}  // namespace mail
