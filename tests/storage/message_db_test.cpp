// The store and summary message databases on real files in a temporary
// device image: recording, lookup by digest, the day lists, the address part,
// and stores whose file is broken or missing.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <new>
#include <random>
#include <set>
#include <string>
#include <tuple>

#include "device/clock.h"
#include "device/codepage.h"
#include "storage/calendar.h"
#include "storage/day_lists.h"
#include "storage/init.h"
#include "storage/locations.h"
#include "storage/record_connections.h"
#include "storage/records.h"
#include "storage/rules_db.h"
#include "storage/statement.h"
#include "tests/support/temp_image.h"
#include "text/md4.h"

namespace {

class MessageDbTest : public ::testing::Test {
 protected:
  void SetUp() override {
    CloseRulesDb();
    ResetMessageDb();
    ResetInitDatabases();
    storage::ResetLocations();
    image_ = std::make_unique<testing_support::TempImage>();
    FindInstallFolder();
    InitDatabases();
    std::string path, table;
    ASSERT_TRUE(GetMessageDbPath(&path, &table));
    records::PrepareStore("SMS");
    today_ = Today();
  }
  void TearDown() override {
    CloseRulesDb();
    ResetMessageDb();
    image_.reset();
  }

  static std::string Today() {
    std::string narrow;
    DayText(0, &narrow);
    return narrow;
  }

  bool Add(const std::string& subject, int status, int32_t* id,
           const std::string& body = "Body", const std::string& date = "") {
    return records::Add("SMS", "Anna <anna@example.org>", "5550199",
                        subject.c_str(), body.c_str(), body.c_str(), "tok",
                        status, (date.empty() ? today_ : date).c_str(),
                        "10:00:00", id)
        .ok();
  }

  // Host path of a store's database file.
  std::string HostOf(const char* store) {
    return image_->Host(device::Utf8ToWide(StoreDbPath(store)));
  }

  int CountRows(const char* store) {
    sqlite3* db = nullptr;
    EXPECT_TRUE(storage::OpenCeDatabase(StoreDbPath(store).c_str(), &db).ok());
    sqlite3_stmt* stmt = nullptr;
    int count = -1;
    if (sqlite3_prepare_v2(db, "SELECT COUNT(*) FROM Msg;", -1, &stmt,
                           nullptr) == SQLITE_OK &&
        sqlite3_step(stmt) == SQLITE_ROW) {
      count = sqlite3_column_int(stmt, 0);
    }
    sqlite3_finalize(stmt);
    sqlite3_close(db);
    return count;
  }

  std::unique_ptr<testing_support::TempImage> image_;
  std::string today_;
};

TEST_F(MessageDbTest, SameMessageTwiceIsOneRecordWithTheFirstId) {
  EXPECT_EQ(records::MaxStoreId("SMS"), 0);
  int32_t first = 0, second = 0;
  ASSERT_TRUE(Add("Hello", 0, &first));
  EXPECT_EQ(first, 1);
  ASSERT_TRUE(Add("Hello", 1, &second));
  EXPECT_EQ(second, first);
  EXPECT_EQ(CountRows("SMS"), 1);

  bool found = false;
  int32_t id = 0, status = -1;
  std::string tokens;
  ASSERT_TRUE(records::FindMessage("SMS", "Body", "Anna <anna@example.org>",
                                   "5550199", "Hello", &found, &id, &status,
                                   &tokens));
  EXPECT_TRUE(found);
  EXPECT_EQ(id, 1);
  EXPECT_EQ(status, 0);  // the second add changed nothing
  EXPECT_EQ(tokens, "tok");

  ASSERT_TRUE(records::SetStatus("SMS", 1, 1).ok());
  records::FindMessage("SMS", "Body", "Anna <anna@example.org>", "5550199",
                       "Hello", &found, &id, &status, &tokens);
  EXPECT_EQ(status, 1);
}

TEST_F(MessageDbTest, DigestIsTakenBeforeBlankingAndStoredTextsAreBlanked) {
  int32_t a = 0, b = 0;
  ASSERT_TRUE(Add("it's", 0, &a, "don't"));
  ASSERT_TRUE(Add("it s", 0, &b, "don't"));
  EXPECT_NE(a, b);
  EXPECT_EQ(CountRows("SMS"), 2);

  sqlite3* db = nullptr;
  ASSERT_TRUE(storage::OpenCeDatabase(StoreDbPath("SMS").c_str(), &db).ok());
  sqlite3_stmt* stmt = nullptr;
  ASSERT_EQ(sqlite3_prepare_v2(
                db, "SELECT Subject, OrgMessage, Hash FROM Msg ORDER BY Id;",
                -1, &stmt, nullptr),
            SQLITE_OK);
  ASSERT_EQ(sqlite3_step(stmt), SQLITE_ROW);
  EXPECT_STREQ(reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0)),
               "it s");
  EXPECT_STREQ(reinterpret_cast<const char*>(sqlite3_column_text(stmt, 1)),
               "don t");
  EXPECT_EQ(reinterpret_cast<const char*>(sqlite3_column_text(stmt, 2)),
            HashTextOf("don't Anna <anna@example.org> 5550199 it's"));
  ASSERT_EQ(sqlite3_step(stmt), SQLITE_ROW);
  EXPECT_STREQ(reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0)),
               "it s");
  sqlite3_finalize(stmt);
  sqlite3_close(db);
}

