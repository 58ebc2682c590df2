// The one judgement of a message's recipients against the rules, and the
// texts it is judged and recorded by. Judging only: the record of a judged
// message is written by the watch (hold/record_message.h).
#ifndef TARNVEX_FILTER_CLASSIFY_H_
#define TARNVEX_FILTER_CLASSIFY_H_

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "text/ascii.h"  // LowerAscii, which the body check uses

// --- the judgement --------------------------------------------------------
// One judgement of a message's recipients serves both the outgoing check (a
// message arriving in an Outbox) and the scan of a held folder. Were they to
// judge differently, the scan would release what the check holds again, for
// ever.

// A message's recipients as they were read: the addresses joined with ", ",
// narrowed to the device's code page, and whether that text is all of them.
// A read that failed part way, a recipient without an address, or an address
// the code page cannot hold (or one with a NUL inside) makes it not whole.
struct RecipientsRead {
  std::string text;
  bool whole = true;
};

// True for the phone stores, whose numbers are judged and stored without
// blanks: "SMS" and "MMS" in any letter case.
bool IsPhoneStore(std::string_view store_name);

// The recipients text of a message of `store_name` as it is judged, hashed
// and recorded: every space removed for the phone stores, kept for the others
// (so a rule the editor pre-fills from a recorded message covers it).
std::string StoreRecipientsText(std::string_view store_name, std::string text);

// The judgement: true when one rule covers every recipient; *rule_id gets
// its Id (or -1). The whole text is matched, never a cut copy. A read that
// was not whole is never covered: what cannot be read cannot be allowed.
// Without `may_load_rules` an empty rule table is not loaded (the outgoing
// check never waits on the rules database): nothing is covered then.
bool RecipientsCovered(std::string_view store_name, const RecipientsRead& read,
                       int32_t* rule_id = nullptr, bool may_load_rules = true);

// The recipients of a recipients text, one by one: the text split at commas
// and semicolons, blanks around each taken off, empty ones left out.
std::vector<std::string> SplitRecipients(std::string_view text);

// Which of a message's recipients (as SplitRecipients gives them) make it
// held: their indexes, in order. A recipient counts when no rule covers it
// on its own. When each is covered by some rule but no one rule covers them
// all (the judgement asks for one rule), every recipient is named, since the
// message waits for a rule covering them together. Like the outgoing check,
// it never loads the rules itself.
std::vector<size_t> UncoveredRecipients(
    std::string_view store_name, const std::vector<std::string>& recipients);

// The token text of a new message: the tokens of the subject, one space and
// the body text the caller chose (see ProcessMessage).
std::string MessageTokenText(const std::string& subject,
                             const std::string& body_text);

#endif  // TARNVEX_FILTER_CLASSIFY_H_
