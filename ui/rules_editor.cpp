// The rules editor: lists the rule table, adds and deletes rules by the
// three field texts, and on closing after a change reloads the rules and
// refreshes the browser.
#include "ui/rules_editor.h"

#include <QListWidget>
#include <QVBoxLayout>
#include <cstdio>

#include "device/codepage.h"
#include "device/message_box.h"
#include "filter/rule_table.h"
#include "hold/monitor.h"
#include "resources/control_ids.h"
#include "storage/rules_db.h"
#include "ui/browser.h"
#include "ui/entry_list.h"
#include "ui/startup.h"
#include "ui/template_dialog.h"
#include "ui/ui_texts.h"
#include "ui/window_layer.h"

namespace ui {

namespace rules_ids = resources::rules_ids;
namespace shared_ids = resources::shared_ids;

namespace {

RulesEditor* g_open_editor = nullptr;
// A rule's lines in the list: header, sender, recipients, message.
constexpr int kLinesPerRule = 4;
bool g_last_close_updated = false;

std::u16string RuleHeader(int n) {
  char text[96];
  std::snprintf(text, sizeof text,
                "____________%d. Rule________________________________", n);
  return device::AnsiToWide(text);
}

void Tell(int text_id, int caption_id) {
  device::ShowMessageBox(UiTextOf(text_id), UiTextOf(caption_id),
                         device::MessageBoxButtons::kOkCancel);
}

}  // namespace

RulesEditor::RulesEditor(QWidget* parent)
    : QDialog(parent),
      page_(new TemplateDialog(
          resources::LoadDialogTemplate(resources::kIdRulesTemplate), this)) {
  setWindowTitle(ToQt(DialogTitle(resources::kIdTitleRules)));
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(page_);
  resize(ScreenFitted(parent != nullptr ? parent->size() : QSize(480, 600)));
  connect(page_, &TemplateDialog::Command, this, &RulesEditor::OnCommand);

  pause_ = std::make_unique<hold::WorkerPause>(Watch());
  FillRuleList();
  LastSelectionTexts selection = LastSelection();
  page_->SetControlText(rules_ids::kSenderField, selection.sender);
  page_->SetControlText(rules_ids::kRecipientsField, selection.recipients);
  page_->SetControlText(rules_ids::kMessageField, selection.message);
  g_open_editor = this;
  DialogOpened();
  // A rules change noted is left as it is: a change of an earlier opening that
  // the worker has not taken yet must still reach it. Whether this opening
  // changed anything is the editor's own flag.
}

RulesEditor::~RulesEditor() {
  if (!closed_) CloseEditor(shared_ids::kCancel);
  if (g_open_editor == this) g_open_editor = nullptr;
}

void RulesEditor::FillRuleList() {
  LoadRules();
  // One item a rule, its four lines: header, sender, recipients, message.
  std::vector<std::u16string> lines;
  int32_t count = RuleCount();
  for (int32_t i = 0; i < count; ++i) {
    std::string sender, recipients, message;
    if (!GetRule(i, &sender, &recipients, &message, nullptr, nullptr)) continue;
    lines.push_back(RuleHeader(i + 1));
    lines.push_back(device::AnsiToWide(sender));
    lines.push_back(device::AnsiToWide(recipients));
    lines.push_back(device::AnsiToWide(message));
  }
  FillEntryList(page_->ListBox(rules_ids::kRuleList), lines, kLinesPerRule);
  page_->SetControlText(rules_ids::kRuleCount,
                        device::AnsiToWide(std::to_string(count)));
}

void RulesEditor::OnCommand(int id) {
  switch (id) {
    case rules_ids::kRuleList:
      ShowRule(page_->ListBox(rules_ids::kRuleList)->currentRow());
      break;
    case rules_ids::kAddButton:
      Add();
      break;
    case rules_ids::kDeleteButton:
      Delete();
      break;
    case shared_ids::kCloseButton:
    case shared_ids::kOkButton:
    case shared_ids::kOk:
      CloseEditor(id);
      break;
    default:
      break;
  }
}

void RulesEditor::ShowRule(int row) {
  if (row < 0) return;
  std::string sender, recipients, message;
  if (!GetRule(row, &sender, &recipients, &message, nullptr, nullptr)) return;
  page_->SetControlText(rules_ids::kSenderField, device::AnsiToWide(sender));
  page_->SetControlText(rules_ids::kRecipientsField,
                        device::AnsiToWide(recipients));
  page_->SetControlText(rules_ids::kMessageField, device::AnsiToWide(message));
}

void RulesEditor::Add() {
  std::string sender =
      device::WideToAnsi(page_->ControlText(rules_ids::kSenderField));
  std::string recipients =
      device::WideToAnsi(page_->ControlText(rules_ids::kRecipientsField));
  std::string message =
      device::WideToAnsi(page_->ControlText(rules_ids::kMessageField));
  if (sender.empty() && message.empty()) {
    Tell(120, 123);
    return;
  }
  std::string held;
  if (HeldMessageText(&held)) message = held;
  if (AddRule(sender.c_str(), recipients.c_str(), message.c_str(),
              kEditorCertainty)) {
    FillRuleList();
    changed_ = true;
    NoteRulesChanged();
  } else {
    Tell(122, 123);
  }
}

void RulesEditor::Delete() {
  std::string sender =
      device::WideToAnsi(page_->ControlText(rules_ids::kSenderField));
  std::string recipients =
      device::WideToAnsi(page_->ControlText(rules_ids::kRecipientsField));
  std::string message =
      device::WideToAnsi(page_->ControlText(rules_ids::kMessageField));
  QListWidget* list = page_->ListBox(rules_ids::kRuleList);
  int row = list->currentRow();
  if (row < 0) {
    Tell(124, 123);
    return;
  }
  if (!DeleteRule(sender.c_str(), recipients.c_str(), message.c_str())) {
    Tell(125, 118);
    return;
  }
  {
    QSignalBlocker block(list);
    if (row < list->count()) delete list->takeItem(row);
    list->setCurrentRow(-1);
  }
  page_->SetControlText(rules_ids::kSenderField, u"");
  page_->SetControlText(rules_ids::kRecipientsField, u"");
  page_->SetControlText(rules_ids::kMessageField, u"");
  changed_ = true;
  NoteRulesChanged();
}

void RulesEditor::CloseEditor(int command) {
  if (closed_) return;
  closed_ = true;
  g_last_close_updated = false;
  if (changed_) {
    FillRuleList();
    g_last_close_updated = StartDatabaseUpdate();
  }
  pause_.reset();
  hide();
  if (g_open_editor == this) g_open_editor = nullptr;
  (void)command;  // every way out ends the editor with kOk
  done(shared_ids::kOk);
}

bool RulesEditor::LastCloseStartedUpdate() { return g_last_close_updated; }

void RunRulesEditor(QWidget* owner) {
  RulesEditor editor(owner);
  editor.exec();
}

RulesEditor* OpenRulesEditor() { return g_open_editor; }

}  // namespace ui