TEST_F(MessageDbTest, HostileTextsAreStoredAsTextAndChangeNoStatement) {
  std::string hostile = "x'); DROP TABLE Msg; -- \" ; \x01\x7f\xfe";
  hostile += std::string(10 * 1024, 'q');
  int32_t id = 0;
  ASSERT_TRUE(records::Add("SMS", hostile.c_str(), hostile.c_str(),
                           hostile.c_str(), hostile.c_str(), hostile.c_str(),
                           hostile.c_str(), 0, today_.c_str(), hostile.c_str(),
                           &id)
                  .ok());
  EXPECT_EQ(CountRows("SMS"), 1);
  bool found = false;
  ASSERT_TRUE(records::FindMessage("SMS", hostile.c_str(), hostile.c_str(),
                                   hostile.c_str(), hostile.c_str(), &found,
                                   nullptr, nullptr, nullptr));
  // The day list cuts the time to its 32-byte field.
  std::vector<DayRecord> records;
  ASSERT_TRUE(ReadStoreDay("SMS", 0, true, true, &records, nullptr).ok());
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].time.size(), kDayTimeSize - 1);
  EXPECT_EQ(records[0].subject.size(), records::kSubjectCopySize - 1);
}

TEST_F(MessageDbTest, DayListsByOffsetAndStatus) {
  std::string yesterday;
  DayText(1, &yesterday);
  int32_t id = 0;
  ASSERT_TRUE(Add("blocked today", 0, &id));
  ASSERT_TRUE(Add("normal today", 1, &id));
  ASSERT_TRUE(Add("blocked yesterday", 0, &id, "Body", yesterday));

  std::u16string wide;
  std::vector<DayRecord> records;
  ASSERT_TRUE(ReadStoreDay("SMS", 0, false, false, &records, &wide).ok());
  EXPECT_TRUE(records.empty());
  EXPECT_EQ(wide,
            u"Friday, January 16, 2026");  // the test image's device clock
  ASSERT_TRUE(ReadStoreDay("SMS", 0, true, true, &records, nullptr).ok());
  EXPECT_EQ(records.size(), 2u);
  ASSERT_TRUE(ReadStoreDay("SMS", 0, true, false, &records, nullptr).ok());
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].id, 1);
  EXPECT_EQ(ExtractAddress(records[0].sender), "anna@example.org");
  EXPECT_EQ(records[0].subject, "blocked today");
  EXPECT_EQ(records[0].time, "10:00:00");
  ASSERT_TRUE(ReadStoreDay("SMS", 1, true, true, &records, nullptr).ok());
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].subject, "blocked yesterday");
}

