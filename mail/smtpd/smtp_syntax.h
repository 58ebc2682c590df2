// The syntax of the submission session's command arguments, as pure
// functions over the command's text: the paths of MAIL and RCPT with their
// parameters, and the strict base64 of SASL responses. The session
// (smtp_session.h) decides what to answer; these only read.
#ifndef TARNVEX_MAIL_SMTPD_SMTP_SYNTAX_H_
#define TARNVEX_MAIL_SMTPD_SMTP_SYNTAX_H_

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace mail::smtp_syntax {

bool IsDigit(unsigned char c);
// ASCII case-insensitive comparisons.
bool EqualsNoCase(std::string_view a, std::string_view b);
bool StartsNoCase(std::string_view text, std::string_view prefix);

enum class PathError { kNone, kSyntax, kMailbox, kUtf8 };

struct ParsedPath {
  PathError error = PathError::kNone;
  std::string address;  // the bare address; empty for "<>"
  bool null_path = false;
  bool postmaster = false;
  std::string_view rest;  // after the closing '>'
};

// A path of MAIL or RCPT: "<" [source route ":"] mailbox ">" or "<>".
ParsedPath ParsePath(std::string_view s, bool utf8);

// One parameter after a path.
struct Parameter {
  std::string_view keyword;
  std::string_view value;
  bool has_value = false;
};
// Parameters after a path: SP-separated keyword[=value]; nullopt when
// malformed.
std::optional<std::vector<Parameter>> ParseParameters(std::string_view rest);

// Strict base64 ("=" padding optional); nullopt when it is not base64.
std::optional<std::string> DecodeBase64(std::string_view s);

}  // namespace mail::smtp_syntax

#endif  // TARNVEX_MAIL_SMTPD_SMTP_SYNTAX_H_
