// Composing an RFC 5322 message with GMime from a stored message's fields.
#include "mail/relay/composed_message.h"

#include <gmime/gmime.h>

#include "device/codepage.h"
#include "mail/mime/mime_library.h"
#include "mail/queue/submission.h"

namespace mail {

bool ComposeMessage(const device::ServiceMessage& message, std::string* raw,
                    std::string* envelope_from) {
  EnsureMimeLibrary();
  const std::string sender = device::WideToUtf8(message.sender_address);
  const std::string name = device::WideToUtf8(message.sender_name);
  const bool has_sender = PlausibleAddress(sender);
  *envelope_from = has_sender ? sender : "";

  GMimeMessage* mail = g_mime_message_new(TRUE);
  if (mail == nullptr) return false;
  if (has_sender) {
    g_mime_message_add_mailbox(mail, GMIME_ADDRESS_TYPE_FROM,
                               name != sender ? name.c_str() : nullptr,
                               sender.c_str());
  }
  for (const std::u16string& r : message.recipients) {
    const std::string address = device::WideToUtf8(r);
    if (PlausibleAddress(address)) {
      g_mime_message_add_mailbox(mail, GMIME_ADDRESS_TYPE_TO, nullptr,
                                 address.c_str());
    }
  }
  g_mime_message_set_subject(mail, device::WideToUtf8(message.subject).c_str(),
                             "utf-8");
  const gint64 seconds = message.delivery_time_ms / 1000;
  GDateTime* date = seconds > 0 ? g_date_time_new_from_unix_local(seconds)
                                : g_date_time_new_now_local();
  if (date != nullptr) {
    g_mime_message_set_date(mail, date);
    // The device's hop, as for mail it takes in (trace_fields.h).
    char* when = g_mime_utils_header_format_date(date);
    const std::string received =
        std::string("by localhost (tarnvex-device messaging); ") +
        (when != nullptr ? when : "");
    g_free(when);
    g_mime_object_prepend_header(GMIME_OBJECT(mail), "Received",
                                 received.c_str(), nullptr);
    g_date_time_unref(date);
  }
  const size_t at = sender.rfind('@');
  const std::string domain = has_sender && at != std::string::npos
                                 ? sender.substr(at + 1)
                                 : "localhost";
  char* id = g_mime_utils_generate_message_id(domain.c_str());
  if (id != nullptr) {
    g_mime_message_set_message_id(mail, id);
    g_free(id);
  }
  GMimeTextPart* text = g_mime_text_part_new_with_subtype("plain");
  g_mime_text_part_set_text(text, device::WideToUtf8(message.body).c_str());
  g_mime_part_set_content_encoding(
      GMIME_PART(text), g_mime_part_get_best_content_encoding(
                            GMIME_PART(text), GMIME_ENCODING_CONSTRAINT_7BIT));
  g_mime_message_set_mime_part(mail, GMIME_OBJECT(text));
  g_object_unref(text);

  GMimeFormatOptions* options = g_mime_format_options_new();
  g_mime_format_options_set_newline_format(options, GMIME_NEWLINE_FORMAT_DOS);
  char* written = g_mime_object_to_string(GMIME_OBJECT(mail), options);
  g_mime_format_options_free(options);
  g_object_unref(mail);
  if (written == nullptr) return false;
  *raw = written;
  g_free(written);
  return true;
}

}  // namespace mail
