// The message browser: its page of controls, the refill of its list on any
// thread, its workers (list refresh, database update), the status line, the
// selected entry's details and its message page.
#include "ui/browser.h"

#include <QCheckBox>
#include <QItemSelectionModel>
#include <QLineEdit>
#include <QListWidget>
#include <QPointer>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "base/debug.h"
#include "base/mutex.h"
#include "device/codepage.h"
#include "device/image.h"
#include "device/threads.h"
#include "filter/rule_table.h"
#include "hold/message_reader.h"
#include "hold/monitor.h"
#include "hold/stores.h"
#include "resources/control_ids.h"
#include "storage/day_lists.h"
#include "storage/locations.h"
#include "storage/records.h"
#include "ui/bidi.h"
#include "ui/entry_list.h"
#include "ui/startup.h"
#include "ui/template_dialog.h"
#include "ui/ui_texts.h"
#include "ui/window_layer.h"

namespace ui {

namespace browser_ids = resources::browser_ids;

namespace {

// The browser's state shared between the threads that refill it and the
// user-interface thread that shows it.
struct State {
  base::Mutex lock;
  QPointer<Browser> browser GUARDED_BY(lock);
  Browser::Filter filter GUARDED_BY(lock);
  int day_offset GUARDED_BY(lock) = 0;
  // The identities of the entries the list shows, replaced only together
  // with its lines (ApplyRefill).
  std::vector<EntryIdentity> entries GUARDED_BY(lock);
  LastSelectionTexts last_selection GUARDED_BY(lock);
  bool has_held_text GUARDED_BY(lock) = false;
  std::string held_text GUARDED_BY(lock);
  std::string last_page GUARDED_BY(lock);
};

State& S() {
  static State* state = new State;  // lives until exit
  return *state;
}

struct Workers {
  base::Mutex lock;
  std::thread refresh GUARDED_BY(lock);
  std::thread update GUARDED_BY(lock);
  std::atomic<bool> refresh_running{false}, update_running{false};
};

Workers& W() {
  static Workers* workers = new Workers;
  return *workers;
}

// A refresh asked for while another one runs starts once that one has
// ended: looked at this often, this many times.
constexpr int kRefreshRetryMs = 50;
constexpr int kRefreshTries = 200;

std::u16string Header(int n, bool summary) {
  char text[96];
  std::snprintf(text, sizeof text,
                summary
                    ? "____________%d. SMS________________________________"
                    : "____________%d. E-MAIL________________________________",
                n);
  return device::AnsiToWide(text);
}

int LeadingNumber(const std::u16string& text) {
  std::string narrow = device::WideToAnsi(text);
  long value = 0;
  size_t i = 0;
  while (i < narrow.size() && narrow[i] >= '0' && narrow[i] <= '9' &&
         value < 100000000) {
    value = value * 10 + (narrow[i] - '0');
    ++i;
  }
  return static_cast<int>(value);
}

}  // namespace

// --- the page
// -------------------------------------------------------------------

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

void Browser::ApplyRefill(const std::u16string& date,
                          const std::vector<std::u16string>& lines,
                          std::vector<EntryIdentity> entries, int count,
                          bool fix_day, bool tick_normal) {
  if (fix_day) SetControlText(browser_ids::kDaysBackField, u"0");
  if (tick_normal) SetChecked(browser_ids::kNormalBox, true);
  SetControlText(browser_ids::kListedDay, Isolated(date));
  if (entries.size() > static_cast<size_t>(kMaxEntryIdentities))
    entries.resize(kMaxEntryIdentities);
  {
    base::MutexLock guard(&S().lock);
    S().entries.swap(entries);
  }
  if (QListWidget* list = ListBox(browser_ids::kMessageList))
    FillEntryList(list, lines, 5);
  SetControlText(browser_ids::kMessageCount,
                 device::AnsiToWide(std::to_string(count)));
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

void Browser::ShowEntry(int row) {
  QListWidget* list = ListBox(browser_ids::kMessageList);
  if (list == nullptr || row < 0) return;
  // The entry's five lines: header, sender, recipients, time, message.
  const std::vector<std::u16string> lines = EntryLines(list, row);
  auto line = [&](size_t k, std::u16string* out) {
    if (k >= lines.size()) return false;
    *out = lines[k];
    return true;
  };
  std::u16string text;
  LastSelectionTexts selection;
  {
    base::MutexLock guard(&S().lock);
    selection = S().last_selection;
  }
  // The fields show the texts isolated; the selection keeps them as read.
  if (line(1, &text)) {
    SetControlText(browser_ids::kSenderField, Isolated(text));
    selection.sender = text;
  }
  if (line(2, &text)) {
    SetControlText(browser_ids::kRecipientsField, Isolated(text));
    selection.recipients = text;
  }
  if (line(3, &text)) SetControlText(browser_ids::kTimeField, Isolated(text));
  if (line(4, &text)) {
    SetControlText(browser_ids::kMessageField, Isolated(text));
    selection.message = text;
  }
  size_t n = static_cast<size_t>(row);
  EntryIdentity entry;
  {
    base::MutexLock guard(&S().lock);
    S().last_selection = selection;
    if (n < S().entries.size()) entry = S().entries[n];
    // The held text and the page are this entry's or none: an entry with
    // no message of its own (a summary record, one past the identities, a
    // record gone meanwhile) leaves nothing of the one selected before for
    // the rules editor's Add or the viewer.
    S().has_held_text = false;
    S().held_text.clear();
    S().last_page.clear();
  }
  if (entry.kind == EntryIdentity::Kind::kNone) return;
  std::string page;
  if (entry.kind == EntryIdentity::Kind::kStore) {
    std::string org, subject, message;
    if (!records::LoadForView(entry.store.c_str(), entry.id, &org, &subject,
                              &message)) {
      return;
    }
    {
      base::MutexLock guard(&S().lock);
      S().has_held_text = true;
      S().held_text = subject + " " + message;
    }
    std::string html;
    if (ExtractMimePart(org, kMimeTextHtml, &html)) {
      page = html;
    } else {
      page =
          "<HTML><BODY><H2>" + subject + "</H2>" + message + "</BODY></HTML>";
    }
  } else {
    page = "<HTML><BODY>" + device::WideToAnsi(selection.message) +
           "</BODY></HTML>";
  }
  std::string path;
  if (WriteMessagePage(page, &path)) {
    base::MutexLock guard(&S().lock);
    S().last_page = path;
  }
}

base::Mutex& MessageListLock() {
  static base::Mutex* lock = new base::Mutex;  // lives until exit
  return *lock;
}

// --- operations
// ----------------------------------------------------------------

void SetBrowser(Browser* browser) {
  base::MutexLock guard(&S().lock);
  S().browser = browser;
}

Browser* TheBrowser() {
  base::MutexLock guard(&S().lock);
  return S().browser.data();
}

void RefreshMessageList(Browser* browser) {
  if (browser == nullptr) return;
  base::MutexLock list_guard(&MessageListLock());
  Browser::Filter filter = browser->CurrentFilter();
  int offset = LeadingNumber(filter.day_text);
  bool fix_day = false;
  // Anything but a number of days (letters, a sign, nothing) counts as 0.
  if (offset < 1) {
    offset = 0;
    fix_day = filter.day_text != u"0";
  }
  bool tick_normal = false;
  if (!filter.blocked && !filter.normal) {
    filter.normal = true;
    tick_normal = true;
  }
  {
    base::MutexLock guard(&S().lock);
    S().day_offset = offset;
    if (fix_day) S().filter.day_text = u"0";
    if (tick_normal) S().filter.normal = true;
  }
  std::u16string date;
  // The day lists of this refill: the summary database's and the store
  // being read (refills take turns under MessageListLock()).
  struct {
    std::vector<DayRecord> summary;
    std::vector<DayRecord> store;
  } days;
  base::Status read = ReadSummaryDay(offset, filter.blocked, filter.normal,
                                     &days.summary, &date);
  // No summary database is the usual case: only other failures are told.
  if (!read.ok() && !read.IsNotFound())
    base::DebugOut("Summary day list: %s\n", read.ToString().c_str());
  std::vector<std::u16string> lines;
  std::vector<EntryIdentity> entries;
  int count = 0;
  for (size_t j = 0; j < days.summary.size(); ++j) {
    const DayRecord& entry = days.summary[j];
    lines.push_back(Header(static_cast<int>(j) + 1, true));
    lines.push_back(device::AnsiToWide(entry.sender));
    lines.push_back(device::AnsiToWide(entry.recipients));
    lines.push_back(device::AnsiToWide(entry.time));
    lines.push_back(device::AnsiToWide(entry.message));
    entries.push_back({EntryIdentity::Kind::kSummary, "", entry.id});
    ++count;
  }
  int store_entries = 0;
  char name[kStoreNameSize];
  hold::Monitor* watch = Watch();
  for (int k = 0; watch != nullptr && k < watch->stores().Count(); ++k) {
    if (!watch->stores().GetName(k, name)) continue;
    read = ReadStoreDay(name, offset, filter.blocked, filter.normal,
                        &days.store, &date);
    if (!read.ok())
      base::DebugOut("Day list of %s: %s\n", name, read.ToString().c_str());
    for (const DayRecord& entry : days.store) {
      std::string joined = entry.subject + "  " + entry.message;
      if (joined.size() > kMaxLine5)
        joined.resize(device::CharacterCut(joined, kCutLine5));
      lines.push_back(Header(++store_entries, false));
      lines.push_back(device::AnsiToWide(ExtractAddress(entry.sender)));
      lines.push_back(device::AnsiToWide(entry.recipients));
      lines.push_back(device::AnsiToWide(entry.time));
      lines.push_back(device::AnsiToWide(joined));
      entries.push_back({EntryIdentity::Kind::kStore, name, entry.id});
      ++count;
    }
  }
  base::DebugOut("Browser lists %d entries of %s (%s%s)\n", count,
                 device::WideToUtf8(date).c_str(),
                 filter.blocked ? "Blocked " : "",
                 filter.normal ? "Normal" : "");
  for (size_t i = 0; i + 4 < lines.size(); i += 5) {
    base::DebugOut("  %s | %s | %s | %s\n",
                   device::WideToUtf8(lines[i + 1]).c_str(),
                   device::WideToUtf8(lines[i + 2]).c_str(),
                   device::WideToUtf8(lines[i + 3]).c_str(),
                   device::WideToUtf8(lines[i + 4]).c_str());
  }
  // The entries' identities travel with the lines: the window's list and
  // the identities a selection reads change together, on its thread.
  QPointer<Browser> target(browser);
  RunOnUiThread([target, date, lines = std::move(lines),
                 entries = std::move(entries), count, fix_day,
                 tick_normal]() mutable {
    if (target)
      target->ApplyRefill(date, lines, std::move(entries), count, fix_day,
                          tick_normal);
  });
}

bool ListRefreshRunning() { return W().refresh_running.load(); }

bool StartListRefresh(Browser* browser) {
  Workers& w = W();
  base::MutexLock guard(&w.lock);
  if (w.refresh_running.load()) return false;
  if (w.refresh.joinable()) w.refresh.join();
  w.refresh_running.store(true);
  QPointer<Browser> target(browser);
  try {
    w.refresh = std::thread([target] {
      device::SetCurrentThreadPriority(device::ThreadPriority::kBelowNormal);
      {
        hold::WorkerPause pause(Watch());
        ShowStatusText(device::WideToAnsi(UiTextOf(128)) + "...");
        if (Browser* b = TheBrowser(); b != nullptr && b == target.data())
          RefreshMessageList(b);
        ShowStatusText("");
      }
      W().refresh_running.store(false);
    });
  } catch (...) {
    w.refresh_running.store(false);
    return false;
  }
  return true;
}

bool StartDatabaseUpdate() {
  Workers& w = W();
  base::MutexLock guard(&w.lock);
  if (w.update_running.load()) return true;
  if (w.update.joinable()) w.update.join();
  w.update_running.store(true);
  try {
    w.update = std::thread([] {
      device::SetCurrentThreadPriority(device::ThreadPriority::kBelowNormal);
      {
        hold::WorkerPause pause(Watch());
        try {
          // Rules another program changed are a rules change for the
          // worker as much as the editor's: every held message is judged
          // again under them.
          const uint64_t before = RuleGeneration();
          LoadRules();
          if (RuleGeneration() != before) NoteRulesChanged();
          ShowStatusText(device::WideToAnsi(UiTextOf(126)) + "...");
          StartListRefresh(TheBrowser());
        } catch (...) {
          base::DebugOut("Database update: fault\n");
        }
        ShowStatusText("");
      }
      W().update_running.store(false);
    });
  } catch (...) {
    w.update_running.store(false);
    return false;
  }
  return true;
}

void JoinBrowserWorkers() {
  Workers& w = W();
  for (int round = 0; round < 2; ++round) {
    std::thread update, refresh;
    {
      base::MutexLock guard(&w.lock);
      update.swap(w.update);
    }
    if (update.joinable()) update.join();
    {
      base::MutexLock guard(&w.lock);
      refresh.swap(w.refresh);
    }
    if (refresh.joinable()) refresh.join();
  }
}

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

bool WriteMessagePage(const std::string& page, std::string* path) {
  std::string ce_path = storage::InstallFolderNarrow() + "\\cmsg.htm";
  *path = ce_path;
  std::string host = device::HostPathOrEmpty(device::AnsiToWide(ce_path));
  if (host.empty()) return false;
  FILE* file = std::fopen(host.c_str(), "w");
  if (file == nullptr) return false;
  // A UTF-8 page declares so with the byte-order mark, which every HTML
  // reader takes over any charset the message's own HTML names (its text is
  // UTF-8 now, whatever it was sent in).
  static constexpr char kUtf8Mark[] = "\xEF\xBB\xBF";
  bool ok = !device::AnsiIsUtf8() || std::fwrite(kUtf8Mark, 1, 3, file) == 3;
  ok = std::fwrite(page.data(), 1, page.size(), file) == page.size() && ok;
  ok = std::fflush(file) == 0 && ok;
  std::fclose(file);
  return ok;
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
