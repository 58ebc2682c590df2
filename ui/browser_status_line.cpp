// The browser's status line, from any thread: the window gets a text only
// when it changes, at most one every kStatusTextIntervalMs, and always the
// last one given.
#include <QPointer>
#include <QTimer>
#include <chrono>

#include "base/mutex.h"
#include "device/codepage.h"
#include "resources/control_ids.h"
#include "ui/browser.h"
#include "ui/startup.h"
#include "ui/window_layer.h"

namespace ui {

namespace browser_ids = resources::browser_ids;

namespace {

// The status line's mailbox. Texts come from any thread, many a second
// during a walk; the window gets a text only when it differs from the one it
// shows, at most one every kStatusTextIntervalMs, and always the latest.
constexpr size_t kStatusTextUnits = 511;

struct StatusLine {
  base::Mutex lock;
  // The browser `shown` belongs to.
  Browser* browser GUARDED_BY(lock) = nullptr;
  // What the window shows (or will, once posted).
  std::string shown GUARDED_BY(lock);
  // Narrow: converted only when it is shown.
  std::string latest GUARDED_BY(lock);
  // An update is on its way to the window.
  bool posted GUARDED_BY(lock) = false;
  std::chrono::steady_clock::time_point last_post GUARDED_BY(lock){};
  uint64_t posts GUARDED_BY(lock) = 0;
};

StatusLine& TheStatusLine() {
  static StatusLine* line = new StatusLine;  // lives until exit
  return *line;
}

// On the user-interface thread: the latest text into the window.
void ApplyStatusText(QPointer<Browser> target) {
  StatusLine& line = TheStatusLine();
  std::string text;
  {
    base::MutexLock guard(&line.lock);
    line.posted = false;
    line.last_post = std::chrono::steady_clock::now();
    if (!target || target.data() != line.browser) return;
    text = line.latest;
    line.shown = text;
    ++line.posts;
  }
  std::u16string wide = device::AnsiToWide(text);
  if (wide.size() > kStatusTextUnits) wide.resize(kStatusTextUnits);
  target->SetControlText(browser_ids::kStatusLine, wide);
}

}  // namespace

void ShowStatusText(const std::string& text) {
  Browser* browser = TheBrowser();
  if (browser == nullptr) return;
  StatusLine& line = TheStatusLine();
  int delay_ms = 0;
  {
    base::MutexLock guard(&line.lock);
    if (line.browser != browser) {
      // Another browser: it shows nothing yet.
      line.browser = browser;
      line.shown.clear();
      line.posted = false;
    }
    line.latest = text;
    if (line.posted) return;  // the update on its way takes the latest text
    if (line.latest == line.shown) return;
    line.posted = true;
    const auto since = std::chrono::steady_clock::now() - line.last_post;
    const auto interval = std::chrono::milliseconds(kStatusTextIntervalMs);
    if (since < interval) {
      delay_ms = static_cast<int>(
                     std::chrono::duration_cast<std::chrono::milliseconds>(
                         interval - since)
                         .count()) +
                 1;
    }
  }
  QPointer<Browser> target(browser);
  if (!target) return;
  RunOnUiThread([target, delay_ms] {
    if (delay_ms == 0) {
      ApplyStatusText(target);
    } else {
      QTimer::singleShot(delay_ms, [target] { ApplyStatusText(target); });
    }
  });
}

uint64_t StatusTextPostsForTesting() {
  StatusLine& line = TheStatusLine();
  base::MutexLock guard(&line.lock);
  return line.posts;
}

}  // namespace ui
