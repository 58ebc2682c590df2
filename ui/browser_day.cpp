// The browser's day: the day field stepped by the previous and next day
// buttons, and the held messages of a day shown as a notice asks.
#include <QTimer>
#include <algorithm>

#include "base/mutex.h"
#include "device/codepage.h"
#include "resources/control_ids.h"
#include "ui/browser.h"
#include "ui/browser_state.h"

namespace ui {

namespace browser_ids = resources::browser_ids;
using browser_internal::S;

namespace {

// A refresh asked for while another one runs starts once that one has
// ended: looked at this often, this many times.
constexpr int kRefreshRetryMs = 50;
constexpr int kRefreshTries = 200;

}  // namespace

void Browser::ShowHeldDay(int days_back) {
  days_back = std::max(days_back, 0);
  SetChecked(browser_ids::kBlockedBox, true);
  SetChecked(browser_ids::kNormalBox, false);
  {
    base::MutexLock guard(&S().lock);
    S().filter.blocked = true;
    S().filter.normal = false;
  }
  SetControlText(browser_ids::kDaysBackField,
                 device::AnsiToWide(std::to_string(days_back)));
  RefreshWhenFree(kRefreshTries);
}

void Browser::RefreshWhenFree(int tries_left) {
  if (StartListRefresh(this) || tries_left <= 0) return;
  QTimer::singleShot(kRefreshRetryMs, this,
                     [this, tries_left] { RefreshWhenFree(tries_left - 1); });
}

void Browser::StepDay(int delta) {
  if (ListRefreshRunning()) return;
  int before;
  {
    base::MutexLock guard(&S().lock);
    before = S().day_offset;
  }
  if (delta < 0 && before == 0) return;
  std::u16string old_text = ControlText(browser_ids::kDaysBackField);
  int next = before + delta;
  {
    base::MutexLock guard(&S().lock);
    S().day_offset = next;
  }
  SetControlText(browser_ids::kDaysBackField,
                 device::AnsiToWide(std::to_string(next)));
  if (!StartListRefresh(this)) {
    base::MutexLock guard(&S().lock);
    S().day_offset = before;
    S().filter.day_text = old_text;
    QSignalBlocker block(Control(browser_ids::kDaysBackField));
    SetControlText(browser_ids::kDaysBackField, old_text);
  }
}

}  // namespace ui
