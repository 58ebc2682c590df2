// Reading an opened message's properties into the narrow texts the watch
// judges and records.
#include "hold/message_reader.h"

#include <cstring>
#include <limits>
#include <vector>

#include "base/debug.h"
#include "device/clock.h"
#include "device/codepage.h"
#include "storage/calendar.h"
#include "text/ascii.h"
#include "text/field.h"

namespace {

std::string Narrow(const char16_t* wide) {
  return wide != nullptr ? device::WideToAnsi(wide) : std::string();
}

// A text property narrowed, or "" when the message does not have it.
std::string TextOf(IMAPIProp* object, ULONG tag) {
  OwnedProps value = GetOneProperty(object, tag);
  if (!value) return "";
  return Narrow(value->Value.lpszW);
}

}  // namespace

OwnedProps GetOneProperty(IMAPIProp* object, ULONG tag) {
  if (object == nullptr) return {};
  SizedSPropTagArray(1, tags) = {1, {tag}};
  ULONG count = 0;
  OwnedProps values;
  HRESULT hr = object->GetProps(reinterpret_cast<LPSPropTagArray>(&tags),
                                MAPI_UNICODE, &count, values.put());
  if (FAILED(hr) || count != 1 || !values || values[0].ulPropTag != tag) {
    return {};
  }
  return values;
}

std::u16string ReadRecipientsText(IMessage* message, bool* whole) {
  std::u16string text;
  bool all = false;
  if (whole != nullptr) *whole = false;
  if (message == nullptr) return text;
  Owned<IMAPITable> table;
  if (FAILED(message->GetRecipientTable(MAPI_UNICODE, table.put())) || !table) {
    base::DebugOut("Recipient table cannot be read\n");
    return text;
  }
  bool first = true;
  bool rows_whole = true;
  OwnedRows rows;
  for (;;) {
    if (FAILED(table->QueryRows(1, 0, rows.put()))) {
      base::DebugOut("Recipient row cannot be read\n");
      rows_whole = false;
      break;
    }
    if (!rows || rows->cRows != 1) {
      all = rows_whole;
      break;
    }
    const SRow& row = rows->aRow[0];
    bool has_address = false;
    for (ULONG i = 0; i < row.cValues; ++i) {
      const SPropValue& value = row.lpProps[i];
      std::u16string address;
      if (value.ulPropTag == PR_EMAIL_ADDRESS_W &&
          value.Value.lpszW != nullptr) {
        address = value.Value.lpszW;
      } else if (value.ulPropTag == PR_EMAIL_ADDRESS_A &&
                 value.Value.lpszA != nullptr) {
        address = device::AnsiToWide(value.Value.lpszA);
      } else {
        continue;
      }
      if (!first) text += u", ";
      text += address;
      first = false;
      has_address = true;
    }
    if (!has_address) {
      base::DebugOut("Recipient without an address\n");
      rows_whole = false;
    }
  }
  if (whole != nullptr) *whole = all;
  return text;
}

RecipientsRead ReadRecipientsForJudging(IMessage* message,
                                        std::u16string* wide_out) {
  RecipientsRead read;
  bool whole = false;
  std::u16string wide = ReadRecipientsText(message, &whole);
  read.text = device::WideToAnsi(wide);
  // An address the code page cannot hold would be judged as '?'s.
  if (whole && device::AnsiToWide(read.text) != wide) {
    base::DebugOut("Recipients not representable in the code page\n");
    whole = false;
  }
  read.whole = whole;
  if (wide_out != nullptr) *wide_out = std::move(wide);
  return read;
}

