// Rows of the message service's file (<image>/.device/messages.db) as another
// program may have written them: any value of any type in a message's
// columns and its recipients. Read through the messaging interface as the
// filter reads an outgoing message (fields, recipients as judged, body, MIME
// part, token text) and through the device's own reading functions; fixed
// fields stay terminated within their size, and nothing fails on a value.
#include <fuzzer/FuzzedDataProvider.h>
#include <sqlite3.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "device/image.h"
#include "device/service/service.h"
#include "filter/classify.h"
#include "fuzz/fuzz_image.h"
#include "hold/message_reader.h"
#include "mapi/mapi.h"

namespace {

struct Setup {
  int64_t message = 0;
  IMAPISession* session = nullptr;
  sqlite3* other = nullptr;  // the other program's own connection
};

const Setup& Service() {
  static const Setup setup = [] {
    Setup s;
    fuzzing::FuzzImage();
    if (!device::CreateStore("SMS").ok()) std::abort();
    device::ServiceMessage m;
    m.recipients = {u"+41 79 555 01 02"};
    m.subject = u"Hello";
    m.body = u"Hello there";
    const base::StatusOr<int64_t> saved = device::SaveOutgoingMessage("SMS", m);
    if (!saved.ok()) std::abort();
    s.message = *saved;
    if (MAPILogonEx(0, nullptr, nullptr, 0, &s.session) != S_OK) std::abort();
    if (sqlite3_open(device::MessageServicePath().c_str(), &s.other) !=
        SQLITE_OK)
      std::abort();
    sqlite3_busy_timeout(s.other, 5000);
    return s;
  }();
  return setup;
}

// One value of any storage class, as the fuzzer chooses.
void BindAny(FuzzedDataProvider& in, sqlite3_stmt* stmt, int index) {
  switch (in.ConsumeIntegralInRange<int>(0, 4)) {
    case 0:
      sqlite3_bind_null(stmt, index);
      break;
    case 1:
      sqlite3_bind_int64(stmt, index, in.ConsumeIntegral<int64_t>());
      break;
    case 2:
      sqlite3_bind_double(stmt, index, in.ConsumeFloatingPoint<double>());
      break;
    case 3: {
      const std::string text = in.ConsumeRandomLengthString(2048);
      sqlite3_bind_text(stmt, index, text.data(), static_cast<int>(text.size()),
                        SQLITE_TRANSIENT);
      break;
    }
    default: {
      const std::string bytes = in.ConsumeRandomLengthString(2048);
      sqlite3_bind_blob(stmt, index, bytes.data(),
                        static_cast<int>(bytes.size()), SQLITE_TRANSIENT);
      break;
    }
  }
}

void Exec(sqlite3_stmt* stmt) {
  sqlite3_step(
      stmt);  // a constraint may refuse a value: the row stays as it was
  sqlite3_finalize(stmt);
}

void WriteRows(FuzzedDataProvider& in, const Setup& s) {
  sqlite3_stmt* stmt = nullptr;
  sqlite3_prepare_v2(
      s.other,
      "UPDATE messages SET subject = ?, body = ?, sender_name = ?, "
      "sender_address = ?, delivery_time = ?, submit_time = ?, flags = ? "
      "WHERE id = ?;",
      -1, &stmt, nullptr);
  for (int i = 1; i <= 7; ++i) BindAny(in, stmt, i);
  sqlite3_bind_int64(stmt, 8, s.message);
  Exec(stmt);
  sqlite3_prepare_v2(s.other, "DELETE FROM recipients WHERE message = ?;", -1,
                     &stmt, nullptr);
  sqlite3_bind_int64(stmt, 1, s.message);
  Exec(stmt);
  const int count = in.ConsumeIntegralInRange<int>(0, 5);
  for (int i = 0; i < count; ++i) {
    sqlite3_prepare_v2(
        s.other,
        "INSERT INTO recipients (message, position, address) VALUES (?, ?, ?);",
        -1, &stmt, nullptr);
    sqlite3_bind_int64(stmt, 1, s.message);
    BindAny(in, stmt, 2);
    BindAny(in, stmt, 3);
    Exec(stmt);
  }
}

template <size_t N>
void CheckField(const char (&field)[N]) {
  if (strnlen(field, N) >= N) std::abort();
}

void ReadAsTheFilter(const Setup& s) {
  std::vector<uint8_t> entry(13, 0);
  entry[4] = 'M';
  for (int i = 0; i < 8; ++i)
    entry[5 + i] = static_cast<uint8_t>(s.message >> (8 * i));
  ULONG type = 0;
  IUnknown* object = nullptr;
  if (FAILED(s.session->OpenEntry(static_cast<ULONG>(entry.size()),
                                  reinterpret_cast<LPENTRYID>(entry.data()),
                                  nullptr, 0, &type, &object))) {
    return;
  }
  if (type != MAPI_MESSAGE) std::abort();
  IMessage* message = static_cast<IMessage*>(object);
  MessageFields fields;
  ReadMessageFields(message, &fields);
  CheckField(fields.sender);
  CheckField(fields.sender_address);
  CheckField(fields.recipients);
  CheckField(fields.subject);
  CheckField(fields.received_date);
  CheckField(fields.received_time);
  const RecipientsRead recipients = ReadRecipientsForJudging(message);
  StoreRecipientsText("SMS", recipients.text);
  std::string body;
  char reason[kBodyReasonField] = {};
  if (ReadBody(message, &body, reason) != BodyRead::kRead && !body.empty())
    std::abort();
  CheckField(reason);
  std::string part;
  ExtractMimePart(body, kMimeTextHtml, &part);
  ExtractMimePart(body, kMimeTextPlain, &part);
  MessageTokenText(fields.subject, LowerAscii(body));
  message->Release();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const Setup& s = Service();
  FuzzedDataProvider in(data, size);
  WriteRows(in, s);
  ReadAsTheFilter(s);
  device::ServiceMessage read;
  device::GetServiceMessage(s.message, &read);
  device::ListMessages("SMS", "Outbox");
  device::OutboxStates();
  return 0;
}
