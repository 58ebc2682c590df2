// The language chooser dialog: lists the display names and makes the
// selected language current through its support file.
#include "i18n/chooser.h"

#include <QListWidget>
#include <QVBoxLayout>
#include <algorithm>
#include <cassert>

#include "base/debug.h"
#include "device/codepage.h"
#include "i18n/catalogue.h"
#include "i18n/help.h"
#include "i18n/languages.h"
#include "resources/control_ids.h"
#include "ui/main_window.h"
#include "ui/template_dialog.h"
#include "ui/ui_texts.h"
#include "ui/window_layer.h"

namespace i18n {

namespace chooser_ids = resources::chooser_ids;
namespace shared_ids = resources::shared_ids;

LanguageChooser::LanguageChooser(QWidget* parent)
    : QDialog(parent),
      page_(new ui::TemplateDialog(
          resources::LoadDialogTemplate(resources::kIdLanguageTemplate),
          this)) {
  setWindowTitle(ui::ToQt(ui::DialogTitle(resources::kIdTitleLanguage)));
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(page_);
  resize(
      ui::ScreenFitted(parent != nullptr ? parent->size() : QSize(480, 600)));
  QListWidget* list = page_->ListBox(chooser_ids::kLanguageList);
  for (const std::string& name : DisplayNames()) {
    // The catalogue keeps its names in 1252; the list gives them back by
    // their low bytes (the same bytes for these Latin-1 names).
    list->addItem(ui::ToQt(device::Cp1252ToWide(name)));
  }
  connect(page_, &ui::TemplateDialog::Command, this, [this](int id) {
    if (id == chooser_ids::kSelectButton) Select();
    if (id == shared_ids::kOkButton || id == shared_ids::kCloseButton ||
        id == shared_ids::kOk || id == shared_ids::kCancel)
      done(id);
  });
  ApplySupportFile();
}

void LanguageChooser::SelectNames(const std::vector<std::string>& names) {
  QListWidget* list = page_->ListBox(chooser_ids::kLanguageList);
  list->clearSelection();
  for (int i = 0; i < list->count(); ++i) {
    std::string name = device::LowByteNarrow(ui::FromQt(list->item(i)->text()));
    if (std::find(names.begin(), names.end(), name) != names.end()) {
      list->item(i)->setSelected(true);
    }
  }
}

void LanguageChooser::Select() {
  QListWidget* list = page_->ListBox(chooser_ids::kLanguageList);
  std::vector<int> rows;
  for (QListWidgetItem* item : list->selectedItems())
    rows.push_back(list->row(item));
  std::sort(rows.begin(), rows.end());
  int found = 0;
  for (size_t i = 0; i < rows.size(); ++i) {
    assert(rows[i] >= 0 && rows[i] < list->count());
    std::string name =
        device::LowByteNarrow(ui::FromQt(list->item(rows[i])->text()));
    char code[kCodeBufferSize] = {};
    if (!CodeForDisplayName(name, code)) continue;
    base::DebugOut("Looking for %s support files.\r\n", name.c_str());
    if (LocateSupportFile(this, code, i == 0)) ++found;
  }
  if (!rows.empty()) {
    base::DebugOut("Retrieved %d of %d datasources.\r\n", found,
                   static_cast<int>(rows.size()));
  }
}

void RunLanguageChooser(QWidget* owner) {
  LanguageChooser chooser(owner);
  chooser.exec();
}

void InstallLanguageCommands() {
  ui::SetCommandHandler(resources::kCmdHelp,
                        [](QWidget* owner) { ShowHelp(owner); });
  ui::SetCommandHandler(resources::kCmdLanguage,
                        [](QWidget* owner) { RunLanguageChooser(owner); });
  ui::SetDialogOpenedHook([] { ApplySupportFile(); });
}

}  // namespace i18n
