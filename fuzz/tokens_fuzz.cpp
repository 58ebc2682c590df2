// A text on its way to token texts, wherever the program makes them: the
// tokenizer and the parser on any bytes; the same text as a rule's message
// typed into the editor (stored with its token text, found again by it,
// loaded into the rule table with its token list, updated and deleted); and
// as a held message's subject and body (the record keeps its token text).
// The input's first line is the subject, the rest the body and the rule's
// message.
//
// The token text is sorted, distinct, quote-free, never has two adjacent
// spaces, fits its buffer, and parses back into as many words as it holds;
// tokenizing it again gives it back; the rule table's token list of the rule
// is the parse of the token text it was stored with.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "device/clock.h"
#include "filter/classify.h"
#include "filter/rule_table.h"
#include "fuzz/fuzz_databases.h"
#include "hold/message_reader.h"
#include "hold/record_message.h"
#include "storage/calendar.h"
#include "storage/day_lists.h"
#include "storage/records.h"
#include "storage/rules_db.h"
#include "storage/statement.h"
#include "text/ascii.h"
#include "text/field.h"
#include "text/md4.h"
#include "text/tokens.h"

namespace {

// Checks the token text of `text` and returns it.
std::string CheckedTokens(const std::string& text);

// The rule table holds the one rule with the token list of `tokens`.
void CheckRuleTokens(const std::string& tokens) {
  if (RuleCount() != 1) std::abort();
  std::string sender, recipients, message;
  float certainty = 0;
  int32_t id = 0;
  if (!GetRule(0, &sender, &recipients, &message, &certainty, &id))
    std::abort();
  if (certainty != 75.0f) std::abort();
  // The stored message is the typed one with its apostrophes blanked: the
  // same token text.
  if (TokenTextOf(message) != tokens) std::abort();
  int found = 0;
  if (!FindRule(sender.c_str(), recipients.c_str(), tokens.c_str(), &found) ||
      found != id) {
    std::abort();
  }
}

// The typed text as a rule's message: stored, loaded, changed, deleted.
void RuleRoad(const std::string& typed, const std::string& tokens) {
  fuzzing::NoRules();
  const std::string sender = "Anna";
  const std::string recipients = "5550199";
  if (!AddRule(sender.c_str(), recipients.c_str(), typed.c_str(), 75.0f).ok())
    std::abort();
  if (!LoadRules()) std::abort();
  CheckRuleTokens(tokens);
  // The same identity again is an update of the same row.
  if (!AddRule(sender.c_str(), recipients.c_str(), typed.c_str(), 75.9f).ok())
    std::abort();
  if (!LoadRules()) std::abort();
  CheckRuleTokens(tokens);
  // The rule covers its recipients whatever its message, also as a match
  // candidate carrying the message's token list.
  RecipientsRead read{recipients, true};
  if (!RecipientsCovered("SMS", read)) std::abort();
  RuleRecord candidate;
  candidate.Sender = recipients;
  candidate.Message = typed;
  if (!ParseTokenText(tokens, &candidate.Tokens)) std::abort();
  int32_t matched = 0, rule_id = -1;
  const int32_t covers = MatchRecipients(candidate, &matched, &rule_id);
  if (covers != 1 || matched != 1) std::abort();
  // The table's own removal, by the texts as stored in any letter case,
  // changes the judgement; a reload brings the rule back.
  std::string stored_sender, stored_recipients, stored_message;
  float certainty = 0;
  int32_t id = 0;
  if (!GetRule(0, &stored_sender, &stored_recipients, &stored_message,
               &certainty, &id)) {
    std::abort();
  }
  const uint64_t generation = RuleGeneration();
  if (!RemoveRule(stored_sender.c_str(), stored_recipients.c_str(),
                  LowerAscii(stored_message).c_str()) ||
      RuleCount() != 0 || RuleGeneration() == generation) {
    std::abort();
  }
  if (!LoadRules()) std::abort();
  CheckRuleTokens(tokens);
  // The editor's removal: the database row and the table's slot go.
  if (!DeleteRule(sender.c_str(), recipients.c_str(), typed.c_str()).ok())
    std::abort();
  if (RuleCount() != 0) std::abort();
}

// The subject and body as a new held message: the record keeps the token
// text the message got.
void MessageRoad(const std::string& subject, const std::string& body) {
  MessageFields fields;
  CopyField(fields.store_name, "SMS");
  CopyField(fields.subject, subject);
  CopyField(fields.sender, "Anna");
  CopyField(fields.recipients, "5550123");
  fields.body = body;
  if (!body.empty()) fields.lowered_body = LowerAscii(body);
  fields.token_text = MessageTokenText(fields.subject, fields.lowered_body);
  if (fields.token_text !=
      TokenTextOf(std::string(fields.subject) + " " + fields.lowered_body)) {
    std::abort();
  }
  CheckedTokens(fields.token_text);
  ClassifyTexts texts;
  texts.store_name = fields.store_name;
  texts.sender = fields.sender;
  texts.recipients = fields.recipients;
  texts.recipients_read.text = fields.recipients;
  texts.subject = fields.subject;
  texts.body = fields.body;
  texts.lowered_body = fields.lowered_body;
  texts.token_text = fields.token_text;
  ReceivedStamp(device::Now(), &texts.received_date, &texts.received_time);
  bool found = false, recorded = false;
  int32_t id = 0, status = -1;
  std::string stored;
  records::FindMessage("SMS", texts.body.c_str(), texts.sender.c_str(),
                       texts.recipients.c_str(), texts.subject.c_str(), &found,
                       &id, &status, &stored);
  if (found) return;
  ClassifyMessage(true, 0, texts, {}, &recorded);
  if (!recorded) return;
  if (!records::FindMessage("SMS", texts.body.c_str(), texts.sender.c_str(),
                            texts.recipients.c_str(), texts.subject.c_str(),
                            &found, &id, &status, &stored) ||
      !found || stored != fields.token_text) {
    std::abort();
  }
  // The viewer's read of the record gives back its texts, stored with their
  // apostrophes blanked.
  std::string org_message, viewed_subject, message_text;
  if (!records::LoadForView("SMS", id, &org_message, &viewed_subject,
                            &message_text) ||
      org_message != BlankedCopy(texts.body) ||
      viewed_subject != BlankedCopy(texts.subject) ||
      message_text != BlankedCopy(texts.lowered_body)) {
    std::abort();
  }
  // Released later: the record keeps its token text and digest.
  std::string digest;
  if (!records::SetStatus("SMS", id, 1).ok() ||
      !records::StatusOf("SMS", id, &status, &digest) || status != 1 ||
      digest != records::DigestOf(texts.body.c_str(), texts.sender.c_str(),
                                  texts.recipients.c_str(),
                                  texts.subject.c_str())) {
    std::abort();
  }
  bool by_digest = false;
  int32_t digest_id = 0;
  if (!records::FindByDigest("SMS", digest, &by_digest, &digest_id, &status) ||
      !by_digest || digest_id != id || status != 1) {
    std::abort();
  }
  // The browser's list of today's released messages shows it as recorded.
  std::vector<DayRecord> day;
  std::u16string wide_date;
  if (ReadStoreDay("SMS", 0, false, true, &day, &wide_date).ok()) {
    for (const DayRecord& record : day) {
      if (record.id == id && record.sender != texts.sender) std::abort();
    }
  }
}

std::string CheckedTokens(const std::string& text) {
  std::string out;
  TokenizeText(text, &out);
  const char* tokens = out.c_str();
  if (std::strchr(tokens, '\'') || std::strchr(tokens, '"') ||
      std::strstr(tokens, "  ")) {
    std::abort();
  }
  int words = 0;
  const char* previous = nullptr;
  size_t previous_length = 0;
  for (const char* p = tokens; *p != '\0';) {
    const char* space = std::strchr(p, ' ');
    if (space == nullptr) std::abort();  // every word ends with a space
    size_t n = static_cast<size_t>(space - p);
    if (previous != nullptr) {
      int c =
          std::memcmp(previous, p, previous_length < n ? previous_length : n);
      if (c > 0 || (c == 0 && previous_length >= n)) std::abort();
    }
    previous = p;
    previous_length = n;
    ++words;
    p = space + 1;
  }
  TokenList list;
  if (!ParseTokenText(tokens, &list)) std::abort();
  if (list.size() != static_cast<size_t>(words)) std::abort();
  const std::string result(tokens);
  if (TokenTextOf(text) != result) std::abort();  // the same every time
  return result;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzzing::FuzzDatabases();
  std::string text(reinterpret_cast<const char*>(data), size);
  text = text.substr(0, text.find('\0'));
  const std::string tokens = CheckedTokens(text);
  // The parser on raw input too, and the folding and the digest of it.
  TokenList raw;
  if (!ParseTokenText(text, &raw)) std::abort();
  for (const std::string& word : raw) {
    if (word.empty() || word.find(' ') != std::string::npos) std::abort();
    if (!EqualIgnoringAsciiCase(word, LowerAscii(word))) std::abort();
  }
  uint8_t digest[16];
  HashBytes(text.data(), text.size(), digest);
  char hex[kDigestTextSize];
  HashText(text.c_str(), hex);
  static const char kHex[] = "0123456789abcdef";
  for (int i = 0; i < 16; ++i) {
    if (hex[2 * i] != kHex[digest[i] >> 4] ||
        hex[2 * i + 1] != kHex[digest[i] & 15]) {
      std::abort();
    }
  }
  if (HashTextOf(text) != hex) std::abort();

  const std::vector<std::string> f = fuzzing::SplitFields(text, 2);
  RuleRoad(f[1], CheckedTokens(f[1]));
  MessageRoad(f[0], f[1]);
  return 0;
}
