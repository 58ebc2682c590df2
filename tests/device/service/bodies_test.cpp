// Message bodies of the service: kept apart from their messages, read whole
// when a message is opened and cut to a preview in contents tables; bodies
// that files made before (or writers that bypass the service) keep in the
// message row itself read the same way.
#include <sqlite3.h>

#include <string>
#include <vector>

#include "device/image.h"
#include "tests/support/mapi_fixture.h"

namespace {

class BodiesTest : public MapiTest {
 protected:
  // The Outbox of the first store, opened for moves.
  IMAPIFolder* Outbox(IMsgStore* store) {
    LPSPropValue id = GetOneProperty(store, PR_IPM_OUTBOX_ENTRYID).release();
    EXPECT_NE(id, nullptr);
    ULONG type = 0;
    IUnknown* object = nullptr;
    EXPECT_EQ(store->OpenEntry(id->Value.bin.cb,
                               reinterpret_cast<LPENTRYID>(id->Value.bin.lpb),
                               nullptr, MAPI_MODIFY, &type, &object),
              S_OK);
    MAPIFreeBuffer(id);
    return static_cast<IMAPIFolder*>(object);
  }
  // The PR_BODY_W of every row of a folder's contents table, by subject.
  std::vector<std::pair<std::u16string, std::u16string>> Previews(
      IMAPIFolder* folder) {
    std::vector<std::pair<std::u16string, std::u16string>> previews;
    IMAPITable* table = nullptr;
    EXPECT_EQ(folder->GetContentsTable(0, &table), S_OK);
    for (;;) {
      LPSRowSet rows = nullptr;
      if (FAILED(table->QueryRows(1, 0, &rows)) || rows == nullptr ||
          rows->cRows == 0) {
        if (rows != nullptr) FreeProws(rows);
        break;
      }
      std::u16string subject, body = u"(none)";
      for (ULONG i = 0; i < rows->aRow[0].cValues; ++i) {
        const SPropValue& v = rows->aRow[0].lpProps[i];
        if (v.ulPropTag == PR_SUBJECT_W) subject = v.Value.lpszW;
        if (v.ulPropTag == PR_BODY_W) body = v.Value.lpszW;
      }
      previews.emplace_back(subject, body);
      FreeProws(rows);
    }
    table->Release();
    return previews;
  }
  std::u16string WholeBody(int64_t id) {
    IMessage* message = Open(id);
    EXPECT_NE(message, nullptr);
    LPSPropValue body = GetOneProperty(message, PR_BODY_W).release();
    std::u16string text = body != nullptr ? body->Value.lpszW : u"(none)";
    if (body != nullptr) MAPIFreeBuffer(body);
    message->Release();
    return text;
  }
};

TEST_F(BodiesTest, WholeWhenOpenedCutInTablesAndUntouchedByMoves) {
  const std::u16string long_body(300, u'\u00e9');
  const int64_t id = Save({u"5550100"}, u"long", long_body);
  IMsgStore* store = OpenFirstStore();
  IMAPIFolder* outbox = Outbox(store);
  auto previews = Previews(outbox);
  ASSERT_EQ(previews.size(), 1u);
  EXPECT_EQ(previews[0].second, std::u16string(255, u'\u00e9'));
  EXPECT_EQ(WholeBody(id), long_body);

  // Moved to another folder and back, the message keeps its whole body.
  IMAPIFolder* aside = nullptr;
  ASSERT_EQ(
      outbox->CreateFolder(FOLDER_GENERIC, const_cast<char16_t*>(u"Aside"),
                           nullptr, nullptr, MAPI_UNICODE, &aside),
      S_OK);
  std::vector<uint8_t> entry = MessageEntry(id);
  SBinary bin = {static_cast<ULONG>(entry.size()), entry.data()};
  ENTRYLIST list = {1, &bin};
  ASSERT_EQ(
      outbox->CopyMessages(&list, nullptr, aside, 0, nullptr, MESSAGE_MOVE),
      S_OK);
  ASSERT_EQ(
      aside->CopyMessages(&list, nullptr, outbox, 0, nullptr, MESSAGE_MOVE),
      S_OK);
  EXPECT_EQ(WholeBody(id), long_body);
  device::ServiceMessage m;
  ASSERT_TRUE(device::GetServiceMessage(id, &m));
  EXPECT_EQ(m.body, long_body);
  aside->Release();
  outbox->Release();
  store->Release();
}

TEST_F(BodiesTest, BodiesKeptInTheMessageRowReadTheSame) {
  const int64_t saved = Save({u"5550100"}, u"saved", u"x");
  // Rows as a file made before keeps them: the body in the message row, and
  // a message without any body.
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(device::MessageServicePath().c_str(), &db), SQLITE_OK);
  const std::string folder =
      "(SELECT folder FROM messages WHERE id = " + std::to_string(saved) + ")";
  ASSERT_EQ(
      sqlite3_exec(
          db,
          ("INSERT INTO messages (folder, subject, body, flags) VALUES (" +
           folder +
           ", 'older', printf('%.300c', 'a'), 0);"
           "INSERT INTO messages (folder, subject, body, flags) VALUES (" +
           folder + ", 'none', NULL, 0);")
              .c_str(),
          nullptr, nullptr, nullptr),
      SQLITE_OK);
  const int64_t older = sqlite3_last_insert_rowid(db) - 1;
  sqlite3_close(db);

  EXPECT_EQ(WholeBody(older), std::u16string(300, u'a'));
  EXPECT_EQ(WholeBody(older + 1), u"(none)");
  IMsgStore* store = OpenFirstStore();
  IMAPIFolder* outbox = Outbox(store);
  auto previews = Previews(outbox);
  ASSERT_EQ(previews.size(), 3u);
  EXPECT_EQ(previews[0].second, u"x");
  EXPECT_EQ(previews[1].second, std::u16string(255, u'a'));
  EXPECT_EQ(previews[2].second, u"(none)");
  outbox->Release();
  store->Release();
}

}  // namespace