void ReadMessageFields(IMessage* message, MessageFields* fields,
                       RecipientsRead* recipients) {
  device::LocalTime now = device::Now();
  fields->sender[0] = fields->sender_address[0] = fields->subject[0] = '\0';
  fields->received_date[0] = fields->received_time[0] = '\0';

  std::string subject = TextOf(message, PR_SUBJECT_W);
  CopyField(fields->subject, subject);
  base::DebugOut("Subject=%s\n", fields->subject);
  CopyField(fields->sender, TextOf(message, PR_SENDER_NAME_W));
  base::DebugOut("Sender=%s\n", fields->sender);
  CopyField(fields->sender_address, TextOf(message, PR_SENDER_EMAIL_ADDRESS_W));

  // One read of the recipients serves the record (the first 4095 units, as
  // the field holds them) and, when asked for, the judgement (all of them).
  std::u16string wide;
  RecipientsRead read = ReadRecipientsForJudging(message, &wide);
  if (wide.size() > kRecipientsUnits - 1) {
    // Never half a surrogate pair: it would narrow to '?'.
    size_t cut = kRecipientsUnits - 1;
    if (wide[cut - 1] >= 0xD800 && wide[cut - 1] <= 0xDBFF) --cut;
    wide.resize(cut);
  }
  CopyField(fields->recipients, device::WideToAnsi(wide));
  if (recipients != nullptr) *recipients = std::move(read);

  // The same day text the day lists look up (one narrowing for both).
  std::string date, time;
  ReceivedStamp(now, &date, &time);
  CopyField(fields->received_date, date);
  CopyField(fields->received_time, time);
}

BodyRead ReadBody(IMessage* message, std::string* body, char* reason) {
  body->clear();
  auto fail = [&](const char* why, BodyRead result) {
    if (reason != nullptr) CopyField(reason, kBodyReasonField, why);
    return result;
  };
  if (message == nullptr)
    return fail("OpenProperty failed.", BodyRead::kFailed);
  Owned<IUnknown> object;
  HRESULT hr =
      message->OpenProperty(PR_BODY_W, &IID_IStream, 0, 0, object.put());
  if (hr == MAPI_E_NOT_FOUND)
    return fail("OpenProperty failed.", BodyRead::kNone);
  if (FAILED(hr) || !object)
    return fail("OpenProperty failed.", BodyRead::kFailed);
  Owned<IStream> stream = std::move(object).As<IStream>();
  if (!stream) return fail("OpenProperty failed.", BodyRead::kFailed);
  STATSTG stat = {};
  if (FAILED(stream->Stat(&stat, STATFLAG_NONAME)))
    return fail("Stat failed.", BodyRead::kFailed);
  if (stat.cbSize == 0) return fail("BodySize failed.", BodyRead::kNone);
  // The read takes its size as a ULONG.
  if (stat.cbSize > std::numeric_limits<ULONG>::max() - 4)
    return fail("BodySize failed.", BodyRead::kFailed);
  const ULONG size = static_cast<ULONG>(stat.cbSize);
  std::vector<char16_t> buffer(size / 2 + 2, 0);
  ULONG read = 0;
  hr = stream->Read(buffer.data(), size, &read);
  stream.reset();
  // A read that failed, or stopped short, is no body: judged and recorded
  // as an empty text it would make a record that the next good read does
  // not find.
  if (FAILED(hr) || read != size)
    return fail("Read failed.", BodyRead::kFailed);
  buffer[read / 2] = 0;
  *body = device::WideToAnsi(buffer.data());
  return BodyRead::kRead;
}

bool ExtractMimePart(const std::string& body, const char* marker,
                     std::string* part) {
  std::string text = LowerAscii(body);
  size_t line_end = text.find("\r\n");
  if (line_end == std::string::npos) return false;
  text.erase(0, line_end + 2);
  size_t at = text.find(marker);
  if (at == std::string::npos) return false;
  size_t header_end = text.find("\r\n\r\n", at);
  if (header_end == std::string::npos) return false;
  text.erase(0, header_end + 4);
  size_t start = text.find_first_not_of("\r\n");
  text.erase(0, start == std::string::npos ? text.size() : start);
  if (text.rfind("<!doctype", 0) == 0 || text.rfind("<html", 0) == 0) {
    *part = text;
    return true;
  }
  // The part ends right before the next boundary line (its last characters
  // are kept).
  size_t boundary = text.find("\r\n--");
  *part = boundary == std::string::npos ? text : text.substr(0, boundary);
  return true;
}
