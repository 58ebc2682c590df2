// One row of a held folder: read the message, look it up by its digest,
// judge and record it (filter/classify.h), release it when a rule covers it.
#include <strings.h>

#include <algorithm>
#include <string>

#include "device/debug.h"
#include "filter/rule_table.h"
#include "filter/classify.h"
#include "mapi/message_reader.h"
#include "mapi/monitor.h"
#include "mapi/stores.h"
#include "storage/message_db.h"

namespace {

// The body text that follows the subject in a new message's token text: the
// text/plain part of the lowered body when the body carries one (MIME
// headers and markup would only add noise), else the whole lowered body.
std::string TokenBodyText(const std::string& lowered_body) {
  std::string plain;
  if (ExtractMimePart(lowered_body, kMimeTextPlain, &plain)) return plain;
  return lowered_body;
}

void ProcessOneMessage(StoreRecord& record, const SBinary& entry_id,
                       IMAPIFolder* outbox, IMAPIFolder* held) {
  ULONG type = 0;
  IUnknown* opened = nullptr;
  if (held == nullptr ||
      FAILED(held->OpenEntry(entry_id.cb, reinterpret_cast<LPENTRYID>(entry_id.lpb),
                             nullptr, MAPI_BEST_ACCESS, &type, &opened)) ||
      opened == nullptr) {
    device::DebugOut("ProcessMessage : Fatal Error!.\n");
    return;
  }
  if (type != MAPI_MESSAGE) {
    opened->Release();
    device::DebugOut("ProcessMessage : Fatal Error!.\n");
    return;
  }
  IMessage* message = static_cast<IMessage*>(opened);

  MessageFields fields;
  CopyField(fields.store_name, record.name);
  ReadMessageFields(message, &fields);
  // The record keeps the text its field holds; the judgement takes the whole.
  std::string recipients = StoreRecipientsText(record.name, fields.recipients);
  std::string body;
  char reason[256] = {};
  ReadBody(message, &body, reason);

  ClassifyTexts texts;
  texts.store_name = record.name;
  texts.sender = fields.sender;
  texts.recipients = recipients;
  texts.recipients_read = ReadRecipientsForJudging(message);
  texts.held_again = IsHeldAgain(entry_id);
  texts.subject = fields.subject;
  texts.body = body;
  texts.received_date = fields.received_date;
  texts.received_time = fields.received_time;

  std::vector<BYTE> id(entry_id.lpb, entry_id.lpb + entry_id.cb);
  ReleaseMessage release = [&id, &entry_id, held, outbox] {
    // Noted before the move: the outgoing check sees the message arrive.
    NoteReleased(entry_id);
    if (!MoveMessage(static_cast<ULONG>(id.size()), id.data(), held, outbox)) {
      ForgetReleased(entry_id);
    }
  };

  bool recorded = true;
  bool found = false;
  int32_t stored_id = 0;
  int32_t stored_status = 0;
  std::string stored_tokens;
  MAPIExists(record.name, body.c_str(), texts.sender.c_str(),
             texts.recipients.c_str(), texts.subject.c_str(), &found,
             &stored_id, &stored_status, &stored_tokens);
  if (found) {
    // A known message: judged again with its stored tokens. It is released
    // by the judgement when a rule covers it, and only then (a message whose
    // rule was removed stays held instead of going round for ever).
    texts.token_text = stored_tokens;
    ClassifyMessage(false, stored_status, texts, release, &recorded);
  } else {
    if (!body.empty()) texts.lowered_body = LowerAscii(body);
    texts.token_text = MessageTokenText(texts.subject, TokenBodyText(texts.lowered_body));
    if (!texts.recipients.empty() || fields.sender_address[0] != '\0' ||
        !texts.subject.empty() || !body.empty()) {
      ClassifyMessage(true, 0, texts, release, &recorded);
    }
  }
  if (!recorded) {
    // Held but not recorded (a full disk, a store file that cannot be
    // written): the store is scanned again at the next pass.
    device::DebugOut("Record of a held message not written; taken up again\n");
    record.pending.store(1);
  }
  message->Release();
}

}  // namespace

void ProcessMessage(StoreRecord& record, const SRow& row, IMAPIFolder* outbox,
                    IMAPIFolder* held, IMAPITable* /*contents*/) {
  try {
    for (ULONG i = 0; i < row.cValues; ++i) {
      if (row.lpProps[i].ulPropTag != PR_ENTRYID) continue;
      ProcessOneMessage(record, row.lpProps[i].Value.bin, outbox, held);
    }
  } catch (...) {
    device::DebugOut("ProcessMessage : Fatal Error!.\n");
  }
}
