// A device image with the message service and a logged-on session, for the
// tests of the program's side of the message stores.
#ifndef TARNVEX_TESTS_SUPPORT_MAPI_FIXTURE_H_
#define TARNVEX_TESTS_SUPPORT_MAPI_FIXTURE_H_

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "device/service/service.h"
#include "hold/message_reader.h"
#include "mapi/mapi.h"
#include "tests/support/temp_image.h"

class MapiTest : public ::testing::Test {
 protected:
  void SetUp() override {
    image_ = std::make_unique<testing_support::TempImage>();
    const base::Status made = device::CreateStore("SMS");
    ASSERT_TRUE(made.ok()) << made.message();
    ASSERT_EQ(MAPILogonEx(0, nullptr, nullptr, 0, &session_), S_OK);
  }
  void TearDown() override {
    if (session_ != nullptr) session_->Release();
    device::CloseMessageService();
    image_.reset();
  }

  int64_t Save(const std::vector<std::u16string>& to,
               const std::u16string& subject, const std::u16string& body,
               int64_t delivery_ms = 0, const std::string& store = "SMS") {
    device::ServiceMessage m;
    m.recipients = to;
    m.subject = subject;
    m.body = body;
    m.sender_name = u"Anna";
    m.sender_address = u"anna@example.org";
    m.delivery_time_ms = delivery_ms;
    const base::StatusOr<int64_t> id = device::SaveOutgoingMessage(store, m);
    EXPECT_TRUE(id.ok()) << id.status().message();
    return id.ok() ? *id : 0;
  }

  static std::vector<uint8_t> MessageEntry(int64_t id) {
    std::vector<uint8_t> bytes(13, 0);
    bytes[4] = 'M';
    for (int i = 0; i < 8; ++i)
      bytes[5 + i] = static_cast<uint8_t>(id >> (8 * i));
    return bytes;
  }

  IMessage* Open(int64_t id) {
    std::vector<uint8_t> entry = MessageEntry(id);
    ULONG type = 0;
    IUnknown* object = nullptr;
    if (FAILED(session_->OpenEntry(static_cast<ULONG>(entry.size()),
                                   reinterpret_cast<LPENTRYID>(entry.data()),
                                   nullptr, 0, &type, &object)) ||
        type != MAPI_MESSAGE) {
      return nullptr;
    }
    return static_cast<IMessage*>(object);
  }

  // The first store of the session's stores table, opened.
  IMsgStore* OpenFirstStore() {
    IMAPITable* table = nullptr;
    EXPECT_EQ(session_->GetMsgStoresTable(MAPI_UNICODE, &table), S_OK);
    LPSRowSet rows = nullptr;
    EXPECT_EQ(table->QueryRows(1, 0, &rows), S_OK);
    IMsgStore* store = nullptr;
    for (ULONG i = 0; i < rows->aRow[0].cValues; ++i) {
      const SPropValue& v = rows->aRow[0].lpProps[i];
      if (v.ulPropTag == PR_ENTRYID) {
        session_->OpenMsgStore(
            0, v.Value.bin.cb, reinterpret_cast<LPENTRYID>(v.Value.bin.lpb),
            nullptr, MDB_NO_DIALOG | MAPI_BEST_ACCESS, &store);
      }
    }
    FreeProws(rows);
    table->Release();
    return store;
  }

  std::unique_ptr<testing_support::TempImage> image_;
  IMAPISession* session_ = nullptr;
};

#endif  // TARNVEX_TESTS_SUPPORT_MAPI_FIXTURE_H_
