// Judging a held message and bringing its record up to date (see
// record_message.h for the table of cases).
#include "hold/record_message.h"

#include "base/debug.h"
#include "storage/records.h"

int32_t ClassifyMessage(bool is_new, int32_t stored_status,
                        const ClassifyTexts& texts,
                        const ReleaseMessage& release, bool* recorded) {
  if (recorded != nullptr) *recorded = true;
  if (is_new) {
    base::DebugOut("\n\n%s\n", texts.store_name.c_str());
    base::DebugOut("Sender=%s", texts.sender.c_str());
    base::DebugOut("EMail=%s", texts.recipients.c_str());
    base::DebugOut("Subject=%s", texts.subject.c_str());
    base::DebugOut("Received=%s %s", texts.received_date.c_str(),
                   texts.received_time.c_str());
  }

  // The candidate's recipients are judged whole, exactly as the outgoing
  // check judges them.
  int32_t new_status =
      !texts.held_again &&
              RecipientsCovered(texts.store_name, texts.recipients_read)
          ? 1
          : 0;
  if (texts.held_again) {
    base::DebugOut("Held again right after its release: stays held\n");
  }

  if (is_new || stored_status != new_status) {
    int32_t id = 0;
    if (records::Add(
            texts.store_name.c_str(), texts.sender.c_str(),
            texts.recipients.c_str(), texts.subject.c_str(), texts.body.c_str(),
            texts.lowered_body.c_str(), texts.token_text.c_str(), new_status,
            texts.received_date.c_str(), texts.received_time.c_str(), &id)
            .ok()) {
      base::DebugOut("records::Add Ok.");
      // A known record is not written by the add; its status is set here,
      // both ways (a released message that lost its rule goes back to 0).
      if (new_status == 1 || !is_new) {
        if (!records::SetStatus(texts.store_name.c_str(), id, new_status)
                 .ok() &&
            recorded != nullptr) {
          *recorded = false;
        }
      }
      if (new_status == 0) return 0;
    } else {
      base::DebugOut("ERROR : records::Add.");
      if (recorded != nullptr) *recorded = false;
    }
  }
  if (new_status == 1 && release) release();
  return new_status;
}
