// The rules database on real files in a temporary device image: ids, the
// add-or-update identity, blanking, deletion, result codes and what a hostile
// text can and cannot do to the statements.
#include "storage/rules_db.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "storage/locations.h"
#include "storage/statement.h"
#include "tests/support/temp_image.h"
#include "text/tokens.h"

namespace {

constexpr char16_t kRulesFile[] = u"\\Program Files\\Tarnvex\\dba\\Rules_0.db";
constexpr char16_t kSummaryFile[] =
    u"\\Program Files\\Tarnvex\\dba\\Tarnvex_0.db";

struct Row {
  int id;
  std::string sender, recipients, message, tokens;
  int certainty;
  std::string certainty_type;
  bool operator==(const Row&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Row& r) {
  return os << "{" << r.id << ", '" << r.sender << "', '" << r.recipients
            << "', '" << r.message << "', '" << r.tokens << "', " << r.certainty
            << " " << r.certainty_type << "}";
}

// Hooks standing in for the rule table in memory.
bool g_full = false;
int g_reloads = 0;
bool FakeFull() { return g_full; }
bool FakeReload(const storage::RulesLister&) {
  ++g_reloads;
  return true;
}

class RulesDbTest : public ::testing::Test {
 protected:
  void SetUp() override {
    CloseRulesDb();
    storage::ResetLocations();
    image_ = std::make_unique<testing_support::TempImage>();
    image_->WriteFile(kSummaryFile, "");
    std::string path, table;
    ASSERT_TRUE(GetMessageDbPath(&path, &table));
    CreateRulesTable();
    ASSERT_TRUE(image_->Exists(kRulesFile));
    g_full = false;
    g_reloads = 0;
    storage::RuleTableHooks hooks;
    hooks.full = &FakeFull;
    hooks.reload = &FakeReload;
    storage::SetRuleTableHooks(hooks);
  }
  void TearDown() override {
    storage::SetRuleTableHooks({});
    CloseRulesDb();
    storage::ResetLocations();
  }

  // A connection of the test's own on the rules file.
  sqlite3* Peek() {
    if (peek_ == nullptr) {
      EXPECT_EQ(SQLITE_OK,
                sqlite3_open(image_->Host(kRulesFile).c_str(), &peek_));
      sqlite3_busy_timeout(peek_, 2000);
    }
    return peek_;
  }
  void PeekExec(const char* sql) {
    char* error = nullptr;
    ASSERT_EQ(SQLITE_OK, sqlite3_exec(Peek(), sql, nullptr, nullptr, &error))
        << error;
  }
  std::vector<Row> Rows() {
    std::vector<Row> rows;
    sqlite3_stmt* stmt = nullptr;
    EXPECT_EQ(SQLITE_OK,
              sqlite3_prepare_v2(
                  Peek(),
                  "SELECT Id, Sender, Recipients, Message, Tokens, "
                  "Certainty, typeof(Certainty) FROM Rules ORDER BY Id",
                  -1, &stmt, nullptr));
    auto text = [stmt](int c) {
      const unsigned char* t = sqlite3_column_text(stmt, c);
      return std::string(t ? reinterpret_cast<const char*>(t) : "");
    };
    while (sqlite3_step(stmt) == SQLITE_ROW) {
      rows.push_back({sqlite3_column_int(stmt, 0), text(1), text(2), text(3),
                      text(4), sqlite3_column_int(stmt, 5), text(6)});
    }
    sqlite3_finalize(stmt);
    return rows;
  }
  // Whether a TEMP table made on the rules connection is still there: it
  // lives exactly as long as that connection.
  void MarkConnection() {
    ASSERT_TRUE(ExecRules("CREATE TEMP TABLE Mark (x INT);").ok());
  }
  bool SameConnection() {
    return ExecRules("INSERT INTO Mark VALUES (1);").ok();
  }

  ~RulesDbTest() override { sqlite3_close(peek_); }

