// The judgement of a message's recipients against the rule table.
#include "filter/classify.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "base/debug.h"
#include "filter/rule_table.h"
#include "storage/records.h"
#include "text/ascii.h"
#include "text/tokens.h"

bool IsPhoneStore(std::string_view store_name) {
  return EqualIgnoringAsciiCase(store_name, "SMS") ||
         EqualIgnoringAsciiCase(store_name, "MMS");
}

std::string StoreRecipientsText(std::string_view store_name, std::string text) {
  if (IsPhoneStore(store_name)) {
    text.erase(std::remove(text.begin(), text.end(), ' '), text.end());
  }
  return text;
}

bool RecipientsCovered(std::string_view store_name, const RecipientsRead& read,
                       int32_t* rule_id, bool may_load_rules) {
  if (rule_id != nullptr) *rule_id = -1;
  if (!read.whole) {
    base::DebugOut("Recipients not read whole: judged not covered\n");
    return false;
  }
  int32_t matched = 0;
  int32_t id = -1;
  const std::string judged = StoreRecipientsText(store_name, read.text);
  if (MatchRecipientText(judged, &matched, &id, may_load_rules) == 0)
    return false;
  if (rule_id != nullptr) *rule_id = id;
  return true;
}

std::vector<std::string> SplitRecipients(std::string_view text) {
  std::vector<std::string> out;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find_first_of(",;", start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view one = text.substr(start, end - start);
    while (!one.empty() && one.front() == ' ') one.remove_prefix(1);
    while (!one.empty() && one.back() == ' ') one.remove_suffix(1);
    if (!one.empty()) out.emplace_back(one);
    start = end + 1;
  }
  return out;
}

std::vector<size_t> UncoveredRecipients(
    std::string_view store_name, const std::vector<std::string>& recipients) {
  std::vector<size_t> uncovered;
  for (size_t i = 0; i < recipients.size(); ++i) {
    if (!RecipientsCovered(store_name, RecipientsRead{recipients[i], true},
                           nullptr, /*may_load_rules=*/false))
      uncovered.push_back(i);
  }
  if (uncovered.empty()) {
    for (size_t i = 0; i < recipients.size(); ++i) uncovered.push_back(i);
  }
  return uncovered;
}

std::string MessageTokenText(const std::string& subject,
                             const std::string& body_text) {
  std::string tokens;
  if (!TokenizeText(subject + " " + body_text, &tokens)) return "";
  return tokens;
}
