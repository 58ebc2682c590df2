// The rules editor on Qt's offscreen platform over real databases.
#include "ui/rules_editor.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QListWidget>
#include <QPushButton>
#include <memory>
#include <string>

#include "device/message_box.h"
#include "device/service/service.h"
#include "filter/rule_table.h"
#include "hold/monitor.h"
#include "resources/control_ids.h"
#include "storage/init.h"
#include "storage/locations.h"
#include "storage/record_connections.h"
#include "storage/rules_db.h"
#include "tests/support/qt_test.h"
#include "tests/support/temp_image.h"
#include "tests/ui/test_watch.h"
#include "ui/browser.h"
#include "ui/entry_list.h"
#include "ui/template_dialog.h"
#include "ui/ui_texts.h"

namespace {

namespace rules_ids = resources::rules_ids;
namespace shared_ids = resources::shared_ids;

using testing_support::App;

using Boxes = testing_support::RecordingMessageBoxes;

class RulesEditorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    App();
    storage::ResetLocations();
    ResetInitDatabases();
    ResetRuleTable();
    CloseRulesDb();
    image_ = std::make_unique<testing_support::TempImage>();
    FindInstallFolder();
    ui::LoadUiTexts();
    InitDatabases();
    boxes_ = std::make_shared<Boxes>();
    device::SetMessageBoxHandler(boxes_);
  }
  void TearDown() override {
    editor_.reset();
    ui::JoinBrowserWorkers();
    device::SetMessageBoxHandler(nullptr);
    CloseRulesDb();
    ResetMessageDb();
    image_.reset();
  }
  ui::RulesEditor& Open() {
    editor_ = std::make_unique<ui::RulesEditor>();
    return *editor_;
  }
  ui::TemplateDialog& Page() { return *editor_->page(); }
  void Fields(const std::u16string& sender, const std::u16string& recipients,
              const std::u16string& message) {
    Page().SetControlText(rules_ids::kSenderField, sender);
    Page().SetControlText(rules_ids::kRecipientsField, recipients);
    Page().SetControlText(rules_ids::kMessageField, message);
  }
  void Press(int id) {
    qobject_cast<QPushButton*>(Page().Control(id))->click();
  }
  QListWidget* List() { return Page().ListBox(rules_ids::kRuleList); }

  std::unique_ptr<testing_support::TempImage> image_;
  testing_support::TestWatch watch_;
  std::shared_ptr<Boxes> boxes_;
  std::unique_ptr<ui::RulesEditor> editor_;
};

TEST_F(RulesEditorTest, OpensWithEmptyFieldsBeforeAnySelection) {
  Open();
  EXPECT_EQ(Page().ControlText(rules_ids::kSenderField), u"");
  EXPECT_EQ(Page().ControlText(rules_ids::kRecipientsField), u"");
  EXPECT_EQ(Page().ControlText(rules_ids::kMessageField), u"");
  EXPECT_EQ(Page().ControlText(rules_ids::kRuleCount), u"0");
}

TEST_F(RulesEditorTest, RecipientsAloneAreRefusedWithAWarning) {
  Open();
  Fields(u"", u"5550199", u"");
  Press(rules_ids::kAddButton);
  ASSERT_EQ(boxes_->shown.size(), 1u);
  EXPECT_EQ(boxes_->shown[0], u"Specify a Sender, a Message, or both!");
  EXPECT_EQ(boxes_->captions[0], u"Warning");
  EXPECT_TRUE(boxes_->ok_cancel);
  EXPECT_EQ(RuleCount(), 0);
  EXPECT_EQ(MaxRuleId(), 0);
}

TEST_F(RulesEditorTest, TheSameRuleTwiceIsOneRule) {
  Open();
  Fields(u"Anna", u"5550199", u"Lunch at noon");
  Press(rules_ids::kAddButton);
  Press(rules_ids::kAddButton);
  EXPECT_TRUE(boxes_->shown.empty());
  EXPECT_EQ(RuleCount(), 1);
  ASSERT_EQ(List()->count(), 1);  // one item a rule, of four lines
  std::vector<std::u16string> lines = ui::EntryLines(List(), 0);
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0], u"____________1. Rule________________________________");
  EXPECT_EQ(lines[2], u"5550199");
  EXPECT_EQ(Page().ControlText(rules_ids::kRuleCount), u"1");
  EXPECT_EQ(Page().ControlText(rules_ids::kSenderField),
            u"Anna");  // the fields keep their texts
  EXPECT_TRUE(ui::Watch()->RulesChangeNoted());
}