  std::unique_ptr<testing_support::TempImage> image_;
  sqlite3* peek_ = nullptr;
};

TEST_F(RulesDbTest, EmptyTableGivesMaxZeroAndFirstRuleIdOne) {
  EXPECT_EQ(0, MaxRuleId());
  ASSERT_TRUE(AddRule("Bob", "555", "Hello", 90.0f).ok());
  EXPECT_EQ(1, NextRuleId());
  ASSERT_TRUE(AddRule("Bob", "666", "Hello", 90.0f).ok());
  EXPECT_EQ(2, MaxRuleId());
  std::vector<Row> rows = Rows();
  ASSERT_EQ(2u, rows.size());
  EXPECT_EQ((Row{1, "Bob", "555", "Hello", "hello ", 90, "integer"}), rows[0]);
  EXPECT_EQ(2, rows[1].id);
}

TEST_F(RulesDbTest, NextRuleNumberIsSetAndOverwrittenBeforeEachInsert) {
  SetNextRuleId(40);
  EXPECT_EQ(40, NextRuleId());
  PeekExec("INSERT INTO Rules VALUES (9, 'a', 'b', 'c', 'c ', 90);");
  ASSERT_TRUE(AddRule("x", "y", "z", 90.0f).ok());
  EXPECT_EQ(10, NextRuleId());
  EXPECT_EQ(10, Rows().back().id);
}

TEST_F(RulesDbTest, CreateOnAnExistingTableChangesNothing) {
  ASSERT_TRUE(AddRule("Bob", "555", "Hello", 90.0f).ok());
  CreateRulesTable();
  EXPECT_EQ(1u, Rows().size());
  sqlite3_stmt* stmt = nullptr;
  ASSERT_EQ(SQLITE_OK,
            sqlite3_prepare_v2(
                Peek(), "SELECT sql FROM sqlite_master WHERE type = 'table'",
                -1, &stmt, nullptr));
  ASSERT_EQ(SQLITE_ROW, sqlite3_step(stmt));
  EXPECT_STREQ(
      "CREATE TABLE Rules (Id INT UNIQUE, Sender TEXT, Recipients TEXT, "
      "Message TEXT, Tokens TEXT, Certainty INT)",
      reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0)));
  EXPECT_EQ(SQLITE_DONE, sqlite3_step(stmt)) << "one table only";
  sqlite3_finalize(stmt);
}

TEST_F(RulesDbTest, SameSenderRecipientsAndTokensUpdateTheRow) {
  ASSERT_TRUE(AddRule("Bob", "555", "Call me later", 50.0f).ok());
  // Case, punctuation, order and repeated words are not kept by the tokens.
  for (const char* again : {"CALL ME LATER", "call, me. later!",
                            "later me call", "call call me me later"}) {
    ASSERT_TRUE(AddRule("Bob", "555", again, 90.0f).ok()) << again;
    std::vector<Row> rows = Rows();
    ASSERT_EQ(1u, rows.size()) << again;
    EXPECT_EQ(1, rows[0].id);
    EXPECT_EQ(again, rows[0].message);
    EXPECT_EQ(90, rows[0].certainty);
  }
  // Another sender or other recipients make another rule.
  ASSERT_TRUE(AddRule("Ann", "555", "call me later", 90.0f).ok());
  ASSERT_TRUE(AddRule("Bob", "556", "call me later", 90.0f).ok());
  EXPECT_EQ(3u, Rows().size());
}

TEST_F(RulesDbTest, ApostrophesAreBlankedButTokensComeFromTheTypedText) {
  ASSERT_TRUE(AddRule("O'Neil", "5'5", "don't", 90.0f).ok());
  std::vector<Row> rows = Rows();
  ASSERT_EQ(1u, rows.size());
  EXPECT_EQ("O Neil", rows[0].sender);
  EXPECT_EQ("5 5", rows[0].recipients);
  EXPECT_EQ("don t", rows[0].message);
  EXPECT_EQ(TokenTextOf("don't"), rows[0].tokens);
  EXPECT_EQ(std::string::npos, rows[0].tokens.find('\''));

  // Typed again, with or without the apostrophe, it is the same rule.
  ASSERT_TRUE(AddRule("O'Neil", "5'5", "Don't!", 80.0f).ok());
  ASSERT_TRUE(AddRule("O Neil", "5 5", "don t", 70.0f).ok());
  rows = Rows();
  ASSERT_EQ(1u, rows.size());
  EXPECT_EQ(70, rows[0].certainty);
  int id = 0;
  EXPECT_TRUE(FindRule("O'Neil", "5'5", TokenTextOf("don't").c_str(), &id));
  EXPECT_EQ(1, id);
}

