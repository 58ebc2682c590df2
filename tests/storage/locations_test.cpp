// Where the program's databases and support files go, on real device images:
// with and without storage cards, the question about the card, the program
// installed on a card, a lost rules file, and limits on names and paths.
#include "storage/locations.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <stdlib.h>

#include <filesystem>
#include <memory>
#include <set>
#include <string>

#include "device/codepage.h"
#include "device/image.h"
#include "storage/init.h"
#include "storage/record_connections.h"
#include "storage/records.h"
#include "storage/rules_db.h"
#include "storage/statement.h"
#include "tests/support/child_process.h"
#include "tests/support/temp_image.h"

namespace {

// The user at the card question: how often it was put, and the reply.
struct Answer {
  explicit Answer(storage::CardAnswer reply) : reply(reply) {}
  storage::CardAnswer reply;
  int asked = 0;
};

// The databases' start-up as the program runs it: storage says whether the
// card choice is needed, the user is asked only then, and the answer goes
// back.
void StartDatabases(Answer* user) {
  storage::CardAnswer reply = storage::CardAnswer::kNotAsked;
  if (BeginDatabases() == storage::DatabaseChoice::kUseCard) {
    ++user->asked;
    reply = user->reply;
  }
  FinishDatabases(reply);
}

class LocationsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    CloseRulesDb();
    ResetMessageDb();
    ResetInitDatabases();
    storage::ResetLocations();
    image_ = std::make_unique<testing_support::TempImage>();
  }
  void TearDown() override {
    CloseRulesDb();
    ResetMessageDb();
    image_.reset();
  }
  std::shared_ptr<Answer> Answering(storage::CardAnswer a) {
    return std::make_shared<Answer>(a);
  }
  // A fresh image and fresh state, as at the start of a test.
  void Restart() {
    TearDown();
    SetUp();
  }
  std::string SummaryPath() {
    std::string path, table;
    return GetMessageDbPath(&path, &table) ? path : "";
  }
  std::unique_ptr<testing_support::TempImage> image_;
};

TEST_F(LocationsTest, NoCardAndNoInstalledProgram) {
  auto answer = Answering(storage::CardAnswer::kYes);
  FindInstallFolder();
  StartDatabases(answer.get());
  EXPECT_EQ(answer->asked, 0);
  EXPECT_EQ(GetRootFolder(), u"\\Tarnvex");
  EXPECT_EQ(GetSupportFolder(), "\\Tarnvex\\emn");
  EXPECT_TRUE(image_->Exists(u"\\Tarnvex\\dba"));
  EXPECT_EQ(SummaryPath(), "\\Program Files\\Tarnvex\\dba\\Tarnvex_0.db");
  EXPECT_TRUE(image_->Exists(u"\\Program Files\\Tarnvex\\dba\\Rules_0.db"));
}

TEST_F(LocationsTest, ACardOnTheFirstRunAsksAndYesUsesTheCard) {
  const base::Status added = device::AddStorageCard(u"Storage Card");
  ASSERT_TRUE(added.ok()) << added.message();
  auto answer = Answering(storage::CardAnswer::kYes);
  FindInstallFolder();
  StartDatabases(answer.get());
  EXPECT_EQ(answer->asked, 1);
  EXPECT_EQ(SummaryPath(),
            "\\Storage Card\\Program Files\\Tarnvex\\dba\\Tarnvex_0.db");
  EXPECT_TRUE(image_->Exists(
      u"\\Storage Card\\Program Files\\Tarnvex\\dba\\Rules_0.db"));

  // The next start finds the databases there and asks nothing.
  CloseRulesDb();
  ResetMessageDb();
  ResetInitDatabases();
  storage::ResetLocations();
  FindInstallFolder();
  StartDatabases(answer.get());
  EXPECT_EQ(answer->asked, 1);
  EXPECT_EQ(SummaryPath(),
            "\\Storage Card\\Program Files\\Tarnvex\\dba\\Tarnvex_0.db");
}

TEST_F(LocationsTest, ACardOnTheFirstRunAndNoKeepsTheMainStorage) {
  ASSERT_TRUE(device::AddStorageCard(u"Storage Card").ok());
  auto answer = Answering(storage::CardAnswer::kNo);
  FindInstallFolder();
  StartDatabases(answer.get());
  EXPECT_EQ(answer->asked, 1);
  EXPECT_EQ(SummaryPath(), "\\Program Files\\Tarnvex\\dba\\Tarnvex_0.db");
}

TEST_F(LocationsTest, ACardChoiceNobodyAnswersKeepsTheMainStorage) {
  // Hosts and tools start the databases with nobody to ask: as No.
  ASSERT_TRUE(device::AddStorageCard(u"Storage Card").ok());
  FindInstallFolder();
  InitDatabases();
  EXPECT_EQ(SummaryPath(), "\\Program Files\\Tarnvex\\dba\\Tarnvex_0.db");
}

