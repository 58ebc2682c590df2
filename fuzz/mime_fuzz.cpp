// A message body on its whole way into a new held message's record: the
// body lowered, its text/plain part when it has one, tokenized with the
// subject, the token text parsed as the rule table parses it, the digest
// the record is found by, and the record written and found again with that
// token text. The input is the subject (first line, cut to its field) and
// the body (the rest).
//
// Both extracts of a body with the markers are lower case and no longer than
// the body; the token text never holds a quote and parses into one word per
// space; the digest is 32 lower-case hex digits and the same for the same
// texts; the record gives back the token text it was written with.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "filter/classify.h"
#include "fuzz/fuzz_databases.h"
#include "hold/message_reader.h"
#include "hold/record_message.h"
#include "storage/message_db.h"
#include "text/ascii.h"
#include "text/field.h"
#include "text/md4.h"
#include "text/tokens.h"

namespace {

void CheckDigest(const std::string& text) {
  char digest[kDigestTextSize] = {};
  HashText(text.c_str(), digest);
  if (std::strlen(digest) != kDigestTextSize - 1) std::abort();
  for (const char* p = digest; *p != '\0'; ++p) {
    if (!((*p >= '0' && *p <= '9') || (*p >= 'a' && *p <= 'f'))) std::abort();
  }
  if (HashTextOf(text) != digest) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzzing::FuzzDatabases();
  const std::vector<std::string> f = fuzzing::SplitFields(
      std::string_view(reinterpret_cast<const char*>(data), size), 2);
  const std::string& body = f[1];
  for (const char* marker : {kMimeTextHtml, kMimeTextPlain}) {
    std::string part;
    if (ExtractMimePart(body, marker, &part)) {
      if (part.size() > body.size()) std::abort();
      for (char c : part) {
        if (c >= 'A' && c <= 'Z') std::abort();
      }
    }
  }

  // The texts of a new message as the reader has them.
  MessageFields fields;
  CopyField(fields.store_name, "E-mail");
  CopyField(fields.subject, fuzzing::UpToNul(f[0]));
  CopyField(fields.sender, "Anna <anna@example.org>");
  CopyField(fields.recipients, "bert@example.org");
  fields.body = fuzzing::UpToNul(body);
  if (!fields.body.empty()) fields.lowered_body = LowerAscii(fields.body);
  std::string plain;
  const std::string& text =
      ExtractMimePart(fields.lowered_body, kMimeTextPlain, &plain)
          ? plain
          : fields.lowered_body;
  fields.token_text = MessageTokenText(fields.subject, fuzzing::UpToNul(text));
  const std::string& tokens = fields.token_text;
  if (tokens.find_first_of("'\"") != std::string::npos) std::abort();
  size_t spaces = 0;
  for (char c : tokens) spaces += c == ' ';
  TokenList list;
  if (!ParseTokenText(tokens, &list)) std::abort();
  if (list.size() != spaces) std::abort();
  for (const std::string& word : list) {
    if (word.empty() || LowerAscii(word) != word) std::abort();
  }

  CheckDigest(fields.body);
  CheckDigest(fields.lowered_body);
  const std::string digest = MessageDigest(fields.body.c_str(), fields.sender,
                                           fields.recipients, fields.subject);
  if (digest != MessageDigest(fields.body.c_str(), fields.sender,
                              fields.recipients, fields.subject)) {
    std::abort();
  }

  // Recorded as a held message and found again, by its texts and by its
  // digest, with its token text.
  ClassifyTexts texts;
  texts.store_name = fields.store_name;
  texts.sender = fields.sender;
  texts.recipients = fields.recipients;
  texts.recipients_read.text = fields.recipients;
  texts.subject = fields.subject;
  texts.body = fields.body;
  texts.lowered_body = fields.lowered_body;
  texts.token_text = fields.token_text;
  bool found = false;
  int32_t id = 0, status = -1;
  std::string stored_tokens;
  MAPIExists(fields.store_name, fields.body.c_str(), fields.sender,
             fields.recipients, fields.subject, &found, &id, &status,
             &stored_tokens);
  if (found) return 0;  // known: judged with its stored tokens
  bool recorded = false;
  if (ClassifyMessage(true, 0, texts, {}, &recorded) != 0) std::abort();
  if (!recorded) return 0;
  if (!MAPIExists(fields.store_name, fields.body.c_str(), fields.sender,
                  fields.recipients, fields.subject, &found, &id, &status,
                  &stored_tokens) ||
      !found || status != 0 || stored_tokens != tokens) {
    std::abort();
  }
  bool by_digest = false;
  int32_t digest_id = 0, digest_status = -1;
  if (!ExistsByDigest(fields.store_name, digest, &by_digest, &digest_id,
                      &digest_status) ||
      !by_digest || digest_id != id || digest_status != 0) {
    std::abort();
  }
  std::string record_digest;
  if (!RecordStatus(fields.store_name, id, &status, &record_digest) ||
      record_digest != digest) {
    std::abort();
  }
  return 0;
}