TEST_F(MessageDbTest, ADayOf300RecordsLists256) {
  for (int i = 0; i < 300; ++i) {
    int32_t id = 0;
    ASSERT_TRUE(Add("m" + std::to_string(i), i % 2, &id));
  }
  std::vector<DayRecord> records;
  ASSERT_TRUE(ReadStoreDay("SMS", 0, true, true, &records, nullptr).ok());
  EXPECT_EQ(records.size(), static_cast<size_t>(kMaxDayEntries));
}

TEST_F(MessageDbTest, SummaryDayListReadsTheSummaryTable) {
  std::string path, table;
  ASSERT_TRUE(GetMessageDbPath(&path, &table));
  std::string insert =
      "INSERT INTO Tarnvex VALUES (4, 'Bob', '555', 'hi', 't', '" + today_ +
      "', '09:00', 0);";
  ASSERT_TRUE(ExecOnce(path.c_str(), insert.c_str()).ok());
  CloseSummaryDb();
  std::vector<DayRecord> records;
  ASSERT_TRUE(ReadSummaryDay(0, true, false, &records, nullptr).ok());
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].id, 4);
  EXPECT_EQ(records[0].sender, "Bob");
  EXPECT_EQ(records[0].message, "hi");
  EXPECT_EQ(records[0].time, "09:00");
  EXPECT_EQ(records::MaxSummaryId(), 4);
  ASSERT_TRUE(ReadSummaryDay(0, false, true, &records, nullptr).ok());
  EXPECT_TRUE(records.empty());
}

TEST_F(MessageDbTest, ViewReadsTheLoweredBodyAsMessageText) {
  int32_t id = 0;
  ASSERT_TRUE(records::Add("SMS", "s", "r", "Subj", "Hello World",
                           "hello world", "", 0, today_.c_str(), "t", &id)
                  .ok());
  std::string org, subject, text;
  ASSERT_TRUE(records::LoadForView("SMS", id, &org, &subject, &text));
  EXPECT_EQ(org, "Hello World");
  EXPECT_EQ(subject, "Subj");
  EXPECT_EQ(text, "hello world");
  EXPECT_FALSE(records::LoadForView("SMS", id + 1, &org, &subject, &text));
}

TEST_F(MessageDbTest, BrokenOrMissingStoreFilesFailWithoutHarmingOthers) {
  // A store whose file is random bytes.
  {
    std::ofstream out(HostOf("Broken"), std::ios::binary);
    std::mt19937 random(3);
    for (int i = 0; i < 8192; ++i) out.put(static_cast<char>(random()));
  }
  testing::internal::CaptureStderr();
  EXPECT_EQ(records::MaxStoreId("Broken"), -1);
  int32_t id = 0;
  EXPECT_FALSE(records::Add("Broken", "s", "r", "x", "b", "b", "", 0,
                            today_.c_str(), "t", &id)
                   .ok());
  EXPECT_FALSE(records::SetStatus("Broken", 1, 1).ok());
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("DB Error: "), std::string::npos) << err;
  // The failed lookup says so, but never prints the message's own text.
  bool found = true;
  testing::internal::CaptureStdout();
  EXPECT_FALSE(records::FindMessage("Broken", "private words", "s", "r", "x",
                                    &found, nullptr, nullptr, nullptr));
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("Can't open database: "), std::string::npos) << out;
  EXPECT_EQ(out.find("private words"), std::string::npos) << out;
  EXPECT_FALSE(found);
  std::vector<DayRecord> records;
  EXPECT_TRUE(
      ReadStoreDay("Broken", 0, true, true, &records, nullptr).IsCorrupt());
  EXPECT_TRUE(records.empty());
  std::string a, b, c;
  EXPECT_FALSE(records::LoadForView("Broken", 1, &a, &b, &c));

  // A store in a folder that does not exist (a name with a folder in it).
  testing::internal::CaptureStderr();
  EXPECT_EQ(records::MaxStoreId("NoSuch\\Store"), 0);
  EXPECT_FALSE(records::Add("NoSuch\\Store", "s", "r", "x", "b", "b", "", 0,
                            today_.c_str(), "t", &id)
                   .ok());
  err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("Can't open database: "), std::string::npos) << err;
  EXPECT_TRUE(ReadStoreDay("NoSuch\\Store", 0, true, true, &records, nullptr)
                  .IsIoError());

  // The good store still works.
  ASSERT_TRUE(Add("still fine", 0, &id));
  EXPECT_EQ(id, 1);
}

