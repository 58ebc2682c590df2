// The refill of the browser's list: the day's records of every store and of
// the summary database read on the calling thread under MessageListLock, and
// handed to the user-interface thread in one piece with their identities.
#include <QListWidget>
#include <QPointer>
#include <cstdio>
#include <vector>

#include "base/debug.h"
#include "base/mutex.h"
#include "device/codepage.h"
#include "hold/monitor.h"
#include "resources/control_ids.h"
#include "storage/day_lists.h"
#include "ui/bidi.h"
#include "ui/browser.h"
#include "ui/browser_state.h"
#include "ui/entry_list.h"
#include "ui/startup.h"
#include "ui/window_layer.h"

namespace ui {

namespace browser_ids = resources::browser_ids;
using browser_internal::S;

namespace {

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

base::Mutex& MessageListLock() {
  static base::Mutex* lock = new base::Mutex;  // lives until exit
  return *lock;
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

}  // namespace ui
