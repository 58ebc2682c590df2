// The Received, Date and Message-ID fields of a message the device takes in.
#include "mail/queue/trace_fields.h"

#include <gmime/gmime.h>

#include "mail/mime/mime_library.h"

namespace mail {
namespace {

// The device's own name in its Received lines.
constexpr char kServerName[] = "localhost";
constexpr char kProgram[] = "tarnvex-device";

// A date field's value of the device clock's local time, by GMime.
std::string DateText(int64_t now_ms) {
  GDateTime* when = g_date_time_new_from_unix_local(now_ms / 1000);
  if (when == nullptr) when = g_date_time_new_now_local();
  char* text = g_mime_utils_header_format_date(when);
  g_date_time_unref(when);
  std::string out = text != nullptr ? text : "";
  g_free(text);
  return out;
}

// The client's EHLO name as a Received line may repeat it: printable
// ASCII without the comment and field delimiters, cut to a bounded length.
std::string TraceName(std::string_view name) {
  std::string out;
  for (unsigned char c : name.substr(0, kMaxTracedHeloName)) {
    const bool plain = c > ' ' && c < 0x7f && c != '(' && c != ')' &&
                       c != '\\' && c != ';' && c != '"';
    out.push_back(plain ? static_cast<char>(c) : '?');
  }
  return out.empty() ? "unknown" : out;
}

// "ESMTP" with "S" for TLS and "A" for a login (RFC 3848).
std::string Protocol(const Reception& how) {
  return std::string("ESMTP") + (how.tls ? "S" : "") +
         (how.authenticated ? "A" : "");
}

}  // namespace

std::string AddedFields(const Reception& how, std::string_view raw,
                        const ReadMail& read, int64_t now_ms,
                        const std::string& domain) {
  const size_t lf = raw.find('\n');
  const std::string nl =
      lf != std::string_view::npos && lf > 0 && raw[lf - 1] == '\r' ? "\r\n"
                                                                    : "\n";
  const std::string date = DateText(now_ms);
  std::string out = "Received: ";
  if (!how.helo.empty() || !how.client_address.empty()) {
    out += "from " + TraceName(how.helo) + " (" + kServerName + " [" +
           TraceName(how.client_address) + "])" + nl + "\tby " + kServerName +
           " (" + kProgram + ") with " + Protocol(how);
  } else {
    out += std::string("by ") + kServerName + " (" + kProgram;
    if (how.uid >= 0) out += ", from userid " + std::to_string(how.uid);
    out += ")";
  }
  out += ";" + nl + "\t" + date + nl;
  if (!read.has_date) out += "Date: " + date + nl;
  if (!read.has_message_id) {
    EnsureMimeLibrary();
    char* id = g_mime_utils_generate_message_id(
        domain.empty() ? kServerName : domain.c_str());
    if (id != nullptr) out += "Message-ID: <" + std::string(id) + ">" + nl;
    g_free(id);
  }
  if (!read.has_header) out += nl;
  return out;
}

}  // namespace mail