TEST_F(RulesDbTest, RowsWrittenByPastedStatementsAndByBoundOnesFindEachOther) {
  // As the program once wrote them, with the texts pasted in.
  ASSERT_TRUE(ExecRules("INSERT INTO Rules (Id, Sender, Recipients, Message, "
                        "Tokens, Certainty) VALUES (7, 'O Neil', '555', "
                        "'hi there', 'hi there ', 90);")
                  .ok());
  ASSERT_TRUE(AddRule("O'Neil", "555", "There, hi", 80.0f).ok());
  std::vector<Row> rows = Rows();
  ASSERT_EQ(1u, rows.size());
  EXPECT_EQ((Row{7, "O Neil", "555", "There, hi", "hi there ", 80, "integer"}),
            rows[0]);

  // And the reverse: a pasted lookup and delete find what was bound.
  ASSERT_TRUE(AddRule("Kim's", "777", "it's ok", 90.0f).ok());
  sqlite3_stmt* stmt = nullptr;
  const std::string tokens = TokenTextOf("it's ok");
  const std::string find =
      "SELECT Id FROM Rules WHERE Sender = 'Kim s' AND "
      "Recipients = '777' AND Tokens = '" +
      tokens + "';";
  ASSERT_EQ(SQLITE_OK,
            sqlite3_prepare_v2(Peek(), find.c_str(), -1, &stmt, nullptr));
  ASSERT_EQ(SQLITE_ROW, sqlite3_step(stmt));
  EXPECT_EQ(8, sqlite3_column_int(stmt, 0));
  sqlite3_finalize(stmt);
  ASSERT_TRUE(ExecRules("DELETE FROM Rules WHERE Sender = 'Kim s' AND "
                        "Recipients = '777' AND Message = 'it s ok';")
                  .ok());
  EXPECT_EQ(1u, Rows().size());
}

TEST_F(RulesDbTest, CertaintyIsTruncatedTowardZero) {
  EXPECT_EQ(90, storage::CertaintyToInt(90.0f));
  EXPECT_EQ(90, storage::CertaintyToInt(90.99f));
  EXPECT_EQ(-1, storage::CertaintyToInt(-1.7f));
  EXPECT_EQ(0, storage::CertaintyToInt(std::nanf("")));
  EXPECT_EQ(std::numeric_limits<int32_t>::max(),
            storage::CertaintyToInt(1e20f));
  EXPECT_EQ(std::numeric_limits<int32_t>::min(),
            storage::CertaintyToInt(-1e20f));
  ASSERT_TRUE(AddRule("a", "b", "c", 42.9f).ok());
  EXPECT_EQ(42, Rows()[0].certainty);
}

TEST_F(RulesDbTest, AFullRuleTableRefusesANewRuleButStillUpdates) {
  ASSERT_TRUE(AddRule("Bob", "555", "hello", 50.0f).ok());
  g_full = true;
  EXPECT_FALSE(AddRule("Ann", "666", "new one", 90.0f).ok());
  EXPECT_TRUE(AddRule("Bob", "555", "HELLO", 90.0f).ok());
  std::vector<Row> rows = Rows();
  ASSERT_EQ(1u, rows.size());
  EXPECT_EQ("HELLO", rows[0].message);
  EXPECT_EQ(90, rows[0].certainty);
}

