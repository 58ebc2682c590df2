// Addresses on their whole way through the filter: a rule typed into the
// editor (sender, recipients, message) stored and loaded into the rule table,
// then a message of one of the stores (recipients, sender, body) judged
// against it, recorded, and a rule pre-filled from its record as the editor
// does. The input is those fields one per line, after a first byte that
// picks the store and whether the recipients were read whole.
//
// Checked on the way: ExtractAddress gives a part of its text, every token
// of it found in the text as the match finds tokens; the phone stores' form
// has no blank; a rule whose stored recipients are exactly the judged text
// covers the message; a read that was not whole is never covered; the
// judgement is that of TokensContained against the one rule, the same on a
// second call, and the record keeps the status it gave.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "filter/classify.h"
#include "filter/rule_table.h"
#include "fuzz/fuzz_databases.h"
#include "hold/message_reader.h"
#include "hold/record_message.h"
#include "storage/day_lists.h"
#include "storage/records.h"
#include "text/field.h"

namespace {

void CheckAddress(const std::string& text) {
  const std::string address = ExtractAddress(text);
  if (address.size() > text.size()) std::abort();
  if (text.find(address) == std::string::npos) std::abort();
  const std::string needles = fuzzing::UpToNul(address);
  const std::string haystack = fuzzing::UpToNul(text);
  if (needles.size() <= haystack.size() &&
      haystack.find(needles) != std::string::npos &&
      !TokensContained(needles.c_str(), haystack.c_str())) {
    std::abort();
  }
  for (const char* store : fuzzing::kStores) {
    const std::string stored = StoreRecipientsText(store, address);
    if (IsPhoneStore(store) && stored.find(' ') != std::string::npos)
      std::abort();
  }
}

// The rule in slot 0 as the table holds it.
bool FirstRule(std::string* sender, std::string* recipients, int32_t* id) {
  std::string message;
  float certainty = 0;
  return GetRule(0, sender, recipients, &message, &certainty, id);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  fuzzing::FuzzDatabases();
  const char* store = fuzzing::kStores[data[0] % 3];
  const bool whole = (data[0] & 0x80) == 0;
  const std::vector<std::string> f = fuzzing::SplitFields(
      std::string_view(reinterpret_cast<const char*>(data) + 1, size - 1), 6);
  const std::string& rule_sender = f[0];
  const std::string& rule_recipients = f[1];
  const std::string& rule_message = f[2];
  const std::string& recipients = f[3];
  const std::string& sender = f[4];
  const std::string& body = f[5];
  for (const std::string& text : f) CheckAddress(text);

  // The rule as the editor stores it, and the table loaded from it.
  fuzzing::NoRules();
  const std::string typed_recipients = fuzzing::UpToNul(rule_recipients);
  const bool added =
      AddRule(fuzzing::UpToNul(rule_sender).c_str(), typed_recipients.c_str(),
              fuzzing::UpToNul(rule_message).c_str(), 90.0f)
          .ok();
  if (!LoadRules()) std::abort();
  if (RuleCount() != (added ? 1 : 0)) std::abort();
  std::string stored_sender, stored_recipients;
  int32_t stored_id = -1;
  if (added && !FirstRule(&stored_sender, &stored_recipients, &stored_id))
    std::abort();
  if (stored_recipients.size() != (added ? typed_recipients.size() : 0))
    std::abort();

  // The message as the reader gives it: cut to the fields for the record,
  // whole for the judgement.
  MessageFields fields;
  CopyField(fields.store_name, store);
  CopyField(fields.sender, fuzzing::UpToNul(sender));
  CopyField(fields.recipients, fuzzing::UpToNul(recipients));
  RecipientsRead read{fuzzing::UpToNul(recipients), whole};
  const std::string judged = StoreRecipientsText(store, read.text);

  int32_t rule_id = -2;
  const bool covered = RecipientsCovered(store, read, &rule_id);
  int32_t again_id = -2;
  if (RecipientsCovered(store, read, &again_id) != covered ||
      again_id != rule_id) {
    std::abort();
  }
  if (covered != (whole && added &&
                  TokensContained(judged.c_str(), stored_recipients.c_str())))
    std::abort();
  if (covered && rule_id != stored_id) std::abort();
  if (!covered && rule_id != -1) std::abort();
  if (whole && added && stored_recipients == judged && !covered) std::abort();
  // Without loading, an empty table covers nothing.
  if (!added && RecipientsCovered(store, read, nullptr, false)) std::abort();

  // Recorded as a new held message, then found again with its status.
  ClassifyTexts texts;
  texts.store_name = fields.store_name;
  texts.sender = fields.sender;
  texts.recipients = StoreRecipientsText(store, fields.recipients);
  texts.recipients_read = read;
  texts.subject = "";
  texts.body = fuzzing::UpToNul(body);
  if (!texts.body.empty()) texts.lowered_body = LowerAscii(texts.body);
  texts.token_text = MessageTokenText(texts.subject, texts.lowered_body);
  bool known = false;
  int32_t record_id = 0, record_status = -1;
  std::string record_tokens;
  records::FindMessage(store, texts.body.c_str(), texts.sender.c_str(),
                       texts.recipients.c_str(), texts.subject.c_str(), &known,
                       &record_id, &record_status, &record_tokens);
  bool released = false;
  bool recorded = false;
  const int32_t status = ClassifyMessage(
      !known, known ? record_status : 0, texts, [&] { released = true; },
      &recorded);
  if (status != (covered ? 1 : 0) || released != covered) std::abort();
  if (recorded) {
    bool found = false;
    records::FindMessage(store, texts.body.c_str(), texts.sender.c_str(),
                         texts.recipients.c_str(), texts.subject.c_str(),
                         &found, &record_id, &record_status, &record_tokens);
    if (!found || record_status != status) std::abort();
  }

  // The editor's rule pre-filled from the record: the address parts of its
  // sender and recipients, the lowered body as its message. Removing it
  // again leaves the table as it was.
  const std::string prefill_sender = ExtractAddress(texts.sender);
  const std::string prefill_recipients = ExtractAddress(texts.recipients);
  const int32_t before = RuleCount();
  if (AddRule(prefill_sender.c_str(), prefill_recipients.c_str(),
              texts.lowered_body.c_str(), 50.0f)
          .ok()) {
    LoadRules();
    if (RuleCount() < before) std::abort();
    std::string s, r;
    int32_t id = 0;
    for (int32_t i = 0; i < RuleCount(); ++i) {
      float certainty = 0;
      std::string m;
      if (!GetRule(i, &s, &r, &m, &certainty, &id)) std::abort();
    }
    // The table is read again from the database whatever the delete did.
    base::IgnoreFailure(
        DeleteRule(prefill_sender.c_str(), prefill_recipients.c_str(),
                   texts.lowered_body.c_str()),
        "Deleting the prefilled rule");
  }
  RemoveRule(stored_sender.c_str(), stored_recipients.c_str(),
             fuzzing::UpToNul(rule_message).c_str());
  return 0;
}