TEST_F(LocationsTest, ALostRulesFileIsMadeAgainNextToTheSummary) {
  FindInstallFolder();
  InitDatabases();
  ASSERT_TRUE(AddRule("a", "555", "m", 90).ok());
  CloseRulesDb();
  std::filesystem::remove(
      image_->Host(u"\\Program Files\\Tarnvex\\dba\\Rules_0.db"));
  ResetMessageDb();
  ResetInitDatabases();
  storage::ResetLocations();
  FindInstallFolder();
  InitDatabases();
  EXPECT_TRUE(image_->Exists(u"\\Program Files\\Tarnvex\\dba\\Rules_0.db"));
  EXPECT_EQ(MaxRuleId(), 0);  // the table is there, empty
  EXPECT_EQ(NextRuleId(), 1);
}

TEST_F(LocationsTest, SixteenCardsAreListedAndLongNamesSkipped) {
  for (int i = 0; i < 17; ++i) {
    ASSERT_TRUE(
        device::AddStorageCard(u"Card" + device::Utf8ToWide(std::to_string(i)))
            .ok());
  }
  EnumStorageCards();
  EXPECT_EQ(StorageCardCount(), 16);
  EXPECT_EQ(StorageCardName(0), u"Card0");
  EXPECT_EQ(StorageCardName(15), u"Card15");
  EXPECT_EQ(StorageCardName(16), u"");
  EXPECT_FALSE(device::AddStorageCard(std::u16string(64, u'c')).ok());
}

TEST_F(LocationsTest, AnOverlongNameWrittenIntoTheCardListIsNotUsed) {
  ASSERT_TRUE(device::AddStorageCard(u"Storage Card").ok());
  {
    FILE* list = fopen(device::CardListPath().c_str(), "a");
    ASSERT_NE(list, nullptr);
    fprintf(list, "%s\n", std::string(200, 'n').c_str());
    fclose(list);
  }
  EnumStorageCards();
  ASSERT_GE(StorageCardCount(), 1);
  for (int i = 0; i < StorageCardCount(); ++i) {
    EXPECT_LE(StorageCardName(i).size(), device::kMaxCardName);
  }
  EXPECT_EQ(StorageCardName(0), u"Storage Card");
}

TEST_F(LocationsTest, OverlongPathsAreRefusedWithoutHarm) {
  std::string deep = "\\" + std::string(300, 'd');
  CreatePath((deep + "\\x").c_str());
  EXPECT_FALSE(ProbeFile((deep + "\\x").c_str()));
  EXPECT_FALSE(
      ExecOnce((deep + "\\x.db").c_str(), "CREATE TABLE T (a INT);").ok());
  std::u16string too_long(300, u'a');
  std::string host;
  EXPECT_FALSE(device::HostPath(u"\\" + too_long, &host));
  EXPECT_FALSE(device::HostPath(u"\\a\\..\\b", &host));
  EXPECT_FALSE(device::HostPath(u"relative", &host));
}

TEST_F(LocationsTest, ExecOnceReportsItsResult) {
  FindInstallFolder();
  InitDatabases();
  std::string path = SummaryPath();
  EXPECT_TRUE(ExecOnce(path.c_str(), "CREATE TABLE X (a INT);").ok());
  testing::internal::CaptureStderr();
  EXPECT_TRUE(
      ExecOnce(path.c_str(), "CREATE TABLE X (a INT);").IsInvalidArgument());
  EXPECT_TRUE(ExecOnce(path.c_str(), "NOT SQL;").IsInvalidArgument());
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "");  // a refused statement is not reported
}

// Run as the installed program: prints where it found itself.
TEST(LocationsChild, Report) {
  if (getenv("TARNVEX_LOCATIONS_CHILD") == nullptr) GTEST_SKIP();
  auto answer = std::make_shared<Answer>(storage::CardAnswer::kNo);
  FindInstallFolder();
  printf("install=%s\n", device::WideToUtf8(storage::InstallFolder()).c_str());
  printf("support=%s\n", GetSupportFolder().c_str());
  StartDatabases(answer.get());
  std::string path, table;
  printf("summary=%s\n", GetMessageDbPath(&path, &table) ? path.c_str() : "");
  printf("asked=%d\n", answer->asked);
  CloseRulesDb();
  ResetMessageDb();
}

