// Reading an RFC 5322 message with GMime into a stored message's texts:
// which part is the text, the limits on size and depth.
#include "mail/mime/mime_message.h"

#include <gmime/gmime.h>

#include <string>

#include "mail/mime/charsets.h"
#include "mail/mime/header_fields.h"
#include "mail/mime/mime_library.h"

namespace mail {
namespace {

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

}  // namespace

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

}  // namespace mail