// What a raw connection to a store or summary file holds: the names of its
// indexes, the CREATE text of a table, and how SQLite runs a lookup.
struct FileFacts {
  std::set<std::string> indexes;
  std::string table_sql;
  std::string plan;
};

FileFacts FactsOf(const std::string& ce_path, const std::string& table,
                  const std::string& lookup) {
  FileFacts facts;
  sqlite3* db = nullptr;
  EXPECT_TRUE(storage::OpenCeDatabase(ce_path.c_str(), &db).ok());
  sqlite3_stmt* stmt = nullptr;
  sqlite3_prepare_v2(
      db, "SELECT type, name, sql FROM sqlite_master WHERE tbl_name = ?;", -1,
      &stmt, nullptr);
  sqlite3_bind_text(stmt, 1, table.c_str(), -1, SQLITE_TRANSIENT);
  while (sqlite3_step(stmt) == SQLITE_ROW) {
    std::string type =
        reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0));
    std::string name =
        reinterpret_cast<const char*>(sqlite3_column_text(stmt, 1));
    const unsigned char* sql = sqlite3_column_text(stmt, 2);
    if (type == "index") facts.indexes.insert(name);
    if (type == "table" && sql != nullptr)
      facts.table_sql = reinterpret_cast<const char*>(sql);
  }
  sqlite3_finalize(stmt);
  std::string explain = "EXPLAIN QUERY PLAN " + lookup;
  if (sqlite3_prepare_v2(db, explain.c_str(), -1, &stmt, nullptr) ==
      SQLITE_OK) {
    while (sqlite3_step(stmt) == SQLITE_ROW) {
      facts.plan += reinterpret_cast<const char*>(sqlite3_column_text(stmt, 3));
      facts.plan += "\n";
    }
  }
  sqlite3_finalize(stmt);
  sqlite3_close(db);
  return facts;
}

TEST_F(MessageDbTest, FilesMadeBeforeGainTheLookupIndexesAndKeepTheirTables) {
  // A store file and a summary file as they were made before the indexes.
  const std::string old_store = StoreDbPath("Old");
  ASSERT_TRUE(ExecOnce(old_store.c_str(), records::kCreateStoreTableSql).ok());
  EXPECT_TRUE(FactsOf(old_store, "Msg", "SELECT 1;").indexes.count("MsgHash") ==
              0);
  std::string summary, table;
  ASSERT_TRUE(GetMessageDbPath(&summary, &table));
  ASSERT_TRUE(ExecOnce(summary.c_str(),
                       ("DROP INDEX " + table + "ReceivedDate;").c_str())
                  .ok());

  // A record's status and digest are read without the index too.
  int32_t early = 0;
  ASSERT_TRUE(records::Add("Old", "s", "r", "early", "b", "b", "", 1,
                           today_.c_str(), "t", &early)
                  .ok());
  int32_t status = -1;
  std::string digest;
  ASSERT_TRUE(records::StatusOf("Old", early, &status, &digest));
  EXPECT_EQ(status, 1);
  EXPECT_FALSE(digest.empty());

  // The next start (the store entered again, the summary table made again).
  records::PrepareStore("Old");
  records::CreateSummaryTable();

  FileFacts store =
      FactsOf(old_store, "Msg", "SELECT Id FROM Msg WHERE Hash = 'x';");
  EXPECT_TRUE(store.indexes.count("MsgHash") == 1);
  EXPECT_TRUE(store.indexes.count("MsgReceivedDate") == 1);
  EXPECT_NE(store.plan.find("USING INDEX MsgHash"), std::string::npos)
      << store.plan;
  // The table itself is the one peers know, statement for statement.
  std::string create = records::kCreateStoreTableSql;
  EXPECT_EQ(store.table_sql + ";", create);
  FileFacts day =
      FactsOf(old_store, "Msg", "SELECT Id FROM Msg WHERE ReceivedDate = 'x';");
  EXPECT_NE(day.plan.find("USING INDEX MsgReceivedDate"), std::string::npos)
      << day.plan;
  FileFacts sum = FactsOf(
      summary, table, "SELECT Id FROM " + table + " WHERE ReceivedDate = 'x';");
  EXPECT_NE(sum.plan.find("USING INDEX " + table + "ReceivedDate"),
            std::string::npos)
      << sum.plan;

  // Status and digest come from the covering index's pages, never from the
  // row (whose long texts lie before them), with the same answer.
  EXPECT_TRUE(store.indexes.count("MsgIdStatusHash") == 1);
  FileFacts by_id =
      FactsOf(old_store, "Msg",
              "SELECT Status, Hash FROM Msg INDEXED BY MsgIdStatusHash WHERE "
              "Id = 1;");
  EXPECT_NE(by_id.plan.find("COVERING INDEX MsgIdStatusHash"),
            std::string::npos)
      << by_id.plan;
  std::string indexed_digest;
  ASSERT_TRUE(records::StatusOf("Old", early, &status, &indexed_digest));
  EXPECT_EQ(status, 1);
  EXPECT_EQ(indexed_digest, digest);

  // Records are still found through the index.
  int32_t id = 0;
  ASSERT_TRUE(records::Add("Old", "s", "r", "x", "b", "b", "", 0,
                           today_.c_str(), "t", &id)
                  .ok());
  bool found = false;
  EXPECT_TRUE(records::FindMessage("Old", "b", "s", "r", "x", &found, nullptr,
                                   nullptr, nullptr));
}