// Copies this test program to |ce_exe| in the image and runs the child
// report from there.
std::string RunInstalledCopy(const testing_support::TempImage& image,
                             const std::u16string& ce_exe) {
  std::string target = image.Host(ce_exe);
  std::filesystem::create_directories(
      std::filesystem::path(target).parent_path());
  std::filesystem::copy_file("/proc/self/exe", target);
  std::string out;
  testing_support::RunProgram(
      {target, "--gtest_filter=LocationsChild.Report"}, &out,
      {"TARNVEX_LOCATIONS_CHILD=1", "TARNVEX_DEVICE=" + image.root()});
  return out;
}

TEST_F(LocationsTest, TheProgramRunningFromTheMainStorageIsFoundThere) {
  ASSERT_TRUE(device::AddStorageCard(u"Storage Card").ok());
  std::string out =
      RunInstalledCopy(*image_, u"\\Program Files\\Tarnvex\\Tarnvex.exe");
  EXPECT_NE(out.find("install=\\Program Files\\Tarnvex\n"), std::string::npos)
      << out;
  EXPECT_NE(out.find("support=\\Program Files\\Tarnvex\\emn\n"),
            std::string::npos)
      << out;
}

TEST_F(LocationsTest, TheProgramRunningFromACardIsFoundThere) {
  ASSERT_TRUE(device::AddStorageCard(u"Storage Card").ok());
  std::string out = RunInstalledCopy(
      *image_, u"\\Storage Card\\Program Files\\Tarnvex\\Tarnvex.exe");
  EXPECT_NE(out.find("install=\\Storage Card\\Program Files\\Tarnvex\n"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("support=\\Storage Card\\Program Files\\Tarnvex\\emn\n"),
            std::string::npos)
      << out;
  // Installed on the card: the databases go there without a question.
  EXPECT_NE(out.find("asked=0\n"), std::string::npos) << out;
  EXPECT_NE(out.find("summary=\\Storage Card\\Program "
                     "Files\\Tarnvex\\dba\\Tarnvex_0.db\n"),
            std::string::npos)
      << out;
}

// Every folder and file of the image outside its bookkeeping, as CE paths.
std::set<std::string> ImageEntries(const testing_support::TempImage& image) {
  std::set<std::string> entries;
  std::filesystem::path root(image.root());
  for (auto it = std::filesystem::recursive_directory_iterator(root);
       it != std::filesystem::recursive_directory_iterator(); ++it) {
    std::string relative = it->path().lexically_relative(root).string();
    if (relative.rfind(".device", 0) == 0) {
      it.disable_recursion_pending();
      continue;
    }
    for (char& c : relative)
      if (c == '/') c = '\\';
    entries.insert("\\" + relative);
  }
  return entries;
}

// Puts a card into the image's card list by hand, past the tool's checks.
void InsertCardByHand(const testing_support::TempImage& image,
                      const std::string& utf8_name) {
  std::filesystem::create_directories(image.root() + "/" + utf8_name);
  FILE* list = fopen(device::CardListPath().c_str(), "a");
  ASSERT_NE(list, nullptr);
  fprintf(list, "%s\n", utf8_name.c_str());
  fclose(list);
}

const char* const kNonLatinCards[] = {
    "\xd0\x9a\xd0\xb0\xd1\x80\xd1\x82\xd0\xb0",  // Карта
    "\xe8\xa8\x98\xe6\x86\xb6\xe5\x8d\xa1"};     // 記憶卡

TEST_F(LocationsTest, CardsNamedOutsideTheCodePageAreRefusedAndNeverUsed) {
  for (const char* name : kNonLatinCards) {
    SCOPED_TRACE(name);
    for (auto reply : {storage::CardAnswer::kYes, storage::CardAnswer::kNo}) {
      Restart();
      const base::Status added =
          device::AddStorageCard(device::Utf8ToWide(name));
      EXPECT_FALSE(added.ok());
      EXPECT_NE(added.message().find(name), std::string::npos)
          << added.message();
      EXPECT_FALSE(std::filesystem::exists(image_->root() + "/" + name));

      // Even listed by hand the card is not offered, so the databases stay on
      // the main storage and nothing is made anywhere else.
      InsertCardByHand(*image_, name);
      auto answer = Answering(reply);
      FindInstallFolder();
      StartDatabases(answer.get());
      EXPECT_EQ(StorageCardCount(), 0);
      EXPECT_EQ(answer->asked, 0);
      EXPECT_EQ(SummaryPath(), "\\Program Files\\Tarnvex\\dba\\Tarnvex_0.db");
      EXPECT_EQ(ImageEntries(*image_),
                (std::set<std::string>{
                    "\\My Documents", "\\Windows", "\\Program Files",
                    "\\Program Files\\Tarnvex", "\\Program Files\\Tarnvex\\dba",
                    "\\Program Files\\Tarnvex\\dba\\Tarnvex_0.db",
                    "\\Program Files\\Tarnvex\\dba\\Rules_0.db", "\\Tarnvex",
                    "\\Tarnvex\\dba", std::string("\\") + name}));
    }
  }
}

TEST_F(LocationsTest,
       AProgramOnACardNamedOutsideTheCodePageMakesNoStrayFolder) {
  for (const char* name : kNonLatinCards) {
    SCOPED_TRACE(name);
    Restart();
    InsertCardByHand(*image_, name);
    std::u16string exe = u"\\" + device::Utf8ToWide(name) +
                         u"\\Program Files\\Tarnvex\\Tarnvex.exe";
    std::string out = RunInstalledCopy(*image_, exe);
    // The card is not offered, so the program is not found on it: the
    // root is "\Tarnvex" and the databases go to the main storage.
    EXPECT_NE(out.find("install=\n"), std::string::npos) << out;
    EXPECT_NE(out.find("asked=0\n"), std::string::npos) << out;
    EXPECT_NE(out.find("summary=\\Program Files\\Tarnvex\\dba\\Tarnvex_0.db\n"),
              std::string::npos)
        << out;
    const std::string card = std::string("\\") + name;
    for (const std::string& entry : ImageEntries(*image_)) {
      bool expected = entry.rfind("\\Program Files", 0) == 0 ||
                      entry.rfind("\\Tarnvex", 0) == 0 ||
                      entry == "\\Windows" || entry == "\\My Documents" ||
                      entry.rfind(card + "\\Program Files\\Tarnvex", 0) == 0 ||
                      entry == card || entry == card + "\\Program Files";
      EXPECT_TRUE(expected) << entry;
      // Nothing but the program itself on the card.
      if (entry.rfind(card + "\\", 0) == 0) {
        EXPECT_EQ(entry.find("dba"), std::string::npos) << entry;
      }
    }
  }
}

TEST_F(LocationsTest, AWesternEuropeanCardNameIsKeptWholeInEveryPath) {
  const std::u16string card = u"Carte m\u00e9moire";
  const base::Status added = device::AddStorageCard(card);
  ASSERT_TRUE(added.ok()) << added.message();
  auto answer = Answering(storage::CardAnswer::kYes);
  FindInstallFolder();
  StartDatabases(answer.get());
  EXPECT_EQ(answer->asked, 1);
  // In the code page of a new image, UTF-8.
  EXPECT_EQ(
      SummaryPath(),
      "\\Carte m\xc3\xa9moire\\Program Files\\Tarnvex\\dba\\Tarnvex_0.db");
  EXPECT_TRUE(image_->Exists(u"\\" + card +
                             u"\\Program Files\\Tarnvex\\dba\\Tarnvex_0.db"));
  EXPECT_TRUE(image_->Exists(u"\\" + card +
                             u"\\Program Files\\Tarnvex\\dba\\Rules_0.db"));
  records::PrepareStore("SMS");
  EXPECT_TRUE(
      image_->Exists(u"\\" + card + u"\\Program Files\\Tarnvex\\dba\\SMS.db"));

  std::string out = RunInstalledCopy(
      *image_, u"\\" + card + u"\\Program Files\\Tarnvex\\Tarnvex.exe");
  EXPECT_NE(
      out.find("install=\\Carte m\xc3\xa9moire\\Program Files\\Tarnvex\n"),
      std::string::npos)
      << out;
  EXPECT_NE(out.find("asked=0\n"), std::string::npos) << out;
}

TEST_F(LocationsTest, ACardNameFoundInsideTheInstallPathIsNotTheProgramsCard) {
  // "Files" occurs in "\Program Files\Tarnvex", yet the program does not run
  // from that card: the question is still asked.
  const base::Status added = device::AddStorageCard(u"Files");
  ASSERT_TRUE(added.ok()) << added.message();
  std::string out =
      RunInstalledCopy(*image_, u"\\Program Files\\Tarnvex\\Tarnvex.exe");
  EXPECT_NE(out.find("install=\\Program Files\\Tarnvex\n"), std::string::npos)
      << out;
  EXPECT_NE(out.find("asked=1\n"), std::string::npos) << out;
  EXPECT_NE(out.find("summary=\\Program Files\\Tarnvex\\dba\\Tarnvex_0.db\n"),
            std::string::npos)
      << out;
}

TEST_F(LocationsTest, APathWithReservedCharactersMakesNoFolder) {
  CreatePath("\\?????\\Program Files\\Tarnvex\\dba");
  CreatePath("\\Tarnvex\\a:b\\dba");
  CreatePath("\\Tarnvex.\\dba");
  EXPECT_EQ(ImageEntries(*image_),
            (std::set<std::string>{"\\My Documents", "\\Windows",
                                   "\\Program Files", "\\Tarnvex"}));
}

}  // namespace
