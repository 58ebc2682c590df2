// The walk of a held folder, newest first, and of each row in it: read the
// message, look it up by its digest, judge and record it
// (hold/record_message.h), release it when a rule covers it.
//
// A message that stays held is remembered with the rule generation it was
// judged under. While that generation lasts, its record is unchanged and it
// is not "held again" any differently, a later pass passes it by without
// opening it: a new hold does not re-read every held message. Should a
// program change the texts or recipients of a message while it lies held,
// it stays held until the rules change (never the other way round): a
// release moves it into the Outbox, where the outgoing check judges it
// afresh, and the device sends nothing the check has not seen.
#include <strings.h>

#include <algorithm>
#include <cassert>
#include <exception>
#include <map>
#include <mutex>
#include <string>
#include <string_view>

#include "base/debug.h"
#include "device/codepage.h"
#include "filter/classify.h"
#include "filter/rule_table.h"
#include "hold/hresult.h"
#include "hold/message_reader.h"
#include "hold/record_message.h"
#include "hold/stores.h"
#include "storage/records.h"
#include "text/field.h"

namespace hold {

// What a held message was judged to be. Its record is looked up again by Id
// before the memory is trusted: a record removed, replaced or set to 1
// meanwhile is judged afresh.
struct Stores::Judged {
  uint64_t generation = 0;
  bool held_again = false;
  int32_t record_id = 0;
  std::string digest;
  uint64_t walk = 0;  // the last walk that met it
};

struct Stores::JudgedMessages {
  base::Mutex lock;
  // By store name, NUL, entry id.
  std::map<std::string, Judged> messages GUARDED_BY(lock);
  std::map<std::string, uint64_t, std::less<>> walks GUARDED_BY(lock);
  // The remembered records of each store as the current walk found them at
  // its start (one read of the store for the whole walk): (status, digest).
  std::map<std::string, std::map<int32_t, std::pair<int32_t, std::string>>,
           std::less<>>
      records GUARDED_BY(lock);
};

Stores::Stores(Env* env, LoopBreaker* releases)
    : env_(env), releases_(releases), judged_(new JudgedMessages) {}

Stores::~Stores() { Close(); }

namespace {

std::string JudgedKey(const char* store_name, const SBinary& entry_id) {
  std::string key(store_name);
  key.push_back('\0');
  if (entry_id.lpb != nullptr) {
    key.append(reinterpret_cast<const char*>(entry_id.lpb), entry_id.cb);
  }
  return key;
}

// The body text that follows the subject in a new message's token text: the
// text/plain part of the lowered body when the body carries one (MIME
// headers and markup would only add noise), else the whole lowered body.
std::string TokenBodyText(const std::string& lowered_body) {
  std::string plain;
  if (ExtractMimePart(lowered_body, kMimeTextPlain, &plain)) return plain;
  return lowered_body;
}

}  // namespace

base::Status Stores::ScanHeldFolder(StoreRecord& record) {
  base::Status fault = env_->Fault(Env::Step::kWalkHeldFolder, record.name);
  if (!fault.ok()) return fault;
  const std::string name(record.name);
  IMsgStore* store = RecordStore(record);
  if (store == nullptr)
    return base::Status::IoError("store " + name + " cannot be opened");

  HeldFolder folders = OpenHeldFolder(store);
  if (!folders.outbox)
    return base::Status::IoError("the Outbox of " + name + " cannot be opened");
  IMAPIFolder* outbox = folders.outbox.get();
  IMAPIFolder* held = folders.held.get();

  Owned<IMAPITable> contents;
  base::Status walked = base::Status::IoError("the held folder of " + name +
                                              " cannot be opened or read");
  // The first message that could not be judged and recorded now.
  base::Status every_message;
  if (held != nullptr && SUCCEEDED(held->GetContentsTable(0, contents.put())) &&
      contents) {
    SizedSPropTagArray(8, columns) = {
        8,
        {PR_ENTRYID, PR_MESSAGE_DELIVERY_TIME, PR_SUBJECT_W, PR_BODY_W,
         PR_SENDER_NAME_W, PR_SENDER_EMAIL_ADDRESS_W,
         PR_RECEIVED_BY_EMAIL_ADDRESS_W, PR_MESSAGE_FLAGS}};
    contents->SetColumns(reinterpret_cast<LPSPropTagArray>(&columns), 0);
    SizedSSortOrderSet(1, order) = {
        1, 0, 0, {{PR_MESSAGE_DELIVERY_TIME, TABLE_SORT_DESCEND}}};
    contents->SortTable(reinterpret_cast<LPSSortOrderSet>(&order), 0);
    ULONG count = 0;
    contents->GetRowCount(0, &count);
    record.row_count = static_cast<int32_t>(count);
    base::DebugOut("%d.", record.row_count);

    BeginHeldWalk(record);
    OwnedRows rows;
    for (int32_t n = 0;;) {
      if (safe_point_ && !safe_point_()) {
        walked = base::Status::Busy("the walk of " + name + " was stopped");
        break;
      }
      if (FAILED(contents->QueryRows(1, 0, rows.put()))) break;
      if (!rows || rows->cRows != 1) {
        if (rows) walked = base::Status::Ok();
        break;
      }
      ++n;
      char progress[kStoreNameSize + 32];
      snprintf(progress, sizeof progress, "%s : %d / %d.", record.name, n,
               record.row_count);
      if (progress_) progress_(progress);
      // The pause that keeps the worker gentle precedes every message it
      // judges; a message already judged under the same rules is passed over
      // at once, so a large held folder costs a new hold almost nothing.
      if (HeldRowStillJudged(record, rows->aRow[0])) continue;
      env_->SleepFor(std::chrono::milliseconds(kHeldRowPauseMs));
      if (safe_point_ && !safe_point_()) {
        walked = base::Status::Busy("the walk of " + name + " was stopped");
        break;
      }
      base::Status processed =
          ProcessMessage(record, rows->aRow[0], outbox, held);
      if (!processed.ok() && every_message.ok())
        every_message = std::move(processed);
    }
    // Every row was met: what the walk did not meet has left the folder.
    if (walked.ok()) EndHeldWalk(record);
  }
  return walked.ok() ? every_message : walked;
}

// True when the message was judged to stay held under the rules as they are
// now and nothing it was judged on has changed since. Runs for every row of
// every walk, so it reads what it can under one lock.
bool Stores::StillJudged(const StoreRecord& record, const SBinary& entry_id) {
  const uint64_t generation = RuleGeneration();
  const bool held_again = releases_->IsHeldAgain(entry_id);
  const std::string_view store_name(record.name);
  int32_t record_id = 0;
  std::string digest;
  {
    JudgedMessages& j = *judged_;
    base::MutexLock guard(&j.lock);
    auto it = j.messages.find(JudgedKey(record.name, entry_id));
    if (it == j.messages.end()) return false;
    Judged& judged = it->second;
    auto walk = j.walks.find(store_name);
    judged.walk = walk != j.walks.end() ? walk->second : 0;
    if (judged.generation != generation || judged.held_again != held_again) {
      return false;
    }
    auto store = j.records.find(store_name);
    if (store != j.records.end()) {
      auto found = store->second.find(judged.record_id);
      if (found != store->second.end()) {
        return found->second.first == 0 &&
               found->second.second == judged.digest;
      }
    }
    record_id = judged.record_id;
    digest = judged.digest;
  }
  // Not read at the walk's start: read on its own.
  int32_t status = -1;
  std::string stored;
  return records::StatusOf(record.name, record_id, &status, &stored) &&
         status == 0 && stored == digest;
}

void Stores::RememberJudged(const StoreRecord& record, const SBinary& entry_id,
                            Judged judged) {
  JudgedMessages& j = *judged_;
  base::MutexLock guard(&j.lock);
  judged.walk = j.walks[record.name];
  j.messages[JudgedKey(record.name, entry_id)] = std::move(judged);
}

void Stores::ForgetJudged(const StoreRecord& record, const SBinary& entry_id) {
  JudgedMessages& j = *judged_;
  base::MutexLock guard(&j.lock);
  j.messages.erase(JudgedKey(record.name, entry_id));
}

// Not ok when the message could not be judged and recorded now (it could
// not be opened, or its body could not be read): the walk is then not whole,
// and the worker makes it again later.
base::Status Stores::ProcessOneMessage(StoreRecord& record,
                                       const SBinary& entry_id,
                                       IMAPIFolder* outbox, IMAPIFolder* held) {
  if (StillJudged(record, entry_id)) return base::Status::Ok();
  ForgetJudged(record, entry_id);
  // Read before the judgement: rules that change meanwhile make another
  // generation, and the message is judged again at the next pass.
  const uint64_t generation = RuleGeneration();
  ULONG type = 0;
  Owned<IUnknown> opened;
  const HRESULT hr =
      held == nullptr
          ? MAPI_E_INVALID_PARAMETER
          : held->OpenEntry(entry_id.cb,
                            reinterpret_cast<LPENTRYID>(entry_id.lpb), nullptr,
                            MAPI_BEST_ACCESS, &type, opened.put());
  // Gone from the folder since its row was read (released, deleted): nothing
  // is left to judge.
  base::Status open = FromHresult(hr, "opening a held message");
  if (open.IsNotFound()) return base::Status::Ok();
  if (open.ok() && !opened) open = base::Status::IoError("no held message");
  if (!open.ok()) {
    base::DebugOut("ProcessMessage : Fatal Error!.\n");
    return open;
  }
  if (type != MAPI_MESSAGE) return base::Status::Ok();  // no message
  Owned<IMessage> owned_message = std::move(opened).As<IMessage>();
  IMessage* message = owned_message.get();

  MessageFields fields;
  CopyField(fields.store_name, record.name);
  RecipientsRead texts_read;
  ReadMessageFields(message, &fields, &texts_read);
  // The record keeps the text its field holds; the judgement takes the whole.
  std::string recipients = StoreRecipientsText(record.name, fields.recipients);
  std::string body;
  char reason[kBodyReasonField] = {};
  const BodyRead body_read = ReadBody(message, &body, reason);
  if (body_read == BodyRead::kFailed) {
    base::DebugOut("Body not read (%s); taken up again\n", reason);
    return base::Status::IoError(std::string("the body of a held message: ") +
                                 reason);
  }

  ClassifyTexts texts;
  texts.store_name = record.name;
  texts.sender = fields.sender;
  texts.recipients = recipients;
  texts.recipients_read = std::move(texts_read);
  texts.held_again = releases_->IsHeldAgain(entry_id);
  texts.subject = fields.subject;
  texts.body = body;
  texts.received_date = fields.received_date;
  texts.received_time = fields.received_time;

  std::vector<BYTE> id(entry_id.lpb, entry_id.lpb + entry_id.cb);
  LoopBreaker* releases = releases_;
  ReleaseMessage release = [&id, &entry_id, &record, held, outbox, releases] {
    // Noted before the move: the outgoing check sees the message arrive.
    releases->NoteReleased(entry_id);
    if (!MoveMessage(static_cast<ULONG>(id.size()), id.data(), held, outbox)
             .ok()) {
      releases->ForgetReleased(entry_id);
      // Its record already says it may go: the store is walked again at the
      // next pass, so the release is made, not left to some later event.
      base::DebugOut("Release not made; taken up again\n");
      record.pending.store(1);
    }
  };

  bool recorded = true;
  int32_t status = -1;
  bool found = false;
  int32_t stored_id = 0;
  int32_t stored_status = 0;
  std::string stored_tokens;
  records::FindMessage(record.name, body.c_str(), texts.sender.c_str(),
                       texts.recipients.c_str(), texts.subject.c_str(), &found,
                       &stored_id, &stored_status, &stored_tokens);
  if (found) {
    // A known message: judged again with its stored tokens. It is released
    // by the judgement when a rule covers it, and only then (a message whose
    // rule was removed stays held instead of going round for ever).
    texts.token_text = stored_tokens;
    status = ClassifyMessage(false, stored_status, texts, release, &recorded);
  } else {
    if (!body.empty()) texts.lowered_body = LowerAscii(body);
    texts.token_text =
        MessageTokenText(texts.subject, TokenBodyText(texts.lowered_body));
    if (!texts.recipients.empty() || fields.sender_address[0] != '\0' ||
        !texts.subject.empty() || !body.empty()) {
      status = ClassifyMessage(true, 0, texts, release, &recorded);
    }
  }
  // Remembered only when it stays held on a reading that cannot come out
  // otherwise next time: the body and every recipient read, the record
  // written. A read that failed is tried again at the next pass.
  if (status == 0 && recorded && texts.recipients_read.whole) {
    Judged judged;
    judged.generation = generation;
    judged.held_again = texts.held_again;
    judged.digest =
        records::DigestOf(body.c_str(), texts.sender.c_str(),
                          texts.recipients.c_str(), texts.subject.c_str());
    bool known = false;
    int32_t stored = -1;
    if (records::FindByDigest(record.name, judged.digest, &known,
                              &judged.record_id, &stored) &&
        stored == 0) {
      RememberJudged(record, entry_id, std::move(judged));
    }
  }
  if (!recorded) {
    // Held but not recorded (a full disk, a store file that cannot be
    // written): the store is scanned again at the next pass.
    base::DebugOut("Record of a held message not written; taken up again\n");
    record.pending.store(1);
  }
  return base::Status::Ok();
}

void Stores::BeginHeldWalk(const StoreRecord& record) {
  JudgedMessages& j = *judged_;
  std::vector<int32_t> ids;
  {
    base::MutexLock guard(&j.lock);
    ++j.walks[record.name];
    j.records.erase(record.name);
    const std::string prefix = std::string(record.name) + '\0';
    for (auto it = j.messages.lower_bound(prefix);
         it != j.messages.end() &&
         it->first.compare(0, prefix.size(), prefix) == 0;
         ++it) {
      ids.push_back(it->second.record_id);
    }
  }
  if (ids.empty()) return;
  std::map<int32_t, std::pair<int32_t, std::string>> records;
  // Not read now: each message's record is read on its own then.
  if (!records::StatusesOf(record.name, ids, &records)) return;
  // Records that are not there are gone: their messages are judged afresh.
  for (int32_t id : ids) records.emplace(id, std::make_pair(-1, std::string()));
  base::MutexLock guard(&j.lock);
  j.records[record.name] = std::move(records);
}

void Stores::EndHeldWalk(const StoreRecord& record) {
  JudgedMessages& j = *judged_;
  base::MutexLock guard(&j.lock);
  j.records.erase(record.name);
  const uint64_t walk = j.walks[record.name];
  const std::string prefix = std::string(record.name) + '\0';
  for (auto it = j.messages.lower_bound(prefix);
       it != j.messages.end() &&
       it->first.compare(0, prefix.size(), prefix) == 0;) {
    if (it->second.walk != walk) {
      it = j.messages.erase(it);
    } else {
      ++it;
    }
  }
}

void Stores::ForgetJudgedMessages() {
  JudgedMessages& j = *judged_;
  base::MutexLock guard(&j.lock);
  j.messages.clear();
  j.walks.clear();
  j.records.clear();
}

size_t Stores::JudgedMessageCount() {
  JudgedMessages& j = *judged_;
  base::MutexLock guard(&j.lock);
  return j.messages.size();
}

bool Stores::HeldRowStillJudged(const StoreRecord& record, const SRow& row) {
  try {
    bool any = false;
    for (ULONG i = 0; i < row.cValues; ++i) {
      if (row.lpProps[i].ulPropTag != PR_ENTRYID) continue;
      if (!StillJudged(record, row.lpProps[i].Value.bin)) return false;
      any = true;
    }
    return any;
  } catch (...) {
    base::DebugCaught("HeldRowStillJudged");
    return false;
  }
}

base::Status Stores::ProcessMessage(StoreRecord& record, const SRow& row,
                                    IMAPIFolder* outbox, IMAPIFolder* held) {
  try {
    base::Status done;
    for (ULONG i = 0; i < row.cValues; ++i) {
      if (row.lpProps[i].ulPropTag != PR_ENTRYID) continue;
      base::Status one =
          ProcessOneMessage(record, row.lpProps[i].Value.bin, outbox, held);
      if (!one.ok() && done.ok()) done = std::move(one);
    }
    return done;
  } catch (...) {
    base::DebugCaught("ProcessMessage : Fatal Error!.");
    return base::Status::IoError("judging a held message failed");
  }
}

}  // namespace hold