TEST_F(MessageDbTest, KeptConnectionsFollowAFileReplacedOrRemoved) {
  int32_t id = 0;
  ASSERT_TRUE(Add("first", 0, &id));
  ASSERT_EQ(id, 1);
  // Another file put in the store file's place: a copy of the store with a
  // second record, renamed over it while the connection is kept.
  const std::string host = HostOf("SMS");
  std::filesystem::copy_file(host, host + ".new");
  {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open((host + ".new").c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db,
                           "INSERT INTO Msg (Id, Hash, Status, Tokens) VALUES "
                           "(7, 'h', 1, 't');",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(db);
  }
  ASSERT_EQ(std::rename((host + ".new").c_str(), host.c_str()), 0);
  EXPECT_EQ(records::MaxStoreId("SMS"), 7);
  ASSERT_TRUE(Add("second", 0, &id));
  EXPECT_EQ(id, 8);
  EXPECT_EQ(CountRows("SMS"), 3);  // written into the file the path names now

  // The file removed: the next operation makes an empty file, as an open
  // always did, and finds no table there.
  ASSERT_TRUE(std::filesystem::remove(host));
  testing::internal::CaptureStderr();
  EXPECT_EQ(records::MaxStoreId("SMS"), -1);
  EXPECT_FALSE(records::Add("SMS", "s", "r", "x", "b", "b", "", 0,
                            today_.c_str(), "t", &id)
                   .ok());
  testing::internal::GetCapturedStderr();
  EXPECT_TRUE(std::filesystem::exists(host));
  records::PrepareStore("SMS");
  ASSERT_TRUE(Add("again", 0, &id));
  EXPECT_EQ(id, 1);
}

TEST_F(MessageDbTest, AFaultInsideAReadTransactionLeavesNoTransactionOpen) {
  int32_t first = 0;
  ASSERT_TRUE(Add("first", 0, &first));
  std::map<int32_t, std::pair<int32_t, std::string>> records;
  // Out of memory part way through the read of the records.
  records::SetReadFaultForTesting([] { throw std::bad_alloc(); });
  EXPECT_FALSE(records::StatusesOf("SMS", {first}, &records));
  records::SetReadFaultForTesting({});
  EXPECT_TRUE(records.empty());
  // The kept connection is not inside a transaction any more: what it writes
  // next is committed, and another connection sees it.
  int32_t second = 0;
  ASSERT_TRUE(Add("second", 0, &second));
  EXPECT_EQ(CountRows("SMS"), 2);
  ASSERT_TRUE(records::StatusesOf("SMS", {first, second}, &records));
  EXPECT_EQ(records.size(), 2u);
}

TEST_F(MessageDbTest, ManyStoresAtOnceKeepWorking) {
  // More stores than connections are kept: the idle ones are closed and made
  // again when used, and every store keeps its own records.
  const int stores = static_cast<int>(kMaxKeptStoreConnections) + 5;
  for (int round = 0; round < 2; ++round) {
    for (int i = 0; i < stores; ++i) {
      std::string name = "Store" + std::to_string(i);
      if (round == 0) records::PrepareStore(name.c_str());
      int32_t id = 0;
      ASSERT_TRUE(records::Add(name.c_str(), "s", "r",
                               ("n" + std::to_string(round)).c_str(), "b", "b",
                               "", 0, today_.c_str(), "t", &id)
                      .ok());
      EXPECT_EQ(id, round + 1) << name;
    }
  }
}

TEST(ExtractAddressTest, AddressPartOrWholeText) {
  EXPECT_EQ(ExtractAddress("Anna Berg <anna@example.org>"), "anna@example.org");
  EXPECT_EQ(ExtractAddress("anna@example.org"), "anna@example.org");
  EXPECT_EQ(ExtractAddress("a>"), "a");
  EXPECT_EQ(ExtractAddress(">x"), ">x");
  EXPECT_EQ(ExtractAddress(""), "");
  EXPECT_EQ(ExtractAddress("<a> b <c>"), "c");
  EXPECT_EQ(ExtractAddress("x <>"), "");
}

class DayTextTest : public ::testing::Test {
 protected:
  void TearDown() override {
    unsetenv("LC_ALL");
    device::ResetLocaleFromEnvironment();
  }
};

TEST_F(DayTextTest, RealCalendarArithmetic) {
  struct Case {
    int y, m, d, back, want_y, want_m, want_d;
  } cases[] = {
      {2024, 3, 1, 1, 2024, 2, 29},    {2026, 3, 1, 1, 2026, 2, 28},
      {2026, 1, 3, 5, 2025, 12, 29},   {2026, 12, 7, 0, 2026, 12, 7},
      {2026, 12, 7, 400, 2025, 11, 2}, {2000, 3, 1, 1, 2000, 2, 29},
      {1900, 3, 1, 1, 1900, 2, 28},    {2026, 5, 31, 61, 2026, 3, 31},
  };
  for (const Case& c : cases) {
    int y = 0, m = 0, d = 0;
    DaysBefore(c.y, c.m, c.d, c.back, &y, &m, &d);
    EXPECT_EQ(std::make_tuple(y, m, d),
              std::make_tuple(c.want_y, c.want_m, c.want_d))
        << c.y << "-" << c.m << "-" << c.d << " minus " << c.back;
  }
  setenv("LC_ALL", "en_US.UTF-8", 1);
  device::ResetLocaleFromEnvironment();
  EXPECT_EQ(DayTextFrom(2024, 3, 1, 1, nullptr),
            u"Thursday, February 29, 2024");
}

TEST_F(DayTextTest, NarrowingKeepsEveryCharacterAndCutsOnlyWholeOnes) {
  EXPECT_EQ(NarrowDateText(u"a\u0100b"),
            "a\xc4\x80"
            "b");
  EXPECT_EQ(NarrowDateText(u"M\u00e4rz"), "M\xc3\xa4rz");
  EXPECT_EQ(NarrowDateText(std::u16string(u"ab\0cd", 5)), "ab");
  // 200 Cyrillic letters are 400 bytes: cut to whole letters within the field.
  std::string cut = NarrowDateText(std::u16string(200, u'\u0436'));
  EXPECT_EQ(cut.size(), 254u);
  EXPECT_EQ(device::Utf8ToWide(cut), std::u16string(127, u'\u0436'));
  // Times stay readable in the browser's code page.
  EXPECT_EQ(NarrowTimeText(u"7:21:29\u202fPM"), "7:21:29 PM");
}

}  // namespace