// A rule typed in any script is stored in UTF-8 as typed and listed as
// typed, now and when the editor opens again over the stored rules.
TEST_F(RulesEditorTest, ARuleInAnyScriptIsStoredAndListedAsTyped) {
  const std::u16string sender = u"\u0410\u043d\u043d\u0430";  // Russian
  const std::u16string message =
      u"\u6771\u4eac \u0627\u0644\u0642\u0627\u0647\u0631\u0629 \U0001F389";
  Open();
  Fields(sender, u"taro@example.jp", message);
  Press(rules_ids::kAddButton);
  ASSERT_EQ(RuleCount(), 1);
  std::string stored_sender, stored_message;
  ASSERT_TRUE(
      GetRule(0, &stored_sender, nullptr, &stored_message, nullptr, nullptr));
  EXPECT_EQ(stored_sender, "\u0410\u043d\u043d\u0430");
  EXPECT_EQ(stored_message,
            "\u6771\u4eac \u0627\u0644\u0642\u0627\u0647\u0631\u0629 "
            "\U0001F389");
  for (bool reopened : {false, true}) {
    SCOPED_TRACE(reopened ? "reopened" : "as added");
    if (reopened) Open();
    const std::vector<std::u16string> lines = ui::EntryLines(List(), 0);
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[1], sender);
    EXPECT_EQ(lines[3], message);
    List()->setCurrentRow(0);
    EXPECT_EQ(Page().ControlText(rules_ids::kMessageField), message);
  }
}

TEST_F(RulesEditorTest, The513thRuleIsRefused) {
  for (int i = 0; i < kMaxRules; ++i) {
    ASSERT_TRUE(AddRule(("s" + std::to_string(i)).c_str(), "r", "m", 90).ok());
  }
  Open();
  EXPECT_EQ(Page().ControlText(rules_ids::kRuleCount), u"512");
  Fields(u"one more", u"5550199", u"");
  Press(rules_ids::kAddButton);
  ASSERT_EQ(boxes_->shown.size(), 1u);
  EXPECT_EQ(boxes_->shown[0], u"Maximum rule limit exceeded!");
  EXPECT_EQ(RuleCount(), kMaxRules);
}

TEST_F(RulesEditorTest, DeleteTakesTheFieldsAndKeepsTheOldCount) {
  ASSERT_TRUE(AddRule("Anna", "5550199", "first", 90).ok());
  ASSERT_TRUE(AddRule("Bert", "5550111", "second", 90).ok());
  Open();
  Press(rules_ids::kDeleteButton);
  ASSERT_EQ(boxes_->shown.size(), 1u);
  EXPECT_EQ(boxes_->shown[0], u"Select a rule first!");
  List()->setCurrentRow(1);  // the second rule
  EXPECT_EQ(Page().ControlText(rules_ids::kSenderField), u"Bert");
  // The fields name the first rule now: that one goes.
  Fields(u"Anna", u"5550199", u"first");
  Press(rules_ids::kDeleteButton);
  EXPECT_EQ(RuleCount(), 1);
  EXPECT_EQ(List()->count(), 1);
  EXPECT_EQ(Page().ControlText(rules_ids::kSenderField), u"");
  EXPECT_EQ(Page().ControlText(rules_ids::kRuleCount), u"2");
  std::string sender;
  ASSERT_TRUE(GetRule(0, &sender, nullptr, nullptr, nullptr, nullptr));
  EXPECT_EQ(sender, "Bert");
}

TEST_F(RulesEditorTest, AnApostropheIsStoredAsABlankAndTheRuleCanBeDeleted) {
  Open();
  Fields(u"O'Neil", u"5550199", u"it's lunch");
  Press(rules_ids::kAddButton);
  ASSERT_EQ(RuleCount(), 1);
  List()->setCurrentRow(0);
  EXPECT_EQ(Page().ControlText(rules_ids::kSenderField), u"O Neil");
  EXPECT_EQ(Page().ControlText(rules_ids::kMessageField), u"it s lunch");
  Press(rules_ids::kDeleteButton);
  EXPECT_TRUE(boxes_->shown.empty());
  EXPECT_EQ(RuleCount(), 0);
  EXPECT_EQ(MaxRuleId(), 0);
}

TEST_F(RulesEditorTest, ALongRuleSelectedAndDeletedIsGoneAndAllowsNothingMore) {
  // Recipients past 255 characters, with the number the rule was for last.
  std::string recipients;
  for (int i = 0; i < 40; ++i)
    recipients += "555010" + std::to_string(i % 10) + ", ";
  recipients += "5550199";
  const std::string sender(300, 'S');
  ASSERT_TRUE(AddRule(sender.c_str(), recipients.c_str(), "lunch", 90).ok());
  Open();
  List()->setCurrentRow(0);
  EXPECT_EQ(Page().ControlText(rules_ids::kRecipientsField).size(),
            recipients.size());
  Press(rules_ids::kDeleteButton);
  EXPECT_TRUE(boxes_->shown.empty());
  EXPECT_EQ(MaxRuleId(), 0);  // the row is gone from Rules_0.db
  EXPECT_EQ(RuleCount(), 0);
  int32_t matched = 0, rule_id = 0;
  EXPECT_EQ(MatchRecipientText("5550199", &matched, &rule_id), 0);
  ASSERT_TRUE(LoadRules());  // and it does not come back
  EXPECT_EQ(MatchRecipientText("5550199", &matched, &rule_id), 0);
}

TEST_F(RulesEditorTest, ClosingWithoutChangesStartsNoUpdate) {
  Open();
  editor_->CloseEditor(shared_ids::kCloseButton);
  EXPECT_FALSE(ui::RulesEditor::LastCloseStartedUpdate());
  Open();
  Fields(u"Anna", u"5550199", u"x");
  Press(rules_ids::kAddButton);
  editor_->CloseEditor(shared_ids::kCloseButton);
  EXPECT_TRUE(ui::RulesEditor::LastCloseStartedUpdate());
}

}  // namespace
