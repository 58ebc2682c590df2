// The window layer and the message browser on Qt's offscreen platform, over
// real databases and the device's message service.
#include "ui/browser.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QKeyEvent>
#include <QListWidget>
#include <QMenu>
#include <QPushButton>
#include <QSystemTrayIcon>
#include <QTest>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <thread>

#include "base/mutex.h"
#include "device/clock.h"
#include "device/codepage.h"
#include "device/image.h"
#include "device/service/service.h"
#include "filter/rule_table.h"
#include "hold/monitor.h"
#include "hold/stores.h"
#include "resources/control_ids.h"
#include "resources/resources.h"
#include "storage/calendar.h"
#include "storage/init.h"
#include "storage/locations.h"
#include "storage/record_connections.h"
#include "storage/records.h"
#include "storage/rules_db.h"
#include "storage/statement.h"
#include "tests/support/qt_test.h"
#include "tests/support/temp_image.h"
#include "tests/ui/test_watch.h"
#include "ui/bidi.h"
#include "ui/entry_list.h"
#include "ui/main_window.h"
#include "ui/page_view.h"
#include "ui/qt_text.h"
#include "ui/rules_editor.h"
#include "ui/soft_keys.h"
#include "ui/template_dialog.h"
#include "ui/ui_texts.h"
#include "ui/window_layer.h"