TEST_F(RulesDbTest, DeleteBlanksTypedTextsAndAlwaysReloadsTheTableInMemory) {
  ASSERT_TRUE(AddRule("O'Neil", "555", "don't", 90.0f).ok());
  ASSERT_TRUE(AddRule("Ann", "666", "hi", 90.0f).ok());

  EXPECT_TRUE(DeleteRule("Nobody", "000", "none").ok());  // absent: success
  EXPECT_EQ(2u, Rows().size());
  EXPECT_EQ(1, g_reloads);

  EXPECT_TRUE(DeleteRule("O'Neil", "555", "don't").ok());
  std::vector<Row> rows = Rows();
  ASSERT_EQ(1u, rows.size());
  EXPECT_EQ("Ann", rows[0].sender);
  EXPECT_EQ(2, g_reloads);

  // The statement fails (no table): the table in memory is still read again,
  // so it never keeps a rule the database does not have.
  PeekExec("DROP TABLE Rules;");
  EXPECT_FALSE(DeleteRule("Ann", "666", "hi").ok());
  EXPECT_EQ(3, g_reloads);
}

TEST_F(RulesDbTest, ARefusedStatementKeepsTheConnectionOtherFailuresCloseIt) {
  MarkConnection();
  testing::internal::CaptureStderr();
  const base::Status refused = ExecRules("INSERT INTO Nowhere VALUES (1);");
  EXPECT_TRUE(refused.IsInvalidArgument()) << refused.ToString();
  EXPECT_EQ("no such table: Nowhere", refused.message());
  EXPECT_EQ("", testing::internal::GetCapturedStderr());
  EXPECT_TRUE(SameConnection());

  ASSERT_TRUE(AddRule("Bob", "555", "hello", 90.0f).ok());
  testing::internal::CaptureStderr();
  const base::Status failed =
      ExecRules("INSERT INTO Rules (Id) VALUES (1);");  // UNIQUE Id
  EXPECT_FALSE(failed.ok());
  EXPECT_FALSE(failed.IsInvalidArgument());
  EXPECT_EQ("UNIQUE constraint failed: Rules.Id", failed.message());
  EXPECT_EQ("SQL error: UNIQUE constraint failed: Rules.Id\n",
            testing::internal::GetCapturedStderr());
  EXPECT_FALSE(SameConnection());
  // The next operation reopens it.
  EXPECT_EQ(1, MaxRuleId());
}

TEST_F(RulesDbTest, AMissingRulesTableIsMadeWhenTheFileIsOpened) {
  // A rules file without its table (made anew after the old one was removed,
  // or the table could not be made at start): the opening makes it.
  PeekExec("DROP TABLE Rules;");
  EXPECT_EQ(0, MaxRuleId());
  ASSERT_TRUE(AddRule("a", "b", "c", 90.0f).ok());
  EXPECT_EQ(1u, Rows().size());
}

// A file put in the rules file's place behind the connection's back.
void PutInPlace(const std::string& host, const std::string& content) {
  {
    std::ofstream out(host + ".tmp", std::ios::binary | std::ios::trunc);
    out << content;
  }
  ASSERT_EQ(0, std::rename((host + ".tmp").c_str(), host.c_str()));
}

