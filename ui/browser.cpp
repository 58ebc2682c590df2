// The message browser: its page of controls, what the filter boxes and the
// day field hold for other threads, the browser in use, and what the rest
// of the program reads of the selection. The list's refill, the workers, the
// status line, the day buttons and the selection have files of their own.
#include "ui/browser.h"

#include <QLineEdit>
#include <QListWidget>

#include "base/mutex.h"
#include "resources/control_ids.h"
#include "ui/browser_state.h"
#include "ui/template_dialog.h"
#include "ui/window_layer.h"

namespace ui {

namespace browser_ids = resources::browser_ids;
using browser_internal::S;

namespace browser_internal {

State& S() {
  static State* state = new State;  // lives until exit
  return *state;
}

}  // namespace browser_internal

Browser::Browser(QWidget* parent)
    : TemplateDialog(
          resources::LoadDialogTemplate(resources::kIdBrowserTemplate),
          parent) {
  connect(this, &TemplateDialog::Command, this, &Browser::OnCommand);
  SetControlText(browser_ids::kDaysBackField, u"0");
  // The browser opens on what the filter holds back.
  SetChecked(browser_ids::kBlockedBox, true);
  if (auto* day =
          qobject_cast<QLineEdit*>(Control(browser_ids::kDaysBackField))) {
    connect(day, &QLineEdit::textChanged, this, [](const QString& text) {
      base::MutexLock guard(&S().lock);
      S().filter.day_text = FromQt(text);
    });
  }
  if (QListWidget* list = ListBox(browser_ids::kMessageList)) {
    connect(list, &QListWidget::itemActivated, this,
            [this] { emit OpenViewer(); });
    // An entry is five lines tall: the list scrolls by line, not by entry.
    list->setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
  }
  {
    base::MutexLock guard(&S().lock);
    S().filter.day_text = u"0";
    S().filter.blocked = IsChecked(browser_ids::kBlockedBox);
    S().filter.normal = IsChecked(browser_ids::kNormalBox);
  }
  DialogOpened();
}

Browser::~Browser() {
  base::MutexLock guard(&S().lock);
  if (S().browser == this) S().browser = nullptr;
}

Browser::Filter Browser::CurrentFilter() {
  base::MutexLock guard(&S().lock);
  return S().filter;
}

void Browser::OnCommand(int id) {
  switch (id) {
    case browser_ids::kMessageList:
      if (QListWidget* list = ListBox(browser_ids::kMessageList))
        ShowEntry(list->currentRow());
      break;
    case browser_ids::kBlockedBox:
    case browser_ids::kNormalBox: {
      base::MutexLock guard(&S().lock);
      S().filter.blocked = IsChecked(browser_ids::kBlockedBox);
      S().filter.normal = IsChecked(browser_ids::kNormalBox);
      break;
    }
    case browser_ids::kPreviousDayButton:
      StepDay(+1);
      break;
    case browser_ids::kNextDayButton:
      StepDay(-1);
      break;
    case browser_ids::kUpdateButton:
    case browser_ids::kDaysBackField:
      StartListRefresh(this);
      break;
    default:
      break;
  }
}

void SetBrowser(Browser* browser) {
  base::MutexLock guard(&S().lock);
  S().browser = browser;
}

Browser* TheBrowser() {
  base::MutexLock guard(&S().lock);
  return S().browser.data();
}

EntryIdentity EntryAt(int index) {
  base::MutexLock guard(&S().lock);
  if (index < 0 || static_cast<size_t>(index) >= S().entries.size()) return {};
  return S().entries[static_cast<size_t>(index)];
}

int DayOffset() {
  base::MutexLock guard(&S().lock);
  return S().day_offset;
}

LastSelectionTexts LastSelection() {
  base::MutexLock guard(&S().lock);
  return S().last_selection;
}

bool HeldMessageText(std::string* text) {
  base::MutexLock guard(&S().lock);
  if (!S().has_held_text) return false;
  *text = S().held_text;
  return true;
}

std::string LastPagePath() {
  base::MutexLock guard(&S().lock);
  return S().last_page;
}

}  // namespace ui