namespace {

namespace about_ids = resources::about_ids;
namespace browser_ids = resources::browser_ids;
namespace rules_ids = resources::rules_ids;
namespace shared_ids = resources::shared_ids;

using testing_support::App;

void Settle() {
  for (int i = 0; i < 5; ++i) App().processEvents();
}

TEST(WindowLayerTest, TemplatesScaleToTheWindowAndKeepTheirIds) {
  App();
  resources::DialogTemplate t =
      resources::LoadDialogTemplate(resources::kIdAboutTemplate);
  ui::TemplateDialog dialog(t);
  dialog.resize(t.width * 3, t.height * 3);
  dialog.show();
  Settle();
  EXPECT_EQ(dialog.ControlIds().size(), t.controls.size());
  QWidget* close = dialog.Control(shared_ids::kCloseButton);
  ASSERT_NE(close, nullptr);
  // Across, dialog units scale with the width; down, the button stays the
  // last thing in the window, inside it.
  EXPECT_EQ(close->geometry().x(), 110 * 3);
  EXPECT_EQ(close->geometry().width(), 30 * 3);
  EXPECT_TRUE(dialog.rect().contains(close->geometry()))
      << close->geometry().y();
  EXPECT_EQ(dialog.ControlText(about_ids::kVersionLabel), u"Version");
  EXPECT_TRUE(
      dialog.SetControlText(about_ids::kVersionLabel, u"Versionsnummer"));
  EXPECT_EQ(dialog.ControlText(about_ids::kVersionLabel), u"Versionsnummer");
  EXPECT_EQ(dialog.Control(4242), nullptr);
  EXPECT_FALSE(dialog.SetControlText(4242, u"x"));
}

TEST(WindowLayerTest, SoftKeysCarryMenu116AndItsCommandIds) {
  App();
  ui::SoftKeyBar bar;
  bar.SetMenu(resources::LoadMenu(resources::kIdMenu));
  ASSERT_NE(bar.Key(0), nullptr);
  EXPECT_EQ(bar.KeyText(0), u"Use");
  EXPECT_EQ(bar.KeyText(1), u"Help");
  EXPECT_EQ(bar.Key(2), nullptr);
  QList<QAction*> help = bar.Popup(1)->actions();
  ASSERT_EQ(help.size(), 7);
  EXPECT_TRUE(help[2]->isSeparator());
  EXPECT_EQ(ui::PlainText(help[6]->text()), "Exit");
  int got = 0;
  QObject::connect(&bar, &ui::SoftKeyBar::Command, [&](int id) { got = id; });
  help[6]->trigger();
  EXPECT_EQ(got, resources::kCmdExit);
  QList<QAction*> use = bar.Popup(0)->actions();
  ASSERT_EQ(use.size(), 2);
  use[0]->menu()->actions()[0]->trigger();
  EXPECT_EQ(got, resources::kCmdUpdate);
  EXPECT_TRUE(bar.SetItemText({1, 0}, u"Hilfe"));
  EXPECT_EQ(ui::PlainText(help[0]->text()), "Hilfe");
  EXPECT_TRUE(bar.SetItemText({0}, u"Uso"));
  EXPECT_EQ(bar.KeyText(0), u"Uso");
  EXPECT_FALSE(bar.SetItemText({1, 99}, u"x"));
  EXPECT_FALSE(bar.SetItemText({1, 2}, u"a separator has no text"));
  EXPECT_TRUE(bar.SetCommandText(resources::kCmdRules, u"R&D"));
  EXPECT_FALSE(bar.SetCommandText(4242, u"x"));
}

TEST(WindowLayerTest, SoftKeysAndItemsGetDistinctAccelerators) {
  App();
  ui::SoftKeyBar bar;
  bar.SetMenu(resources::LoadMenu(resources::kIdMenu));
  EXPECT_EQ(bar.Key(0)->text(), "&Use");
  EXPECT_EQ(bar.Key(1)->text(), "&Help");
  QList<QAction*> help = bar.Popup(1)->actions();
  // "Help" took H, so "Hide" gets its i; every item keeps its own text.
  EXPECT_EQ(help[0]->text(), "&Help");
  EXPECT_EQ(help[1]->text(), "&Language");
  EXPECT_EQ(help[3]->text(), "&About");
  EXPECT_EQ(help[5]->text(), "H&ide");
  EXPECT_EQ(help[6]->text(), "&Exit");
  // An ampersand of the text itself shows as one.
  ASSERT_TRUE(bar.SetCommandText(resources::kCmdRules, u"R&D"));
  QAction* rules = bar.Popup(0)->actions()[1];
  EXPECT_EQ(ui::PlainText(rules->text()), "R&D");
  EXPECT_EQ(ui::PlainText("A&&B"), "A&B");
}

class BrowserTest : public ::testing::Test {
 protected:
  void SetUp() override {
    App();
    storage::ResetLocations();
    ResetInitDatabases();
    ResetRuleTable();
    image_ = std::make_unique<testing_support::TempImage>();
    for (const char* store : {"SMS", "MMS", "E-mail"})
      ASSERT_TRUE(device::CreateStore(store).ok());
    FindInstallFolder();
    ui::LoadUiTexts();
    InitDatabases();
    watch_ = std::make_unique<testing_support::TestWatch>();
    ASSERT_TRUE(watch_->EnterStores());
    std::string narrow;
    DayText(0, &narrow);
    today_ = narrow;
    browser_ = std::make_unique<ui::Browser>();
    browser_->resize(480, 600);
    ui::SetBrowser(browser_.get());
  }
  void TearDown() override {
    ui::JoinBrowserWorkers();
    Settle();
    ui::SetBrowser(nullptr);
    browser_.reset();
    device::CloseMessageService();  // no notification arrives any more
    watch_.reset();
    CloseRulesDb();
    ResetMessageDb();
    device::CloseMessageService();
    image_.reset();
  }
  void Record(const char* store, const std::string& subject, int status,
              const std::string& message = "hello there") {
    int32_t id = 0;
    ASSERT_TRUE(records::Add(store, "Anna <anna@example.org>", "5550199",
                             subject.c_str(), message.c_str(), message.c_str(),
                             "", status, today_.c_str(), "10:00:00", &id)
                    .ok());
  }
  // A held record of the store's that has the Id `id` (a store's Ids are
  // its own, any 32-bit number).
  void RecordWithId(const char* store, int32_t id, const std::string& subject,
                    const std::string& message) {
    int32_t given = 0;
    ASSERT_TRUE(records::Add(store, "Anna <anna@example.org>", "5550199",
                             subject.c_str(), message.c_str(), message.c_str(),
                             "", 0, today_.c_str(), "10:00:00", &given)
                    .ok());
    sqlite3* db = nullptr;
    ASSERT_TRUE(storage::OpenCeDatabase(StoreDbPath(store).c_str(), &db).ok());
    {
      storage::Statement renumber(db, "UPDATE Msg SET Id = ?1 WHERE Id = ?2;");
      renumber.Bind(1, id).Bind(2, given);
      EXPECT_EQ(renumber.Exec(), SQLITE_DONE);
    }
    sqlite3_close(db);
  }
  // A held record of the summary database.
  void RecordSummary(int32_t id, const std::string& message) {
    std::string path, table;
    ASSERT_TRUE(GetMessageDbPath(&path, &table));
    sqlite3* db = nullptr;
    ASSERT_TRUE(storage::OpenCeDatabase(path.c_str(), &db).ok());
    {
      storage::Statement insert(
          db, storage::WithTableName(
                  "INSERT INTO %s (Id, Sender, Recipients, Message, "
                  "ReceivedDate, ReceivedTime, Status) VALUES "
                  "(?1, ?2, ?3, ?4, ?5, ?6, 0);",
                  table));
      insert.Bind(1, id)
          .Bind(2, "Bob")
          .Bind(3, "5550142")
          .Bind(4, message)
          .Bind(5, today_)
          .Bind(6, "09:00");
      EXPECT_EQ(insert.Exec(), SQLITE_DONE);
    }
    sqlite3_close(db);
  }
  // The file the last selection wrote ("" when there is none).
  std::string PageFile() {
    std::string path = ui::LastPagePath();
    if (path.empty()) return "";
    std::ifstream in(image_->Host(device::AnsiToWide(path)), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  // Its page text, after the mark that says it is UTF-8.
  std::string Page() {
    std::string page = PageFile();
    return page.compare(0, 3, "\xEF\xBB\xBF") == 0 ? page.substr(3) : page;
  }
  bool PageFileExists() {
    return image_->Exists(
        device::AnsiToWide(storage::InstallFolderNarrow() + "\\cmsg.htm"));
  }
  std::string Held() {
    std::string held;
    return ui::HeldMessageText(&held) ? held : "";
  }
  void Refill() {
    ui::RefreshMessageList(browser_.get());
    Settle();
  }
  QListWidget* List() { return browser_->ListBox(browser_ids::kMessageList); }
  // Line `k` of listed entry `entry` (header, sender, recipients, time,
  // message), as the list was given it.
  QString Line(int entry, size_t k) {
    std::vector<std::u16string> lines = ui::EntryLines(List(), entry);
    return k < lines.size() ? ui::ToQt(lines[k]) : QString();
  }
  // What field `id` shows, without the isolating marks around the message's
  // texts.
  std::u16string Field(int id) {
    return ui::WithoutIsolates(browser_->ControlText(id));
  }

  std::unique_ptr<testing_support::TempImage> image_;
  std::unique_ptr<testing_support::TestWatch> watch_;
  std::unique_ptr<ui::Browser> browser_;
  std::string today_;
};

TEST_F(BrowserTest, DayFieldThatIsNoNumberRefillsTodayAndShowsZero) {
  Record("SMS", "held", 0);
  for (const char16_t* text : {u"abc", u"-3", u""}) {
    browser_->SetControlText(browser_ids::kDaysBackField, text);
    Refill();
    EXPECT_EQ(browser_->ControlText(browser_ids::kDaysBackField), u"0")
        << std::string(text, text + 0);
    EXPECT_EQ(ui::DayOffset(), 0);
    EXPECT_EQ(browser_->ControlText(browser_ids::kMessageCount), u"1");
  }
  EXPECT_EQ(List()->count(), 1);
  EXPECT_EQ(Line(0, 0),
            "____________1. E-MAIL________________________________");
  EXPECT_EQ(Line(0, 1), "anna@example.org");
  EXPECT_EQ(Line(0, 4), "held  hello there");
  EXPECT_EQ(Field(browser_ids::kListedDay),
            device::LongDateText(device::Now()));
}

TEST_F(BrowserTest, BothBoxesClearedTicksNormal) {
  Record("SMS", "held", 0);
  Record("SMS", "released", 1);
  browser_->SetChecked(browser_ids::kBlockedBox, false);
  browser_->CheckBox(browser_ids::kBlockedBox)->toggled(false);
  browser_->SetChecked(browser_ids::kNormalBox, false);
  browser_->CheckBox(browser_ids::kNormalBox)->toggled(false);
  Refill();
  EXPECT_TRUE(browser_->IsChecked(browser_ids::kNormalBox));
  ASSERT_EQ(List()->count(), 1);
  EXPECT_EQ(Line(0, 4), "released  hello there");
}

TEST_F(BrowserTest, AnEntryIsOneItemOfFiveLinesAndLongTextsAreCut) {
  Record("SMS", "first", 0);
  std::string subject(300, 's');
  std::string message(298, 'm');
  Record("MMS", subject, 0, message);
  Refill();
  ASSERT_EQ(List()->count(), 2);
  EXPECT_EQ(Line(1, 0),
            "____________2. E-MAIL________________________________");
  EXPECT_EQ(Line(1, 4).size(), 256);
  // The item shows its five lines, the message's texts isolated.
  EXPECT_EQ(List()->item(1)->text().split(u'\n').size(), 5);
  EXPECT_TRUE(List()->item(1)->text().contains(
      ui::Isolated(QString("anna@example.org"))));
  List()->setCurrentRow(1);
  Settle();
  EXPECT_EQ(List()->selectedItems().size(), 1);
  // The fields show the texts isolated; what the rules editor and the
  // records get is the text itself.
  EXPECT_EQ(browser_->ControlText(browser_ids::kSenderField),
            ui::Isolated(u"anna@example.org"));
  EXPECT_EQ(Field(browser_ids::kRecipientsField), u"5550199");
  EXPECT_EQ(Field(browser_ids::kTimeField), u"10:00:00");
  EXPECT_EQ(Field(browser_ids::kMessageField).size(), 256u);
  std::string held;
  ASSERT_TRUE(ui::HeldMessageText(&held));
  EXPECT_EQ(held, subject + " " + message);  // the full texts
  EXPECT_EQ(ui::EntryAt(1),
            (ui::EntryIdentity{ui::EntryIdentity::Kind::kStore, "MMS", 1}));
  EXPECT_EQ(ui::LastSelection().sender, u"anna@example.org");
  EXPECT_EQ(ui::LastSelection().recipients, u"5550199");
  EXPECT_NE(Page().find("<H2>" + subject + "</H2>" + message),
            std::string::npos);
}

// The list's message line, the fields and the page show a text as written,
// whatever its script; the page of a UTF-8 device says so with its mark.
// An image made before the code page was a setting keeps its 1252 records
// readable.
TEST_F(BrowserTest, TextsOfEveryScriptAreShownAsWrittenOnNewAndOldImages) {
  struct {
    bool old_image;
    std::string subject, message;
    std::u16string shown_subject, shown_message;
  } const kCases[] = {
      {false, "\u6765\u9031\u306e\u4f1a\u8b70 \U0001F389",
       "\u0645\u0631\u062d\u0628\u0627 \u05e9\u05dc\u05d5\u05dd",
       u"\u6765\u9031\u306e\u4f1a\u8b70 \U0001F389",
       u"\u0645\u0631\u062d\u0628\u0627 \u05e9\u05dc\u05d5\u05dd"},
      {true,
       "Gr\xfc\xdf"
       "e",
       "Sch\xf6n", u"Gr\u00fc\u00dfe", u"Sch\u00f6n"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.old_image ? "1252" : "UTF-8");
    if (c.old_image) {
      // As an image made before: no setting in it.
      std::filesystem::remove(device::CodePagePath());
      device::ForgetAnsiCodePage();
    }
    ASSERT_EQ(device::AnsiIsUtf8(), !c.old_image);
    Record("E-mail", c.subject, 0, c.message);
    Refill();
    const int last = List()->count() - 1;
    ASSERT_GE(last, 0);
    EXPECT_EQ(Line(last, 4),
              ui::ToQt(c.shown_subject + u"  " + c.shown_message));
    List()->setCurrentRow(last);
    Settle();
    EXPECT_NE(Field(browser_ids::kMessageField).find(c.shown_message),
              std::u16string::npos);
    EXPECT_EQ(PageFile().compare(0, 3, "\xEF\xBB\xBF") == 0, !c.old_image);
    ui::PageView view;
    ASSERT_TRUE(
        view.ShowFile(image_->Host(device::AnsiToWide(ui::LastPagePath()))));
    EXPECT_EQ(ui::FromQt(view.PlainPage()),
              c.shown_subject + u"\n" + c.shown_message);
  }
}

TEST_F(BrowserTest, TheRulesEditorOpensWithTheSelectedEntry) {
  Record("SMS", "Lunch", 0, "see you");
  Refill();
  List()->setCurrentRow(0);
  Settle();
  ui::RulesEditor editor;
  EXPECT_EQ(editor.page()->ControlText(rules_ids::kSenderField),
            u"anna@example.org");
  EXPECT_EQ(editor.page()->ControlText(rules_ids::kRecipientsField),
            u"5550199");
  EXPECT_EQ(editor.page()->ControlText(rules_ids::kMessageField),
            u"Lunch  see you");
}

TEST_F(BrowserTest, AnEntryBeyondThe512thShowsItsLinesAndWritesNoPage) {
  for (const char* store : {"SMS", "MMS", "E-mail"}) {
    for (int i = 0; i < 171; ++i)
      Record(store, std::string(store) + std::to_string(i), 0);
  }
  Refill();
  ASSERT_EQ(List()->count(), 513);
  ASSERT_FALSE(PageFileExists());
  List()->setCurrentRow(512);
  Settle();
  EXPECT_EQ(Field(browser_ids::kMessageField), u"E-mail170  hello there");
  EXPECT_EQ(ui::LastSelection().recipients, u"5550199");
  EXPECT_FALSE(PageFileExists());
  EXPECT_EQ(Held().rfind("E-mail170", 0), std::string::npos);
  EXPECT_EQ(ui::EntryAt(511).store, "E-mail");
  EXPECT_EQ(ui::EntryAt(512).kind, ui::EntryIdentity::Kind::kNone);
}

TEST_F(BrowserTest, EachEntryOpensItsOwnRecordWhateverItsId) {
  // Ids that a store number and an Id folded into one code would read as
  // another store's record (store 0's 100005 as store 1's 5, a summary
  // record's 100005 as store 0's 5), and the largest Id.
  RecordWithId("SMS", 100005, "Big", "the SMS record");
  RecordWithId("MMS", 5, "Small", "the MMS record");
  RecordWithId("E-mail", INT32_MAX, "Last", "the e-mail record");
  RecordSummary(100005, "the summary record");
  Refill();
  ASSERT_EQ(List()->count(), 4);
  ASSERT_EQ(Line(0, 4), "the summary record");
  // The summary database keeps no message of its own: its entry's page is
  // its listed text.
  List()->setCurrentRow(0);
  EXPECT_EQ(Page(), "<HTML><BODY>the summary record</BODY></HTML>");
  EXPECT_EQ(ui::EntryAt(0),
            (ui::EntryIdentity{ui::EntryIdentity::Kind::kSummary, "", 100005}));
  const struct {
    int entry;
    std::string store, subject, message;
    int32_t id;
  } cases[] = {{1, "SMS", "Big", "the SMS record", 100005},
               {2, "MMS", "Small", "the MMS record", 5},
               {3, "E-mail", "Last", "the e-mail record", INT32_MAX}};
  for (const auto& c : cases) {
    List()->setCurrentRow(c.entry);
    ASSERT_EQ(ui::FromQt(Line(c.entry, 4)),
              device::AnsiToWide(c.subject + "  " + c.message));
    EXPECT_EQ(Held(), c.subject + " " + c.message) << c.entry;
    EXPECT_EQ(
        ui::EntryAt(c.entry),
        (ui::EntryIdentity{ui::EntryIdentity::Kind::kStore, c.store, c.id}));
    const std::string page = Page();
    EXPECT_NE(page.find("<H2>" + c.subject + "</H2>" + c.message),
              std::string::npos)
        << c.entry << ": " << page;
  }
}

TEST_F(BrowserTest, AnEntryWithoutItsOwnMessageLeavesNoEarlierOneToOpen) {
  Record("SMS", "Kept", 0, "the kept message");
  int32_t gone = 0;
  ASSERT_TRUE(records::Add("SMS", "Anna <anna@example.org>", "5550199", "Gone",
                           "the removed message", "the removed message", "", 0,
                           today_.c_str(), "10:00:00", &gone)
                  .ok());
  RecordSummary(1, "the summary record");
  Refill();
  ASSERT_EQ(List()->count(), 3);
  // A record removed after the list was read.
  {
    sqlite3* db = nullptr;
    ASSERT_TRUE(storage::OpenCeDatabase(StoreDbPath("SMS").c_str(), &db).ok());
    storage::Statement remove(db, "DELETE FROM Msg WHERE Id = ?1;");
    remove.Bind(1, gone);
    EXPECT_EQ(remove.Exec(), SQLITE_DONE);
    remove.Finalize();
    sqlite3_close(db);
  }
  // After a store record, the summary entry (whose database keeps no
  // message) and the removed record hand on nothing of the one before.
  List()->setCurrentRow(1);
  ASSERT_EQ(Held(), "Kept the kept message");
  List()->setCurrentRow(0);
  EXPECT_EQ(Page(), "<HTML><BODY>the summary record</BODY></HTML>");
  EXPECT_EQ(Held(), "");
  List()->setCurrentRow(1);
  ASSERT_EQ(Held(), "Kept the kept message");
  List()->setCurrentRow(2);
  EXPECT_EQ(Field(browser_ids::kMessageField), u"Gone  the removed message");
  EXPECT_EQ(Held(), "");
  EXPECT_EQ(ui::LastPagePath(), "");
}

TEST_F(BrowserTest, ASelectionBeforeANewListArrivesOpensTheEntryItShows) {
  Record("MMS", "Shown", 0, "the listed message");
  Refill();
  ASSERT_EQ(List()->count(), 1);
  // A record of a store listed before MMS: the next list has it first.
  Record("SMS", "Newer", 0, "first of the next list");
  std::thread refill([&] { ui::RefreshMessageList(browser_.get()); });
  refill.join();
  // The new list is on its way to the window, not in it yet.
  ASSERT_EQ(List()->count(), 1);
  List()->setCurrentRow(0);
  EXPECT_EQ(Field(browser_ids::kMessageField), u"Shown  the listed message");
  EXPECT_EQ(Held(), "Shown the listed message");
  EXPECT_NE(Page().find("the listed message"), std::string::npos) << Page();
  // Once it arrives, its first entry is the new record.
  Settle();
  ASSERT_EQ(List()->count(), 2);
  List()->setCurrentRow(0);
  EXPECT_EQ(Field(browser_ids::kMessageField),
            u"Newer  first of the next list");
  EXPECT_EQ(Held(), "Newer first of the next list");
  EXPECT_NE(Page().find("first of the next list"), std::string::npos) << Page();
}

TEST_F(BrowserTest, MinusAtZeroAndPlusWhileARefreshRunsDoNothing) {
  QPushButton* minus = qobject_cast<QPushButton*>(
      browser_->Control(browser_ids::kNextDayButton));
  QPushButton* plus = qobject_cast<QPushButton*>(
      browser_->Control(browser_ids::kPreviousDayButton));
  minus->click();
  EXPECT_EQ(browser_->ControlText(browser_ids::kDaysBackField), u"0");
  EXPECT_FALSE(ui::ListRefreshRunning());
  {
    // A refresh that cannot finish while the list lock is held here.
    base::MutexLock hold(&ui::MessageListLock());
    ASSERT_TRUE(ui::StartListRefresh(browser_.get()));
    EXPECT_FALSE(ui::StartListRefresh(browser_.get()));
    plus->click();
    EXPECT_EQ(browser_->ControlText(browser_ids::kDaysBackField), u"0");
  }
  ui::JoinBrowserWorkers();
  Settle();
  plus->click();
  EXPECT_EQ(browser_->ControlText(browser_ids::kDaysBackField), u"1");
  ui::JoinBrowserWorkers();
  Settle();
  EXPECT_EQ(ui::DayOffset(), 1);
}

TEST_F(BrowserTest, TwoRefillsAtOnceGiveOneWholeList) {
  for (int i = 0; i < 40; ++i) Record("SMS", "m" + std::to_string(i), 0);
  std::thread a([&] { ui::RefreshMessageList(browser_.get()); });
  std::thread b([&] { ui::RefreshMessageList(browser_.get()); });
  a.join();
  b.join();
  Settle();
  EXPECT_EQ(List()->count(), 40);
  EXPECT_EQ(browser_->ControlText(browser_ids::kMessageCount), u"40");
  for (int i = 0; i < 40; ++i) {
    EXPECT_EQ(ui::EntryLines(List(), i).size(), 5u);
    EXPECT_TRUE(Line(i, 0).startsWith("____________"));
  }
}

TEST_F(BrowserTest, TheStatusLineGetsChangedTextsOnlyAndAlwaysTheLast) {
  // A walk's progress from a worker thread: the window ends with the last
  // text, however many came before it.
  std::thread walk([] {
    for (int i = 1; i <= 500; ++i)
      ui::ShowStatusText("SMS : " + std::to_string(i) + " / 500.");
  });
  walk.join();
  for (int i = 0; i < 200 && browser_->ControlText(browser_ids::kStatusLine) !=
                                 u"SMS : 500 / 500.";
       ++i) {
    QTest::qWait(10);
  }
  EXPECT_EQ(browser_->ControlText(browser_ids::kStatusLine),
            u"SMS : 500 / 500.");
  ui::ShowStatusText("");
  for (int i = 0;
       i < 200 && !browser_->ControlText(browser_ids::kStatusLine).empty(); ++i)
    QTest::qWait(10);
  EXPECT_EQ(browser_->ControlText(browser_ids::kStatusLine), u"");
  Settle();
  // The same text again, as every pass ends, reaches the window no more.
  const uint64_t posts = ui::StatusTextPostsForTesting();
  for (int i = 0; i < 50; ++i) ui::ShowStatusText("");
  QTest::qWait(2 * ui::kStatusTextIntervalMs);
  Settle();
  EXPECT_EQ(ui::StatusTextPostsForTesting(), posts);
}

TEST(MainWindowTest, AboutBoxShowsTheMakersTexts) {
  App();
  testing_support::TempImage image;
  ui::MainWindow window;
  QObject::connect(&window, &ui::MainWindow::AboutOpened, [](QWidget* about) {
    auto* page = about->findChild<ui::TemplateDialog*>();
    ASSERT_NE(page, nullptr);
    EXPECT_EQ(page->ControlText(about_ids::kProductName), u"Tarnvex");
    EXPECT_EQ(page->ControlText(about_ids::kMakerName), u"Quorrelan");
    EXPECT_EQ(page->ControlText(about_ids::kVersion), u"1.0");
    EXPECT_EQ(page->ControlText(about_ids::kCopyrightYear), u"2026");
    EXPECT_FALSE(page->ControlText(about_ids::kMakerWeb).empty());
    QMetaObject::invokeMethod(page->Control(shared_ids::kCloseButton), "click",
                              Qt::QueuedConnection);
  });
  window.RunCommand(resources::kCmdAbout);  // returns when Close was pressed
  EXPECT_EQ(window.windowTitle(), "Tarnvex");
  EXPECT_NE(window.browser(), nullptr);
}

TEST(MainWindowTest, OnlyATapOnTheIconRaisesTheWindow) {
  App();
  testing_support::TempImage image;
  ui::MainWindow window;
  window.show();
  window.RunCommand(resources::kCmdHide);
  EXPECT_TRUE(window.isMinimized());
  emit window.tray()->activated(QSystemTrayIcon::Context);
  emit window.tray()->activated(QSystemTrayIcon::MiddleClick);
  EXPECT_TRUE(window.isMinimized());
  emit window.tray()->activated(QSystemTrayIcon::Trigger);
  EXPECT_FALSE(window.isMinimized());
}

TEST(MainWindowTest, ExitAndControlQRemoveTheIcon) {
  App();
  testing_support::TempImage image;
  {
    ui::MainWindow window;
    window.show();
    EXPECT_TRUE(window.HasTrayIcon());
    window.RunCommand(resources::kCmdExit);
    EXPECT_FALSE(window.HasTrayIcon());
  }
  {
    ui::MainWindow window;
    window.show();
    ASSERT_TRUE(window.HasTrayIcon());
    QKeyEvent press(QEvent::KeyPress, Qt::Key_Q, Qt::ControlModifier, "q");
    QApplication::sendEvent(&window, &press);
    EXPECT_FALSE(window.HasTrayIcon());
    EXPECT_FALSE(window.isVisible());
  }
  {
    ui::MainWindow window;
    window.show();
    QKeyEvent other(QEvent::KeyPress, Qt::Key_W, Qt::ControlModifier, "w");
    QApplication::sendEvent(&window, &other);
    EXPECT_TRUE(window.HasTrayIcon());
    EXPECT_TRUE(window.isVisible());
  }
}

}  // namespace