std::string Junk() {
  std::string junk;
  for (int i = 0; i < 8192; ++i) junk.push_back(static_cast<char>(i * 131));
  return junk;
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// The files the rules file was set aside as.
std::vector<std::string> SetAside(const std::string& host) {
  std::vector<std::string> found;
  const std::filesystem::path p(host);
  for (const auto& entry :
       std::filesystem::directory_iterator(p.parent_path())) {
    const std::string name = entry.path().filename().string();
    if (name.rfind(p.filename().string() + ".damaged-", 0) == 0)
      found.push_back(entry.path().string());
  }
  return found;
}

TEST_F(RulesDbTest, ADamagedRulesFileIsSetAsideOnceAndANewOneMade) {
  std::vector<storage::RulesFileSetAside> told;
  storage::SetRulesFileHandler([&told](const storage::RulesFileSetAside& what) {
    told.push_back(what);
  });
  ASSERT_TRUE(AddRule("Bob", "555", "hello", 90.0f).ok());
  const std::string host = image_->Host(kRulesFile);
  sqlite3_close(peek_);
  peek_ = nullptr;

  // Replaced by a file that is no database while the connection is open.
  const std::string junk = Junk();
  PutInPlace(host, junk);
  testing::internal::CaptureStderr();
  ASSERT_TRUE(AddRule("Ann", "556", "hi", 90.0f).ok());
  testing::internal::GetCapturedStderr();
  ASSERT_EQ(told.size(), 1u);
  EXPECT_EQ(told[0].path, host);
  std::vector<std::string> aside = SetAside(host);
  ASSERT_EQ(aside.size(), 1u);
  EXPECT_EQ(told[0].set_aside_as, aside[0]);
  EXPECT_EQ(ReadAll(aside[0]), junk);  // kept as it was, never deleted
  std::vector<Row> rows = Rows();
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].recipients, "556");
  // Told once: the new file serves every later operation.
  ASSERT_TRUE(AddRule("Cy", "557", "yo", 90.0f).ok());
  EXPECT_EQ(told.size(), 1u);

  // Removed while open: the rules go into a new file at the path, not into
  // the removed one that nobody reads again.
  sqlite3_close(peek_);
  peek_ = nullptr;
  ASSERT_TRUE(std::filesystem::remove(host));
  ASSERT_TRUE(AddRule("Di", "558", "ok", 90.0f).ok());
  rows = Rows();
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].recipients, "558");
  EXPECT_EQ(told.size(), 1u);  // nothing was damaged
  storage::SetRulesFileHandler({});
}

TEST_F(RulesDbTest, ARulesFileDamagedBeforeTheFirstOpenIsSetAsideAtOnce) {
  std::vector<storage::RulesFileSetAside> told;
  storage::SetRulesFileHandler([&told](const storage::RulesFileSetAside& what) {
    told.push_back(what);
  });
  CloseRulesDb();
  const std::string host = image_->Host(kRulesFile);
  // A database whose pages are damaged past its header.
  ASSERT_TRUE(AddRule("Bob", "555", "hello", 90.0f).ok());
  CloseRulesDb();
  sqlite3_close(peek_);
  peek_ = nullptr;
  std::string bytes = ReadAll(host);
  ASSERT_GE(bytes.size(), 8192u);
  for (size_t i = 4096 + 8; i < 8192; ++i) bytes[i] = '\xff';
  PutInPlace(host, bytes);
  testing::internal::CaptureStderr();
  EXPECT_EQ(0, MaxRuleId());  // a new, empty rules table
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("set aside"), std::string::npos) << err;
  ASSERT_EQ(told.size(), 1u);
  EXPECT_EQ(ReadAll(told[0].set_aside_as), bytes);
  storage::SetRulesFileHandler({});
}

TEST_F(RulesDbTest, OneStatementPerCall) {
  ASSERT_TRUE(AddRule("Bob", "555", "hello", 90.0f).ok());
  EXPECT_TRUE(
      ExecRules("DELETE FROM Rules; DROP TABLE Rules;").IsInvalidArgument());
  EXPECT_EQ(1u, Rows().size()) << "neither statement may run";
  // Trailing blanks, semicolons and comments are not a second statement.
  EXPECT_TRUE(ExecRules("UPDATE Rules SET Certainty = 5; ;  -- done\n").ok());
  EXPECT_EQ(5, Rows()[0].certainty);
}

TEST_F(RulesDbTest, AnUnopenableFileFailsEveryOperation) {
  TearDown();
  image_.reset();  // before the next image, whose root it would clear
  image_ = std::make_unique<testing_support::TempImage>();
  // No database folder and no rules file: the path is the bare file name,
  // which names no place on the device.
  testing::internal::CaptureStderr();
  EXPECT_FALSE(OpenRulesDb().ok());
  EXPECT_EQ(-1, MaxRuleId());
  int id = 5;
  EXPECT_FALSE(FindRule("a", "b", "c", &id));
  EXPECT_FALSE(AddRule("a", "b", "c", 90.0f).ok());
  EXPECT_FALSE(UpdateRule(1, "a", "b", "c", "c ", 90.0f).ok());
  EXPECT_FALSE(DeleteRule("a", "b", "c").ok());
  EXPECT_TRUE(ExecRules("DELETE FROM Rules;").IsIoError());
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(0u, err.find("Can't open database: ")) << err;
  EXPECT_EQ(5, id);
}

