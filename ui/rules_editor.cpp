#include "ui/rules_editor.h"

#include <QListWidget>
#include <QVBoxLayout>
#include <cstdio>

#include "device/codepage.h"
#include "device/message_box.h"
#include "filter/rule_table.h"
#include "hold/monitor.h"
#include "storage/rules_db.h"
#include "ui/browser.h"
#include "ui/ui_texts.h"

namespace ui {
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

  pause_ = std::make_unique<WorkerPause>();
  FillRuleList();
  LastSelectionTexts selection = LastSelection();
  page_->SetControlText(1031, selection.sender);
  page_->SetControlText(1035, selection.recipients);
  page_->SetControlText(1032, selection.message);
  g_open_editor = this;
  DialogOpened();
  // RulesChanged is left as it is: a change of an earlier opening that the
  // worker has not taken yet must still reach it. Whether this opening
  // changed anything is the editor's own flag.
}

RulesEditor::~RulesEditor() {
  if (!closed_) CloseEditor(2);
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
  FillEntryList(page_->ListBox(1026), lines, kLinesPerRule);
  page_->SetControlText(1038, device::AnsiToWide(std::to_string(count)));
}

void RulesEditor::OnCommand(int id) {
  switch (id) {
    case 1026:
      ShowRule(page_->ListBox(1026)->currentRow());
      break;
    case 1033:
      Add();
      break;
    case 1034:
      Delete();
      break;
    case 20013:
    case 20015:
    case 1:
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
  page_->SetControlText(1031, device::AnsiToWide(sender));
  page_->SetControlText(1035, device::AnsiToWide(recipients));
  page_->SetControlText(1032, device::AnsiToWide(message));
}

void RulesEditor::Add() {
  std::string sender = device::WideToAnsi(page_->ControlText(1031));
  std::string recipients = device::WideToAnsi(page_->ControlText(1035));
  std::string message = device::WideToAnsi(page_->ControlText(1032));
  if (sender.empty() && message.empty()) {
    Tell(120, 123);
    return;
  }
  std::string held;
  if (HeldMessageText(&held)) message = held;
  if (AddRule(sender.c_str(), recipients.c_str(), message.c_str(),
              kEditorCertainty)
          .ok()) {
    FillRuleList();
    changed_ = true;
    RulesChanged.store(1);
  } else {
    Tell(122, 123);
  }
}

void RulesEditor::Delete() {
  std::string sender = device::WideToAnsi(page_->ControlText(1031));
  std::string recipients = device::WideToAnsi(page_->ControlText(1035));
  std::string message = device::WideToAnsi(page_->ControlText(1032));
  QListWidget* list = page_->ListBox(1026);
  int row = list->currentRow();
  if (row < 0) {
    Tell(124, 123);
    return;
  }
  if (!DeleteRule(sender.c_str(), recipients.c_str(), message.c_str()).ok()) {
    Tell(125, 118);
    return;
  }
  {
    QSignalBlocker block(list);
    if (row < list->count()) delete list->takeItem(row);
    list->setCurrentRow(-1);
  }
  page_->SetControlText(1031, u"");
  page_->SetControlText(1035, u"");
  page_->SetControlText(1032, u"");
  changed_ = true;
  RulesChanged.store(1);
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
  (void)command;  // every way out ends the editor with 1
  done(1);
}

bool RulesEditor::LastCloseStartedUpdate() { return g_last_close_updated; }

void RunRulesEditor(QWidget* owner) {
  RulesEditor editor(owner);
  editor.exec();
}

RulesEditor* OpenRulesEditor() { return g_open_editor; }

}  // namespace ui
