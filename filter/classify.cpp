#include "filter/classify.h"

#include <vector>

#include "device/debug.h"
#include "filter/rule_table.h"
#include "storage/message_db.h"
#include "text/tokens.h"

std::string LowerAscii(const std::string& text) {
  std::string lowered = text;
  for (char& c : lowered) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return lowered;
}

std::string MessageTokenText(const std::string& subject,
                             const std::string& body_text) {
  std::string text = subject + " " + body_text;
  // TokenizeText works in place and needs room for its text and two more.
  std::vector<char> in(text.begin(), text.end());
  in.push_back('\0');
  std::vector<char> out(text.size() + 2, '\0');
  if (!TokenizeText(in.data(), out.data())) return "";
  return std::string(out.data());
}

int32_t ClassifyMessage(bool is_new, int32_t stored_status,
                        const ClassifyTexts& texts,
                        const ReleaseMessage& release) {
  if (is_new) {
    device::DebugOut("\n\n%s\n", texts.store_name.c_str());
    device::DebugOut("Sender=%s", texts.sender.c_str());
    device::DebugOut("EMail=%s", texts.recipients.c_str());
    device::DebugOut("Subject=%s", texts.subject.c_str());
    device::DebugOut("Received=%s %s", texts.received_date.c_str(),
                     texts.received_time.c_str());
  }

  // The candidate's recipients are matched whole: a text cut to a rule
  // field could pass on its first addresses alone.
  int32_t matched = 0;
  int32_t rule_id = -1;
  int32_t new_status =
      MatchRecipientText(texts.recipients, &matched, &rule_id) != 0 ? 1 : 0;

  if (is_new || stored_status != new_status) {
    int32_t id = 0;
    if (MAPIAdd(texts.store_name.c_str(), texts.sender.c_str(),
                texts.recipients.c_str(), texts.subject.c_str(),
                texts.body.c_str(), texts.lowered_body.c_str(),
                texts.token_text.c_str(), new_status,
                texts.received_date.c_str(), texts.received_time.c_str(),
                &id)) {
      device::DebugOut("MAPIAdd Ok.");
      // A known record is not written by the add; its status is set here,
      // both ways (a released message that lost its rule goes back to 0).
      if (new_status == 1 || !is_new) {
        MAPIUpdate(texts.store_name.c_str(), id, new_status);
      }
      if (new_status == 0) return 0;
    } else {
      device::DebugOut("ERROR : MAPIAdd.");
    }
  }
  if (new_status == 1 && release) release();
  return new_status;
}