// Every statement that ran on the rules connection, by its text.
int Trace(unsigned type, void* context, void* stmt, void*) {
  if (type == SQLITE_TRACE_STMT) {
    static_cast<std::vector<std::string>*>(context)->push_back(
        sqlite3_sql(static_cast<sqlite3_stmt*>(stmt)));
  }
  return 0;
}

TEST_F(RulesDbTest, HostileTextsAreStoredAsDataAndRunNothingElse) {
  PeekExec(
      "CREATE TABLE Canary (x TEXT); INSERT INTO Canary VALUES ('alive');");
  std::vector<std::string> ran;
  ASSERT_TRUE(storage::QueryRules("SELECT 1;", [&ran](sqlite3_stmt* stmt) {
                sqlite3_trace_v2(sqlite3_db_handle(stmt), SQLITE_TRACE_STMT,
                                 &Trace, &ran);
                return false;
              }).ok());

  std::string binary;
  for (int c = 1; c < 256; ++c) binary += static_cast<char>(c);
  const std::vector<std::string> hostile = {
      "x'); DROP TABLE Canary; --",
      "\"; DELETE FROM Rules; --",
      "a' OR '1'='1",
      "'; INSERT INTO Rules VALUES (99, 'p', 'p', 'p', 'p ', 1); --",
      "semi;colon;;--dash",
      binary,
      std::string(10 * 1024, 'q') + "';--",
  };
  const std::string insert =
      storage::WithTableName(storage::kInsertRuleSql, "Rules");
  const std::string find =
      storage::WithTableName(storage::kFindRuleSql, "Rules");
  const std::string max =
      storage::WithTableName(storage::kMaxRuleIdSql, "Rules");
  const std::string del =
      storage::WithTableName(storage::kDeleteRuleSql, "Rules");

  std::vector<Row> expected;
  for (size_t i = 0; i < hostile.size(); ++i) {
    const std::string& h = hostile[i];
    ran.clear();
    ASSERT_TRUE(AddRule(h.c_str(), h.c_str(), h.c_str(), 90.0f).ok()) << i;
    EXPECT_EQ((std::vector<std::string>{find, max, insert}), ran) << i;
    const std::string blanked = BlankedCopy(h);
    expected.push_back(Row{static_cast<int>(i + 1), blanked, blanked, blanked,
                           TokenTextOf(h), 90, "integer"});

    int id = 0;
    ran.clear();
    EXPECT_TRUE(FindRule(h.c_str(), h.c_str(), TokenTextOf(h).c_str(), &id))
        << i;
    EXPECT_EQ(static_cast<int>(i + 1), id);
    EXPECT_EQ((std::vector<std::string>{find}), ran) << i;
  }
  EXPECT_EQ(expected, Rows());

  // Deleting by a hostile text removes exactly its own row.
  ran.clear();
  ASSERT_TRUE(
      DeleteRule(hostile[1].c_str(), hostile[1].c_str(), hostile[1].c_str())
          .ok());
  EXPECT_EQ((std::vector<std::string>{del}), ran);
  expected.erase(expected.begin() + 1);
  EXPECT_EQ(expected, Rows());
  ASSERT_TRUE(DeleteRule(hostile[2].c_str(), "other", hostile[2].c_str()).ok());
  EXPECT_EQ(expected, Rows());

  sqlite3_stmt* stmt = nullptr;
  ASSERT_EQ(SQLITE_OK,
            sqlite3_prepare_v2(Peek(), "SELECT group_concat(x) FROM Canary", -1,
                               &stmt, nullptr));
  ASSERT_EQ(SQLITE_ROW, sqlite3_step(stmt));
  EXPECT_STREQ("alive",
               reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0)));
  sqlite3_finalize(stmt);
}

}  // namespace
