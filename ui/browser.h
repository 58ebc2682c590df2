// The message browser: the recorded messages of one day, filtered by
// status, one list item of five lines an entry; the selected entry's details
// (texts of the message shown isolated, ui/bidi.h), its page
// "cmsg.htm", and what the rules editor takes from it. The list is refilled
// by the user interface, by its own workers and by the monitoring worker;
// the refill runs on the calling thread under MessageListLock and hands the
// finished list, its lines with their entries' identities, to the
// user-interface thread in one piece, so it never waits for that thread, two
// refills never interleave, and a selection never meets lines of one list
// with identities of another.
#ifndef TARNVEX_UI_BROWSER_H_
#define TARNVEX_UI_BROWSER_H_

#include <cstdint>
#include <string>
#include <vector>

#include "base/mutex.h"
#include "ui/template_dialog.h"

namespace ui {

// Entries past this many are listed but name no record: selecting one
// shows its lines and writes no page.
inline constexpr int kMaxEntryIdentities = 512;
inline constexpr size_t kMaxLine5 = 512;  // longer joined texts are cut to
inline constexpr size_t kCutLine5 = 256;  // their first 256 characters

struct LastSelectionTexts {
  std::u16string sender, recipients, message;
};

// The record a listed entry stands for: one of a store's database (the
// store's name and the record's Id there) or one of the summary database
// (its Id). Store and Id are kept apart, so any Id names its own record.
struct EntryIdentity {
  enum class Kind { kNone, kSummary, kStore };
  Kind kind = Kind::kNone;
  std::string store;  // kStore only
  int32_t id = 0;
  bool operator==(const EntryIdentity&) const = default;
};

class Browser : public TemplateDialog {
  Q_OBJECT
 public:
  explicit Browser(QWidget* parent = nullptr);
  ~Browser() override;

  // What the refill reads of the controls, kept for other threads.
  struct Filter {
    std::u16string day_text;  // browser_ids::kDaysBackField
    bool blocked = false;     // browser_ids::kBlockedBox
    bool normal = false;      // browser_ids::kNormalBox
  };
  Filter CurrentFilter();
  // On the user-interface thread: the refill's lines (five an entry) into
  // the list and, in the same step, the identities of their entries into
  // the shared state, so that a selection always reads the identity of the
  // entry it shows.
  void ApplyRefill(const std::u16string& date,
                   const std::vector<std::u16string>& lines,
                   std::vector<EntryIdentity> entries, int count, bool fix_day,
                   bool tick_normal);
  // Lists the held messages ("Blocked" alone) of the day `days_back` days
  // before today, as a click on a notice asks.
  void ShowHeldDay(int days_back);

 signals:
  void OpenViewer();

 private:
  void OnCommand(int id);
  void ShowEntry(int row);
  void StepDay(int delta);
  // Starts a list refresh, or once the one running has ended.
  void RefreshWhenFree(int tries_left);
};

// The turn of a refill: a refill holds it from its first read to the
// hand-off of the finished list, so two refills never interleave and the
// window gets their lists in the order they were read. Not recursive: no
// caller of RefreshMessageList holds it.
base::Mutex& MessageListLock();

// The browser in use (set by the main window).
void SetBrowser(Browser* browser);
Browser* TheBrowser();

void RefreshMessageList(Browser* browser) EXCLUDES(MessageListLock());
bool StartListRefresh(Browser* browser);
bool StartDatabaseUpdate();
// The status line (browser_ids::kStatusLine), from any thread. The window gets
// a text only when it changes, at most one every kStatusTextIntervalMs (a
// walk's progress four times a second: each costs a repaint), and always the
// last one given.
inline constexpr int kStatusTextIntervalMs = 250;
void ShowStatusText(const std::string& text);
// How many texts reached the window (tests).
uint64_t StatusTextPostsForTesting();
bool WriteMessagePage(const std::string& page, std::string* path);
// Waits for the browser's workers (at exit, and in tests).
void JoinBrowserWorkers();
bool ListRefreshRunning();

// The identity of listed entry `index` (kNone past the list or past
// kMaxEntryIdentities).
EntryIdentity EntryAt(int index);
int DayOffset();
LastSelectionTexts LastSelection();
bool HeldMessageText(std::string* text);
// The page last written, for the viewer.
std::string LastPagePath();

}  // namespace ui

#endif  // TARNVEX_UI_BROWSER_H_
